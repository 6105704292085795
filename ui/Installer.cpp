#include "ui/Installer.h"

namespace quorvex {

Installer::Installer(HINSTANCE instance, int dpi, KernelServices& kernel, FileServices& files)
    : window_(instance, dpi), board_(window_), regDll_(kernel), commands_(board_, regDll_, files) {
    window_.OnClick(CommandButton::Register, [this] { commands_.cmdRegister_Click(); });
    window_.OnClick(CommandButton::Uninstall, [this] { commands_.cmdUninstall_Click(); });
    window_.OnClick(CommandButton::Exit, [this] { ExitCmd_Click(); });
}

int RunMessageLoop(MainWindow& window) {
    MSG message{};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (!window.HandleDialogKey(message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    return static_cast<int>(message.wParam);
}

int RunInstaller(HINSTANCE instance, int showCommand, KernelServices& kernel, FileServices& files) {
    Installer installer(instance, SystemDpi(), kernel, files);
    if (installer.Window().Handle() == nullptr) {
        return 1;
    }
    // Closed, the program ends at once, as its Exit button promises, before
    // anything else is torn down: the usual way out waits for the loader's
    // lock (to run every library's detach code), which a library's code may
    // never give back.
    installer.Window().OnClosed([] { TerminateProcess(GetCurrentProcess(), 0); });
    installer.Window().Show(showCommand);
    return RunMessageLoop(installer.Window());
}

}  // namespace quorvex
