#include "Runtime.h"
#include "Startup.h"

int main(int argc, char** argv) {
    RuntimeInit(argc, argv);
    RuntimePerformInitializers();
    try {
        Main();
    } catch (...) {
        // Only when the unhandled-exception routine itself raised: the
        // finalisers and the exit run all the same, and the exit fails.
        RuntimeKeepEscapedException(std::current_exception());
    }
    RuntimePerformFinalizers();
    return RuntimeExit();
}
