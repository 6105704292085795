// The two commands behind the window's buttons.
#pragma once

#include <string_view>

#include "engine/FileServices.h"
#include "engine/RegDll.h"
#include "engine/StatusBoard.h"

namespace quorvex {

// Appended unchanged to a folder path, separator included.
inline constexpr std::wstring_view TargetFileName = L"\\Quorvexv1.4.dll";
inline constexpr std::wstring_view DefaultFolder = L"C:\\WINDOWS\\SYSTEM";

class InstallCommands {
  public:
    InstallCommands(StatusBoard& board, RegistrationInvoker& invoker, FileServices& files)
        : board_(board), invoker_(invoker), files_(files) {}

    // Install and register: unregisters and deletes the installed copy, copies
    // the shipped one in and registers it. Never throws.
    void cmdRegister_Click() noexcept;
    // Uninstall only: unregisters and deletes the installed copy. Never throws.
    void cmdUninstall_Click() noexcept;

  private:
    // The installed copy named by the folder text, without its surrounding
    // spaces, as a full path.
    std::wstring Destination() const;
    // Unregisters the copy at the destination and shows and mirrors the
    // outcome; every failure is skipped.
    RegResult Unregister(const std::wstring& destination) noexcept;
    // Deletes the installed copy unless it is the file at `keep`; a failure
    // is skipped, and the caller decides what it means.
    Deletion Delete(const std::wstring& destination, const std::wstring& keep) noexcept;
    // Marks the copy row as failed and ends the run with the buttons enabled.
    void TakeErrorRoad() noexcept;

    StatusBoard& board_;
    RegistrationInvoker& invoker_;
    FileServices& files_;
};

}  // namespace quorvex
