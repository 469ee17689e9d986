// Vesk's entry: what needs no window (--check, --fingerprint, --version,
// --help) runs here, on Qt Core alone; anything else starts the desktop
// program in this process's place (see DesktopProgram.h).
#include "app/CommandLine.h"
#include "app/DesktopProgram.h"

int main(int argc, char** argv) {
    if (RunsWithoutWindows(ArgumentList(argc, argv))) return RunWithoutWindows(argc, argv);
    return StartDesktopProgram(argv);
}
