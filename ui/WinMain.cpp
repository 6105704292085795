// QuorvexInstall: installs and registers the library shipped beside it.
#include <windows.h>

#include <commctrl.h>

#include <cstdlib>

#include "platform/Win32Files.h"
#include "platform/Win32Kernel.h"
#include "platform/Win32Startup.h"
#include "ui/Installer.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    quorvex::ApplyProcessSettings();
    // The manifest asks for version 6 of the common controls, whose window
    // classes are registered here.
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);

    quorvex::Win32Kernel kernel;
    quorvex::Win32Files files;
    return quorvex::RunInstaller(instance, showCommand, kernel, files);
}

// GCC's default handler for an uncaught exception writes the exception's
// type to a console this program does not have, and brings the C++
// demangler (some 60 KB) along. Every handler catches what it throws, so
// this only ever ends a program that is already broken.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }  // NOLINT(bugprone-reserved-identifier)
}  // namespace __gnu_cxx
