// The runtime's life: start, static initialisers, the exception helper,
// framework initialisation, the event loop, unhandled exceptions, finalisers
// and exit; the application-object registry; raising events.
#pragma once

#include "Object.h"

#include <exception>
#include <functional>
#include <string>

// Starts the runtime with the process's arguments, unchanged. Before Qt:
// opens any of the standard descriptors 0-2 that is closed on /dev/null;
// makes SIGTERM, SIGINT and SIGHUP quit the application as Quit does (exit
// status 0; one that comes before the event loop runs quits it as soon as it
// starts); ignores SIGXFSZ, so that a write past the file-size limit fails
// rather than ending the process; sets HOME from the password database when
// it is unset; and checks
// that the display opens. With no display Qt could open (neither DISPLAY nor
// WAYLAND_DISPLAY set, no X server, the connection refused, a screen the
// display does not have, a Wayland socket that does not answer, the Qt Wayland
// plug-in missing) it says in one line on standard error that a desktop
// session is needed, and why for each platform Qt would try, and ends the
// process with status 2, rather than letting Qt abort. Qt's display-less
// platforms (offscreen, minimal, ...) need no display.
//
// Then it creates the Qt application, gives it the desktop entry's id
// (example.kestrune.Kestrune, the app id on Wayland) and the program's icon
// (AppIcon.h) for its windows, and takes the running copy's place for
// this user and display (SingleInstance.h). When another copy runs, that one
// is asked to show its main window and this process ends, before the
// program's own code runs: with status 0 once that copy has shown it, else
// with status 1 and one line saying so.
//
// Should the display connection break later, the process says so in one line
// and ends with a non-zero status, once the finalisers have run, without
// destroying anything of Qt.
//
// The very first thing it does, once the standard descriptors and the quit
// signals are in place, is RuntimePrepareProcess.
void RuntimeInit(int& argc, char** argv);

// Makes the process fit for its surroundings, before anything of Qt:
// - a write to a pipe or socket whose reader has gone fails (EPIPE) rather
//   than ending the process (SIGPIPE is caught and does nothing);
// - the soft limit on open files is raised to the hard one
//   (RuntimeRaiseOpenFileLimit);
// - when the process cannot have the descriptors (RuntimeOpenFilesSuffice) or
//   the memory and threads (RuntimeMemorySuffices) a run needs, it says so in
//   one line on standard error and ends at once with status 3;
// - a std::bad_alloc that nothing catches (one leaving a thread, a noexcept
//   function or a destructor) ends the process with one line, "not enough
//   memory", and status 3, instead of an abort and a core dump;
// - a quit signal (SIGTERM, SIGINT, SIGHUP) that has not ended the process
//   within kRuntimeQuitGraceSeconds, because the start-up or the event loop is
//   stuck, ends it there, with status 0.
void RuntimePrepareProcess();

// The exit status of a process that cannot have what a run needs.
inline constexpr int kRuntimeExitNoResources = 3;
inline constexpr unsigned kRuntimeQuitGraceSeconds = 5;

// The fewest open files a run needs, with room to spare: a run holds about 20
// (the display connection, the sound server's socket and its shared memory,
// the session bus, the event loop's wake-up descriptors, the running copy's
// lock and socket, the signal pipe), a few more for a moment (the preferences
// being saved, the browser being started).
inline constexpr unsigned long long kRuntimeMinOpenFiles = 64;

// Raises the soft limit on open files (RLIMIT_NOFILE) to the hard one, or as
// near to it as the system allows; gives the soft limit in force afterwards.
// Children (the browser a link opens) inherit the raised limit.
unsigned long long RuntimeRaiseOpenFileLimit();

// Whether a limit of `limit` open files is enough for a run; when not, why,
// in one line.
bool RuntimeOpenFilesSuffice(unsigned long long limit, std::string* why = nullptr);

// What a run takes beyond what is mapped when it starts, with room to spare:
// its threads (the X event reader, the session bus, two pooled workers) and
// their stacks; address space (a run maps about 570 MiB more, most of it the
// sound server's shared memory and the threads' heaps, reserved rather than
// used), of which some is written to (heap).
inline constexpr int kRuntimeThreadsNeeded = 4;
inline constexpr unsigned long long kRuntimeAddressSpaceNeeded = 608ull << 20;
inline constexpr unsigned long long kRuntimeDataNeeded = 16ull << 20;

// Whether the process can have the memory a run needs: it starts the threads
// and reserves the address space (and gives both back). When not, why, in one
// line ("not enough memory to start ...").
bool RuntimeMemorySuffices(std::string* why = nullptr);

// Whether a Qt platform that would be tried (QT_QPA_PLATFORM, a list tried in
// turn; unset, Wayland first when WAYLAND_DISPLAY is set or XDG_SESSION_TYPE
// is wayland, then X11) can open its display; when none can, why (one line,
// the reasons joined by "; "). Connects to an X display or a Wayland socket
// (and disconnects) as Qt would.
bool RuntimeDisplayReachable(std::string* why = nullptr);

// Runs the registered static initialisers (class tables, module variables),
// lowest order first. An exception one of them raises is kept pending.
void RuntimePerformInitializers();

// The exception left pending by the static initialisers, if any; taking it
// clears it.
std::exception_ptr RuntimeTakePendingException();

// The framework's exception helper: runs program code and gives back the
// exception that the code raised (null when it raised none). The program
// hands it over as the function read out of a delegate (target first).
std::exception_ptr FrameworkExceptionHelper(const std::function<void()>& code);
using ExceptionHelper = std::function<std::exception_ptr(Object*, const std::function<void()>&)>;
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
// the late start-up lets pass is passed on to the caller unchanged (the main
// routine hands it to the unhandled-exception routine).
void RunFrameworkInitialization(const std::function<void(Object*)>& lateStartup);

// Runs the event loop until the application quits. When the loop starts, the
// application object's Open event is raised (once per process).
void RuntimeRun();

// Asks the event loop to end, with exit status code (Quit, signals).
void RuntimeQuit(int code = 0);

// Reports an exception that nobody caught: writes its class and message to
// standard error, and makes the runtime's exit result non-zero.
void UnhandledException(std::exception_ptr e);

void RuntimePerformFinalizers();
// Shuts the runtime down (closes the windows, removes the tray icon, gives
// up the running copy's place, releases the application object, then deletes
// the Qt application); gives the exit status: 0 after a normal quit, 1 after an
// unhandled exception ended the run.
int RuntimeExit();

// Keeps an exception that escaped the main routine (the unhandled-exception
// routine itself raised) until RuntimeExit, which reports it and fails.
void RuntimeKeepEscapedException(std::exception_ptr e);

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

// For tests: forget the runtime's state (exit result, app object, helper,
// bound plug-ins, the Open event having been raised).
void RuntimeResetForTesting();

// For tests: called with the name of each framework step of the start-up as
// it begins ("RuntimeSetExceptionHelper", "RuntimeInitExternalClasses",
// "InitPluginEntrypoints", "RunFrameworkInitialization", "LateStartup",
// "RuntimeRun", "Open", "UnhandledException", "RuntimePerformFinalizers",
// "RuntimeExit"). Null turns it off.
void RuntimeSetStepObserverForTesting(std::function<void(const char* step)> observer);
