#include "Runtime.h"

int main(int argc, char** argv) {
    RuntimeInit(argc, argv);
    RuntimePerformInitializers();
    RuntimeRun();
    RuntimePerformFinalizers();
    return RuntimeExit();
}
