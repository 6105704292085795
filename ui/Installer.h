// The program: the window, its status board and the commands behind its buttons.
#pragma once

#include <windows.h>

#include "engine/Commands.h"
#include "engine/RegDll.h"
#include "engine/StatusBoard.h"
#include "ui/MainWindow.h"

namespace quorvex {

class Installer {
  public:
    Installer(HINSTANCE instance, int dpi, KernelServices& kernel, FileServices& files);

    MainWindow& Window() { return window_; }
    void ExitCmd_Click() { window_.Close(); }

  private:
    MainWindow window_;
    StatusBoard board_;
    RegDll regDll_;
    InstallCommands commands_;
};

// Pumps messages until the window has been closed; returns the exit code.
int RunMessageLoop(MainWindow& window);

// The program: builds the window, shows it and pumps messages until it has
// been closed. Without a window (its class or the window itself could not be
// made) it ends at once with a non-zero code, rather than wait invisibly.
int RunInstaller(HINSTANCE instance, int showCommand, KernelServices& kernel, FileServices& files);

}  // namespace quorvex
