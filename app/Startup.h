// The start-up sequence, from the main routine to the default window.
#pragma once

// The main routine: installs the framework's exception helper, runs the early
// start-up, hands the late start-up to the framework's initialisation, runs
// the event loop. An exception that reaches it (one the static initialisers
// left, or one from any of its steps) skips every later step and goes to the
// unhandled-exception routine.
void Main();

// The framework's classes, the plug-ins, the file types, the application
// object, the menu handlers.
void EarlyStartup();
// The program declares no document file types.
void InitFileTypes();
// Creates the application object, runs its constructor, gives it the shared
// menu bar and registers it.
void NewAppInstance();
// Registers the About handler under the menu-item name "About".
void ApplicationAddMenuHandlers();
// The late start-up, called back by the framework's initialisation.
void LateStartup();
// Opens the default window.
void MakeDefaultView();
