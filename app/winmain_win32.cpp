#include "app/startup.h"

#include <cstdlib>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
    // The run-time library has already split the command line and removed the quotes.
    return AppMain(instance, showCommand, __argc, __argv);
}
