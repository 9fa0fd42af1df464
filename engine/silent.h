// The silent sound resource: silent.wav from the bundle's Resources folder,
// opened on the first call of silent() and kept for the rest of the process.
#pragma once

#include "Object.h"
#include "Sound.h"

namespace _x_silent {

// The load has been attempted (set before the attempt, whatever its outcome).
extern bool loaded;
// The sound the first call opened, or nil; held until the process ends.
extern Ref<Sound> permaSound;

// The cached silent sound, loaded on the first call; nil for the rest of the
// run when that load found no sound. An exception of the first call's load
// passes to its caller; later calls never raise and never touch the disk.
Ref<Sound> silent();

// TEST ONLY: puts the module back to its start values so that a test can
// make a first call again. The program never calls it.
void ResetForTesting();

}  // namespace _x_silent

using _x_silent::silent;
