// (this library's sources go here)
