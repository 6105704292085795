// Fakes of the window, the file services and the invoker. All of them write
// into one shared log, so a test can check the order of everything a command did.
#pragma once

#include <array>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "engine/FileServices.h"
#include "engine/RegDll.h"
#include "engine/StatusBoard.h"

namespace quorvex::testing {

using Log = std::vector<std::string>;

inline std::string Narrow(std::wstring_view text) {
    std::string narrow;
    for (wchar_t c : text) {
        narrow += c < 128 ? static_cast<char>(c) : '?';
    }
    return narrow;
}

inline std::string ColourName(PackedColour colour) {
    switch (colour) {
        case colour::White:
            return "white";
        case colour::Red:
            return "red";
        case colour::Green:
            return "green";
        case colour::Blue:
            return "blue";
        default:
            return std::to_string(colour);
    }
}

inline int RowNumber(StatusRow row) { return static_cast<int>(row); }

inline const char* ButtonName(CommandButton button) {
    switch (button) {
        case CommandButton::Register:
            return "cmdRegister";
        case CommandButton::Uninstall:
            return "cmdUninstall";
        case CommandButton::Exit:
            return "ExitCmd";
    }
    return "?";
}

// Operations are logged as "caption 2 Sucessful", "colour 2 green",
// "shadow 2 Sucessful", "enable cmdRegister 0". An operation listed in
// `failing` throws instead of taking effect, as a refused write would.
class FakeControls : public BoardControls {
  public:
    explicit FakeControls(Log& log) : log_(log) {}

    void SetStatusCaption(StatusRow row, std::wstring_view caption) override {
        Do("caption " + std::to_string(RowNumber(row)) + " " + Narrow(caption));
        captions[Index(row)] = caption;
    }
    std::wstring StatusCaption(StatusRow row) const override { return captions[Index(row)]; }
    void SetStatusColour(StatusRow row, PackedColour colour) override {
        Do("colour " + std::to_string(RowNumber(row)) + " " + ColourName(colour));
        colours[Index(row)] = colour;
    }
    void SetShadowCaption(StatusRow row, std::wstring_view caption) override {
        Do("shadow " + std::to_string(RowNumber(row)) + " " + Narrow(caption));
        shadows[Index(row)] = caption;
    }
    std::wstring FolderText() const override { return folder; }
    void SetButtonEnabled(CommandButton button, bool enabled) override {
        Do(std::string("enable ") + ButtonName(button) + (enabled ? " 1" : " 0"));
        buttons[static_cast<std::size_t>(button)] = enabled;
    }

    static std::size_t Index(StatusRow row) { return static_cast<std::size_t>(row) - 1; }
    std::wstring Caption(StatusRow row) const { return captions[Index(row)]; }
    PackedColour Colour(StatusRow row) const { return colours[Index(row)]; }
    std::wstring Shadow(StatusRow row) const { return shadows[Index(row)]; }
    bool AllButtonsEnabled() const { return buttons[0] && buttons[1] && buttons[2]; }

    std::array<std::wstring, 3> captions{L"...", L"...", L"..."};
    std::array<PackedColour, 3> colours{colour::White, colour::White, colour::White};
    std::array<std::wstring, 3> shadows{L"...", L"...", L"..."};
    std::array<bool, 3> buttons{true, true, true};
    std::wstring folder = L"C:\\WINDOWS\\SYSTEM";
    std::set<std::string> failing;

  private:
    void Do(const std::string& operation) {
        if (failing.count(operation) != 0) {
            log_.push_back("refused " + operation);
            throw std::runtime_error("refused: " + operation);
        }
        log_.push_back(operation);
    }
    Log& log_;
};

// Logs "register PATH" / "unregister PATH" / "call MODE PATH" and returns
// the next scripted result (NoAction once the script has run out).
class FakeInvoker : public RegistrationInvoker {
  public:
    explicit FakeInvoker(Log& log) : log_(log) {}

    RegResult CallRegEntry(std::wstring path, RegMode mode) override {
        const char* verb = mode == RegModeRegister     ? "register "
                           : mode == RegModeUnregister ? "unregister "
                                                       : "call ";
        log_.push_back(verb + Narrow(path));
        if (throwOnMode == mode) {
            throw std::bad_alloc();
        }
        if (results.empty()) {
            return RegResult::NoAction;
        }
        const RegResult result = results.front();
        results.erase(results.begin());
        return result;
    }

    std::vector<RegResult> results;
    RegMode throwOnMode = 0;

  private:
    Log& log_;
};

// A folder-less file system: a set of paths that exist.
class FakeFiles : public FileServices {
  public:
    explicit FakeFiles(Log& log) : log_(log) {}

    std::wstring ApplicationDirectory() const override { return appDirectory; }
    std::optional<std::wstring> FullPath(const std::wstring& path) const override {
        ++resolved;
        const auto full = fullPaths.find(path);
        return full != fullPaths.end() ? full->second : std::optional<std::wstring>(path);
    }
    bool CanRead(const std::wstring& path) const override { return files.count(path) != 0; }
    Deletion Delete(const std::wstring& path, const std::wstring& keep) override {
        log_.push_back("delete " + Narrow(path));
        if (files.count(path) == 0) {
            return Deletion::NoFile;
        }
        if (files.count(keep) != 0 && FileOf(path) == FileOf(keep)) {
            return Deletion::IsKept;
        }
        if (refuseDelete) {
            return Deletion::Refused;
        }
        files.erase(path);
        return Deletion::Deleted;
    }
    bool Copy(const std::wstring& source, const std::wstring& destination) override {
        log_.push_back("copy " + Narrow(source) + " > " + Narrow(destination));
        if (refuseCopy || files.count(source) == 0) {
            return false;
        }
        files.insert(destination);
        return true;
    }

    bool HoldSameBytes(const std::wstring& first, const std::wstring& second) const override {
        return sameBytes && files.count(first) != 0 && files.count(second) != 0;
    }

    std::wstring appDirectory = L"D:\\Setup";
    std::set<std::wstring> files{L"D:\\Setup\\Quorvexv1.4.dll"};
    // Paths that name the file of another path: another spelling, a hard link.
    std::map<std::wstring, std::wstring> sameAs;
    std::map<std::wstring, std::optional<std::wstring>>
        fullPaths;             // the rest resolve to themselves
    mutable int resolved = 0;  // FullPath calls
    bool refuseDelete = false;
    bool refuseCopy = false;
    bool sameBytes = false;  // every file holds the bytes of every other

  private:
    std::wstring FileOf(const std::wstring& path) const {
        const auto alias = sameAs.find(path);
        return alias != sameAs.end() ? alias->second : path;
    }
    Log& log_;
};

}  // namespace quorvex::testing
