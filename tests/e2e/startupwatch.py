#!/usr/bin/python3
"""Prints the startup-notification messages sent to the root window of
$DISPLAY, one a line as they complete, each line "TIME MESSAGE" (python3-xlib;
run it with /usr/bin/python3).

The freedesktop startup-notification protocol sends a message as client
messages of format 8 to the root window (selected with PropertyChangeMask):
the first 20 bytes as _NET_STARTUP_INFO_BEGIN, the rest as _NET_STARTUP_INFO,
the message ending in a NUL. Prints "ready" once it listens.

  startupwatch.py time   prints the X server's time now (as a launcher puts
                         it in an id: ..._TIME<time>)
"""
import sys
import time

from Xlib import X, display


def server_time():
    d = display.Display()
    w = d.screen().root.create_window(0, 0, 1, 1, 0, X.CopyFromParent, event_mask=X.PropertyChangeMask)
    w.change_property(d.intern_atom("WM_NAME"), d.intern_atom("STRING"), 8, b"t")
    while True:
        ev = d.next_event()
        if ev.type == X.PropertyNotify:
            print(ev.time)
            return


def main():
    if sys.argv[1:] == ["time"]:
        server_time()
        return
    d = display.Display()
    root = d.screen().root
    root.change_attributes(event_mask=X.PropertyChangeMask)
    begin = d.intern_atom("_NET_STARTUP_INFO_BEGIN")
    more = d.intern_atom("_NET_STARTUP_INFO")
    d.sync()
    print("ready", flush=True)
    partial = {}  # by sending window: the bytes so far
    while True:
        ev = d.next_event()
        if ev.type != X.ClientMessage or ev.client_type not in (begin, more):
            continue
        fmt, data = ev.data
        if fmt != 8:
            continue
        chunk = bytes(data)
        key = ev.window.id
        if ev.client_type == begin:
            partial[key] = b""
        elif key not in partial:
            continue
        partial[key] += chunk
        if b"\0" in chunk:
            message = partial.pop(key).split(b"\0", 1)[0]
            print("%.3f %s" % (time.time(), message.decode("utf-8", "replace")), flush=True)


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        sys.exit(0)
