// The runtime's life: start, static initialisers, the exception helper,
// framework initialisation, the event loop, unhandled exceptions, finalisers
// and exit; the application-object registry; raising events.
#pragma once

#include "Object.h"

#include <exception>
#include <functional>

// Starts the runtime with the process's arguments, unchanged: creates the Qt
// application. With no display to connect to it says in one line that a
// desktop session is needed and ends the process with a non-zero status.
void RuntimeInit(int& argc, char** argv);

// Runs the registered static initialisers (class tables, module variables),
// lowest order first. An exception one of them raises is kept pending.
void RuntimePerformInitializers();

// The exception left pending by the static initialisers, if any; taking it
// clears it.
std::exception_ptr RuntimeTakePendingException();

// The framework's exception helper: runs program code and gives back the
// exception that the code raised (null when it raised none).
using ExceptionHelper = std::exception_ptr (*)(const std::function<void()>& code);
std::exception_ptr FrameworkExceptionHelper(const std::function<void()>& code);
void RuntimeSetExceptionHelper(ExceptionHelper helper);

// Makes the framework's built-in classes ready.
void RuntimeInitExternalClasses();

// Binds the plug-ins (the XML document library and the extra controls). Each
// plug-in registers its binder with RegisterPlugin at load time.
void InitPluginEntrypoints();
struct PluginRegistration {
    PluginRegistration(const char* name, void (*bind)());
};
bool PluginIsBound(const char* name);

// Runs the framework's initialisation and calls lateStartup back. An exception
// the late start-up lets pass is reported and passed on.
void RunFrameworkInitialization(const std::function<void(Object*)>& lateStartup);

// Runs the event loop until the application quits.
void RuntimeRun();

// Asks the event loop to end, with exit status code (Quit, signals).
void RuntimeQuit(int code = 0);

// Reports an exception that nobody caught: writes its class and message to
// standard error, and makes the runtime's exit result non-zero.
void UnhandledException(std::exception_ptr e);

void RuntimePerformFinalizers();
// Shuts the runtime down; gives the exit status: 0 after a normal quit,
// non-zero after an unhandled exception ended the run.
int RuntimeExit();

// The application object registry.
void RuntimeRegisterAppObject(const Ref<Object>& app);
Ref<Object> GetAppObject();

// Runs an event handler through the exception helper. An exception that
// leaves the handler is reported on standard error and the caller goes on.
// Returns true when the handler raised nothing.
bool RuntimeRaiseEvent(const std::function<void()>& handler);

// Raises a class-bound event (one that takes only the object): calls the
// handler the object's class binds to it, through RuntimeRaiseEvent. Does
// nothing when none is bound.
void RuntimeRaiseClassEvent(Object& obj, const char* event);

// One line on standard error, prefixed with the program's name.
void RuntimeReport(const std::string& line);

// For tests: forget the runtime's state (exit result, app object, helper).
void RuntimeResetForTesting();
