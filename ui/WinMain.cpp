// QuorvexInstall: installs and registers the library shipped beside it.
#include <windows.h>

#include <commctrl.h>

#include "platform/Win32Files.h"
#include "platform/Win32Kernel.h"
#include "ui/Installer.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    // The manifest asks for version 6 of the common controls, whose window
    // classes are registered here.
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);

    quorvex::Win32Kernel kernel;
    quorvex::Win32Files files;
    quorvex::Installer installer(instance, quorvex::SystemDpi(), kernel, files);
    installer.Window().OnClosed([] { PostQuitMessage(0); });
    installer.Window().Show(showCommand);
    return quorvex::RunMessageLoop(installer.Window());
}
