#include "tests/faults/FaultHarness.h"

#include <tlhelp32.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "ui/Layout.h"

namespace quorvex::faults {

namespace {

std::string Narrow(std::wstring_view text) {
    if (text.empty()) {
        return {};
    }
    const int wide = static_cast<int>(text.size());
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), wide, nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(std::max(length, 0)), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), wide, narrow.data(), length, nullptr, nullptr);
    return narrow;
}

std::string Quote(std::wstring_view text) {
    constexpr std::size_t Shown = 90;  // a 40,000-character path is not worth printing whole
    if (text.size() > Shown) {
        return "\"" + Narrow(text.substr(0, Shown)) + "...\" (" + std::to_string(text.size()) +
               " characters)";
    }
    return "\"" + Narrow(text) + "\"";
}

std::vector<std::wstring> SplitCalls(const std::wstring& record) {
    std::vector<std::wstring> calls;
    std::size_t start = 0;
    for (std::size_t end = record.find(L';'); end != std::wstring::npos;
         end = record.find(L';', start)) {
        calls.push_back(record.substr(start, end - start));
        start = end + 1;
    }
    return calls;
}

int Count(const std::vector<std::wstring>& calls, std::wstring_view name) {
    return static_cast<int>(std::count(calls.begin(), calls.end(), name));
}

std::string Joined(const std::vector<std::wstring>& calls) {
    std::string text;
    for (const std::wstring& call : calls) {
        text += (text.empty() ? "" : ", ") + Narrow(call);
    }
    return text.empty() ? "nothing" : text;
}

// The fixtures' entry points, by what they return: each of them records
// itself before it returns, hangs or faults.
enum class Behaviour { Unknown, Succeeds, Fails };

struct FixtureKind {
    const wchar_t* name;
    Behaviour behaviour;
};
constexpr FixtureKind Fixtures[] = {
    {L"fixture_both_ok", Behaviour::Succeeds},
    {L"fixture_both_false", Behaviour::Succeeds},  // S_FALSE is a success status
    {L"fixture_register_only", Behaviour::Succeeds},
    {L"fixture_no_entries", Behaviour::Unknown},
    {L"fixture_failing", Behaviour::Fails},
    {L"fixture_denied", Behaviour::Fails},
    {L"fixture_hang", Behaviour::Fails},
    {L"fixture_fault", Behaviour::Fails},
    {L"fixture_raise", Behaviour::Fails},
    {L"fixture_broadcast", Behaviour::Succeeds},
    {L"fixture_main_apartment", Behaviour::Succeeds},
    {L"fixture_slow_main_apartment", Behaviour::Fails},  // past the limit
    {L"fixture_stack_overflow", Behaviour::Fails},
    {L"fixture_exit_thread", Behaviour::Fails},
    {L"fixture_thread_on_load", Behaviour::Succeeds},
    {L"fixture_thread_faults_later", Behaviour::Succeeds},
    {L"fixture_clear_filter", Behaviour::Succeeds},
    {L"fixture_clear_filter_fault", Behaviour::Fails},
    {L"fixture_clear_filter_thread_faults", Behaviour::Succeeds},
    {L"fixture_slow_load", Behaviour::Fails},       // past the limit
    {L"fixture_slow_unload", Behaviour::Succeeds},  // only its release is late
    {L"fixture_periodic_timer", Behaviour::Succeeds},
    {L"fixture_fixed_base", Behaviour::Succeeds},
    {L"fixture_work_faults_later", Behaviour::Succeeds},
    {L"fixture_timer_on_load", Behaviour::Succeeds},
    {L"fixture_loads_dep_by_name", Behaviour::Succeeds},  // its qvxdep.dll beside it
    {L"fixture_imports_tick", Behaviour::Succeeds},
    {L"fixture_vectored_handler", Behaviour::Succeeds},
    {L"fixture_release_then_loads_dep", Behaviour::Succeeds},  // its qvxdep.dll beside it
    {L"fixture_large_image", Behaviour::Succeeds},
    {L"fixture_slow_unregister", Behaviour::Fails},  // past the limit
    {L"fixture_changes_settings", Behaviour::Succeeds},
    {L"fixture_hang_then_fault", Behaviour::Fails},
    {L"fixture_refuse_load", Behaviour::Unknown},
    {L"fixture_other_bitness", Behaviour::Unknown},
    {L"fault_decoy", Behaviour::Unknown},
};

Behaviour BehaviourOf(const std::optional<Bytes>& library) {
    if (!library) {
        return Behaviour::Unknown;
    }
    for (const FixtureKind& fixture : Fixtures) {
        if (FixtureBytes(fixture.name) == library) {
            return fixture.behaviour;
        }
    }
    return Behaviour::Unknown;
}

std::wstring CurrentDirectory() {
    std::wstring path(GetCurrentDirectoryW(0, nullptr), L'\0');
    path.resize(GetCurrentDirectoryW(static_cast<DWORD>(path.size()), path.data()));
    return path;
}

const char* RowName(std::size_t index) {
    static constexpr const char* Names[] = {"uninstall", "copy", "install"};
    return Names[index];
}

struct TableLine {
    std::string name;
    std::array<std::wstring, 3> rows;
    bool buttons;
    bool rowsHeld;
    bool kept;
    double seconds;
};

std::vector<TableLine>& TableLines() {
    static std::vector<TableLine> lines;
    return lines;
}

std::vector<std::string>& TableNotes() {
    static std::vector<std::string> notes;
    return notes;
}

// Google Test owns the environments it is given and deletes them at exit.
[[maybe_unused]] ::testing::Environment* const caseTable =
    ::testing::AddGlobalTestEnvironment(std::make_unique<CaseTable>().release());

}  // namespace

std::optional<Bytes> ReadFileBytes(const std::wstring& path) {
    // A folder does not open without FILE_FLAG_BACKUP_SEMANTICS, so it has no bytes.
    const UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    Bytes content;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) != FALSE && read > 0) {
        content.insert(content.end(), buffer, buffer + read);
    }
    return content;
}

std::wstring FullPath(const std::wstring& path) {
    const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0) {
        return {};
    }
    std::wstring full(size, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
    full.resize(length < size ? length : 0);
    return full;
}

std::wstring ExtendedPath(const std::wstring& path) {
    const std::wstring full = FullPath(path);
    if (full.empty() || full.starts_with(L"\\\\?\\")) {
        return full;
    }
    if (full.starts_with(L"\\\\.\\")) {  // the device namespace: the same place
        return L"\\\\?\\" + full.substr(4);
    }
    if (full.starts_with(L"\\\\")) {
        return L"\\\\?\\UNC\\" + full.substr(2);
    }
    return L"\\\\?\\" + full;
}

std::wstring TrimBlanks(std::wstring_view text) {
    const std::size_t first = text.find_first_not_of(L' ');
    if (first == std::wstring_view::npos) {
        return {};
    }
    return std::wstring(text.substr(first, text.find_last_not_of(L' ') - first + 1));
}

void RemoveTree(const std::wstring& path) {
    // Through an extended path, so that names a plain path cannot reach
    // ("odd.", "odd ", "CON") go too.
    testing::RemoveTree(path.starts_with(L"\\\\?\\") ? path : ExtendedPath(path));
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

std::wstring BuildFile(const std::wstring& name) {
    return testing::BuildDirectory() + L"\\" + name;
}

std::optional<Bytes> FixtureBytes(const std::wstring& fixture) {
    static std::map<std::wstring, std::optional<Bytes>> cache;
    const auto found = cache.find(fixture);
    if (found != cache.end()) {
        return found->second;
    }
    return cache[fixture] = ReadFileBytes(BuildFile(fixture + L".dll"));
}

bool IsTestLibrary(const Bytes& bytes) {
    return std::any_of(std::begin(Fixtures), std::end(Fixtures), [&](const FixtureKind& fixture) {
        return FixtureBytes(fixture.name) == bytes;
    });
}

LibraryProbe ProbeLibrary(const std::wstring& path) {
    LibraryProbe probe;
    const std::wstring place = ExtendedPath(path);
    if (place.empty()) {
        return probe;
    }
    probe.bytes = ReadFileBytes(place);
    // Loaded and released here, the first two would leave a thread or a
    // timer in unmapped code, the others would hold this thread for 30 s.
    if (probe.bytes && (probe.bytes == FixtureBytes(L"fixture_thread_on_load") ||
                        probe.bytes == FixtureBytes(L"fixture_timer_on_load") ||
                        probe.bytes == FixtureBytes(L"fixture_slow_load") ||
                        probe.bytes == FixtureBytes(L"fixture_slow_unload"))) {
        probe.loadable = probe.exportsUnregister = probe.exportsRegister = true;
        return probe;
    }
    DWORD previousMode = 0;
    SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previousMode);
    // Loaded as the program loads it: by its full path, with the wide loader.
    const std::wstring full = FullPath(path);
    const UniqueModule module(full.empty() ? nullptr
                                           : LoadLibraryExW(full.c_str(), nullptr,
                                                            LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR |
                                                                LOAD_LIBRARY_SEARCH_SYSTEM32));
    SetThreadErrorMode(previousMode, nullptr);
    probe.loadable = module != nullptr;
    if (module) {
        probe.exportsUnregister = GetProcAddress(module.get(), "DllUnregisterServer") != nullptr;
        probe.exportsRegister = GetProcAddress(module.get(), "DllRegisterServer") != nullptr;
    }
    return probe;
}

void AddTree(Tree& tree, const std::wstring& root) {
    WIN32_FIND_DATAW found;
    const UniqueFind search(FindFirstFileW((root + L"\\*").c_str(), &found));
    if (search.get() == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        const std::wstring child = root + L"\\" + name;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            tree[child] = std::nullopt;
            AddTree(tree, child);
        } else {
            tree[child] = ReadFileBytes(child).value_or(Bytes{'?'});
        }
    } while (FindNextFileW(search.get(), &found) != FALSE);
}

bool OverwritesReadOnlyFile(const std::wstring& folder) {
    const std::wstring source = folder + L"\\probe-source.txt";
    const std::wstring target = folder + L"\\probe-read-only.txt";
    const auto write = [](const std::wstring& path, const char* text) {
        const UniqueHandle file(
            CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        DWORD written = 0;
        WriteFile(file.get(), text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
    };
    write(source, "new");
    write(target, "old");
    SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_READONLY);
    const bool overwritten = CopyFileW(source.c_str(), target.c_str(), FALSE) != FALSE;
    SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(target.c_str());
    DeleteFileW(source.c_str());
    return overwritten;
}

bool FolderExists(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::vector<DWORD> ThreadIds() {
    const UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    std::vector<DWORD> threads;
    const DWORD self = GetCurrentProcessId();
    for (BOOL more = Thread32First(snapshot.get(), &entry); more != FALSE;
         more = Thread32Next(snapshot.get(), &entry)) {
        if (entry.th32OwnerProcessID == self) {
            threads.push_back(entry.th32ThreadID);
        }
    }
    return threads;
}

int ThreadCount() {
    // The system's thread pool starts its threads in ntdll, and they come and
    // go as it sees fit.
    using QueryFunction = LONG(NTAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const auto query = reinterpret_cast<QueryFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "NtQueryInformationThread")));
    const std::vector<DWORD> threads = ThreadIds();
    return static_cast<int>(std::count_if(threads.begin(), threads.end(), [&](DWORD id) {
        const UniqueHandle thread(OpenThread(THREAD_QUERY_INFORMATION, FALSE, id));
        void* start = nullptr;
        HMODULE module = nullptr;
        return !(thread && query(thread.get(), 9, &start, sizeof start, nullptr) >= 0 &&
                 GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                        GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                    static_cast<LPCWSTR>(start), &module) != FALSE &&
                 module == ntdll);
    }));
}

std::optional<unsigned> ReportedHandleCount() {
    DWORD before = 0;
    DWORD after = 0;
    const BOOL reported = GetProcessHandleCount(GetCurrentProcess(), &before);
    const UniqueHandle extra(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    GetProcessHandleCount(GetCurrentProcess(), &after);
    if (reported == FALSE || after != before + 1) {
        return std::nullopt;
    }
    return before;
}

unsigned ProbedHandleCount() {
    // Handle values are small multiples of 4; this range covers thousands.
    constexpr std::uintptr_t Last = 0x20000;
    unsigned count = 0;
    for (std::uintptr_t value = 4; value <= Last; value += 4) {
        DWORD flags = 0;
        count += GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) != FALSE ? 1 : 0;
    }
    return count;
}

HeldFile::HeldFile(const std::wstring& mode, const std::wstring& path) {
    static unsigned serial = 0;
    const std::wstring tag =
        std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++serial);
    const std::wstring readyName = L"Local\\QuorvexFaultReady-" + tag;
    const std::wstring releaseName = L"Local\\QuorvexFaultRelease-" + tag;
    ready_.reset(CreateEventW(nullptr, TRUE, FALSE, readyName.c_str()));
    release_.reset(CreateEventW(nullptr, TRUE, FALSE, releaseName.c_str()));
    if (!ready_ || !release_) {
        return;
    }
    std::wstring commandLine = L"\"" + BuildFile(L"fault_holder.exe") + L"\" " + mode + L" \"" +
                               path + L"\" " + readyName + L" " + releaseName;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                       &startup, &started) == FALSE) {
        return;
    }
    process_.reset(started.hProcess);
    const UniqueHandle thread(started.hThread);
    // The helper either signals that it holds the file or ends.
    const HANDLE events[] = {ready_.get(), process_.get()};
    holding_ = WaitForMultipleObjects(2, events, FALSE, 30000) == WAIT_OBJECT_0;
}

void HeldFile::Release() {
    if (release_) {
        SetEvent(release_.get());
    }
    if (process_) {
        WaitForSingleObject(process_.get(), 30000);
        process_.reset();
    }
    holding_ = false;
}

bool CaseResult::Held(Check check) const {
    return std::none_of(findings.begin(), findings.end(),
                        [&](const Finding& finding) { return finding.check == check; });
}

void CaseTable::Add(const CaseResult& result) {
    TableLines().push_back({result.name, result.rows, result.Held(Check::Buttons),
                            result.Held(Check::Rows), result.Held(Check::Kept), result.seconds});
}

void CaseTable::Note(std::string text) { TableNotes().push_back(std::move(text)); }

void CaseTable::TearDown() {
    const auto verdict = [](bool held) { return held ? "held" : "FAILED"; };
    std::printf(
        "\nFault suite: %zu cases. Rows as shown after the command; checks: buttons "
        "enabled again, rows true to what happened, nothing lost.\n",
        TableLines().size());
    std::printf("%-66s | %-20s | %-16s | %-9s | %-7s | %-6s | %-6s | %6s\n", "case",
                "uninstall row", "copy row", "install row", "buttons", "rows", "kept", "s");
    std::printf("%s\n", std::string(158, '-').c_str());
    for (const TableLine& line : TableLines()) {
        std::printf("%-66s | %-20s | %-16s | %-9s | %-7s | %-6s | %-6s | %6.2f\n",
                    line.name.c_str(), Narrow(line.rows[0]).c_str(), Narrow(line.rows[1]).c_str(),
                    Narrow(line.rows[2]).c_str(), verdict(line.buttons), verdict(line.rowsHeld),
                    verdict(line.kept), line.seconds);
    }
    for (const std::string& note : TableNotes()) {
        std::printf("Note: %s\n", note.c_str());
    }
    std::fflush(stdout);
}

std::unique_ptr<SuiteWindow> FaultTest::suite_;

void FaultTest::SetUpTestSuite() {
    suite_ = std::make_unique<SuiteWindow>();
    Window().Show(SW_SHOWNORMAL);
}

void FaultTest::TearDownTestSuite() { suite_.reset(); }

void FaultTest::SetUp() {
    // Relative and drive-relative folder texts resolve against the current
    // directory: it must be this test's own folder on C:, inside the prefix.
    ASSERT_TRUE(SamePath(temp.Path().substr(0, 3), L"C:\\")) << Narrow(temp.Path());
    ASSERT_NE(Window().Handle(), nullptr);
    savedDirectory_ = CurrentDirectory();
    ASSERT_TRUE(SetCurrentDirectoryW(temp.Path().c_str()));
    ASSERT_TRUE(SamePath(FullPath(L"\\"), L"C:\\"));

    // What an earlier test left in the application folder goes.
    RemoveTree(app);
    MakeFolder(app);
    MakeFolder(dest);
    Ship(L"fixture_both_ok");
    Sentinel(app);
    Sentinel(dest);
    Pump();
    testing::TakeFixtureCalls();
}

void FaultTest::TearDown() {
    if (!savedDirectory_.empty()) {
        SetCurrentDirectoryW(savedDirectory_.c_str());
    }
    if (claimedDriveRoot_) {
        const std::optional<Bytes> left = ReadFileBytes(DriveRootLibrary);
        if (left && IsTestLibrary(*left)) {
            SetFileAttributesW(DriveRootLibrary, FILE_ATTRIBUTE_NORMAL);
            EXPECT_TRUE(DeleteFileW(DriveRootLibrary));
        }
    }
    RemoveTree(temp.Path());
}

void FaultTest::Place(const std::wstring& fixture, const std::wstring& path) {
    const std::wstring target = path.starts_with(L"\\\\?\\") ? path : ExtendedPath(path);
    SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
    ASSERT_TRUE(CopyFileW(BuildFile(fixture + L".dll").c_str(), target.c_str(), FALSE))
        << Narrow(fixture) << " to " << Narrow(target);
}

void FaultTest::MakeFolder(const std::wstring& path) {
    const std::wstring target = path.starts_with(L"\\\\?\\") ? path : ExtendedPath(path);
    ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr)) << Narrow(target);
}

void FaultTest::WriteBytes(const std::wstring& path, std::string_view text) {
    const UniqueHandle file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_NE(file.get(), INVALID_HANDLE_VALUE) << Narrow(path);
    DWORD written = 0;
    ASSERT_TRUE(
        WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr));
}

void FaultTest::Sentinel(const std::wstring& folder) {
    ++sentinels_;
    const std::string text = "A file of the user's, number " + std::to_string(sentinels_) + ".";
    WriteBytes(folder + L"\\keep-" + std::to_wstring(sentinels_) + L".txt", text);
}

void FaultTest::FolderWithInstalledCopy(const std::wstring& folder) {
    MakeFolder(folder);
    Sentinel(folder);
    Place(L"fixture_both_false", folder + L"\\Quorvexv1.4.dll");
}

bool FaultTest::ClaimDriveRootLibrary() {
    const std::optional<Bytes> there = ReadFileBytes(DriveRootLibrary);
    if (GetFileAttributesW(DriveRootLibrary) != INVALID_FILE_ATTRIBUTES &&
        !(there && IsTestLibrary(*there))) {
        return false;
    }
    if (there) {  // left behind by an earlier run that did not finish
        SetFileAttributesW(DriveRootLibrary, FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(DriveRootLibrary);
    }
    claimedDriveRoot_ = true;
    Watch(DriveRootLibrary);
    return true;
}

void FaultTest::Type(const std::wstring& text) {
    // A paste: select everything, then replace the selection.
    HWND edit = Window().ControlWindow(layout::IndexOf(L"FolderText"));
    SendMessageW(edit, EM_SETSEL, 0, -1);
    SendMessageW(edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
}

void FaultTest::Pump() {
    MSG message{};
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE) != FALSE) {
        if (!Window().HandleDialogKey(message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
}

bool FaultTest::ButtonEnabled(CommandButton button) {
    const wchar_t* name = button == CommandButton::Register    ? L"cmdRegister"
                          : button == CommandButton::Uninstall ? L"cmdUninstall"
                                                               : L"ExitCmd";
    HWND control = Window().ControlWindow(layout::IndexOf(name));
    return IsWindow(control) != FALSE && IsWindowEnabled(control) != FALSE;
}

CaseResult FaultTest::Run(std::string name, Command command, const std::wstring& folderText,
                          const std::function<void()>& afterCommand) {
    using namespace status_text;
    CaseResult result;
    result.name = std::move(name);
    // The one path the command works with: the folder text without its blanks.
    const std::wstring destination = TrimBlanks(folderText) + L"\\" + std::wstring(LibraryName);
    const std::wstring destinationPlace = ExtendedPath(destination);

    const auto snapshot = [&] {
        Tree tree;
        AddTree(tree, ExtendedPath(temp.Path()));
        AddTree(tree, ExtendedPath(app));
        for (const std::wstring& folder : watchedTrees_) {
            AddTree(tree, ExtendedPath(folder));
        }
        for (const std::wstring& path : watched_) {
            if (const std::optional<Bytes> bytes = ReadFileBytes(path)) {
                tree[ExtendedPath(path)] = *bytes;
            }
        }
        return tree;
    };
    const std::optional<Bytes> shippedBefore = ReadFileBytes(shipped);
    const std::optional<Bytes> oldCopy = ReadFileBytes(destination);
    const LibraryProbe previous = ProbeLibrary(destination);
    const Tree before = snapshot();
    testing::TakeFixtureCalls();

    const auto add = [&](Check check, std::string text) {
        result.findings.push_back({check, std::move(text)});
    };

    Type(folderText);
    if (Window().FolderText() != folderText) {
        add(Check::Rows, "the text box does not hold the text typed into it");
    }
    const wchar_t* buttonName = command == Command::Install ? L"cmdRegister" : L"cmdUninstall";
    const auto start = std::chrono::steady_clock::now();
    SendMessageW(Window().ControlWindow(layout::IndexOf(buttonName)), BM_CLICK, 0, 0);
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    Pump();
    for (std::size_t i = 0; i < 3; ++i) {
        result.rows[i] = Window().StatusCaption(AllStatusRows[i]);
    }
    for (CommandButton button :
         {CommandButton::Register, CommandButton::Uninstall, CommandButton::Exit}) {
        if (!ButtonEnabled(button)) {
            add(Check::Buttons, "a command button is still disabled");
        }
    }
    if (afterCommand) {
        afterCommand();
    }

    // After: what the command really did.
    const std::vector<std::wstring> calls = SplitCalls(testing::TakeFixtureCalls());
    const std::optional<Bytes> newCopy = ReadFileBytes(destination);
    const std::optional<Bytes> shippedAfter = ReadFileBytes(shipped);
    const Tree after = snapshot();
    const int unregisterRuns = Count(calls, L"DllUnregisterServer");
    const int registerRuns = Count(calls, L"DllRegisterServer");
    const bool copied = shippedBefore && newCopy == shippedBefore;

    if (Count(calls, L"DecoyLoaded") > 0) {
        add(Check::Rows, "a library the folder text does not name was loaded");
    }
    if (unregisterRuns > 1 || registerRuns > 1) {
        add(Check::Rows, "an entry point ran more than once: " + Joined(calls));
    }

    std::array<std::wstring, 3>& expected = result.expected;
    std::string unregisterNote;
    if (command == Command::Install && !shippedBefore) {
        // Nothing to install: the installed copy is left alone.
        expected = {std::wstring(Idle), std::wstring(NotAValidPath), std::wstring(Idle)};
        if (!calls.empty()) {
            add(Check::Rows, "entry points ran with no shipped copy: " + Joined(calls));
        }
    } else {
        if (!previous.loadable) {
            // A file the loader refuses is there all the same, and so may be
            // its registration.
            expected[0] = oldCopy ? Failed : NoPreviousVersion;
            if (unregisterRuns > 0) {
                add(Check::Rows,
                    "DllUnregisterServer ran though nothing loadable was at " + Quote(destination));
            }
            if (command == Command::Uninstall && oldCopy && !newCopy) {
                add(Check::Kept, "the uninstall deleted a copy it never unregistered");
            }
        } else if (!previous.exportsUnregister) {
            expected[0] = NotValid;
            if (unregisterRuns > 0) {
                add(Check::Rows, "DllUnregisterServer ran though the library has none");
            }
        } else if (unregisterRuns == 1) {
            const Behaviour behaviour = BehaviourOf(previous.bytes);
            expected[0] = behaviour == Behaviour::Succeeds ? Successful
                          : behaviour == Behaviour::Fails  ? Failed
                                                           : L"?";
        } else {
            expected[0] = Failed;
            unregisterNote = " (a loadable library with DllUnregisterServer was at " +
                             Quote(destination) + " and its DllUnregisterServer never ran)";
        }

        if (command == Command::Install) {
            expected[1] = copied ? Successful : NotAValidPath;
            if (!copied) {
                expected[2] = Idle;
                if (registerRuns > 0) {
                    add(Check::Rows,
                        "DllRegisterServer ran though the destination does not hold the shipped "
                        "copy");
                }
            } else if (registerRuns == 1) {
                expected[2] = BehaviourOf(ReadFileBytes(destination)) == Behaviour::Succeeds
                                  ? Successful
                                  : Failed;
            } else {
                expected[2] = Failed;
            }
            if (unregisterRuns > 0 && registerRuns > 0 &&
                std::find(calls.begin(), calls.end(), L"DllRegisterServer") <
                    std::find(calls.begin(), calls.end(), L"DllUnregisterServer")) {
                add(Check::Rows, "DllRegisterServer ran before DllUnregisterServer");
            }
        } else {
            if (newCopy) {
                expected[0] = Failed;  // whatever the unregistration said, it is still installed
            }
            expected[1] = NotApplicable;
            expected[2] = NotApplicable;
            if (registerRuns > 0) {
                add(Check::Rows, "DllRegisterServer ran during an uninstall");
            }
        }
    }
    for (std::size_t i = 0; i < 3; ++i) {
        if (result.rows[i] == expected[i]) {
            continue;
        }
        add(Check::Rows, std::string(RowName(i)) + " row says " + Quote(result.rows[i]) +
                             ", expected " + Quote(expected[i]) + (i == 0 ? unregisterNote : "") +
                             "; entry points run: " + Joined(calls));
    }

    if (shippedAfter != shippedBefore) {
        add(Check::Kept, "the shipped copy changed or went");
    }
    const bool removed = command == Command::Uninstall && !newCopy;
    if (newCopy != oldCopy && !copied && !removed) {
        add(Check::Kept,
            oldCopy ? "the installed copy at " + Quote(destination) +
                          " is gone or changed and the shipped copy is not in its place"
                    : "something other than the shipped copy appeared at " + Quote(destination));
    }
    // Windows can neither delete nor overwrite a read-only copy; Wine run as
    // root overwrites it all the same, so the attribute is what tells.
    if (command == Command::Install && copied &&
        (GetFileAttributesW(destination.c_str()) & FILE_ATTRIBUTE_READONLY) != 0) {
        add(Check::Kept, "the installed copy is read-only: the next install could not replace it");
    }
    for (const auto& [path, bytes] : before) {
        const auto now = after.find(path);
        if ((now == after.end() || now->second != bytes) && !SamePath(path, destinationPlace)) {
            add(Check::Kept, Quote(path) + (now == after.end() ? " went" : " changed"));
        }
    }
    for (const auto& [path, bytes] : after) {
        if (!before.contains(path) && !SamePath(path, destinationPlace)) {
            add(Check::Kept, Quote(path) + " appeared");
        }
    }

    if (recordInTable_) {
        CaseTable::Add(result);
    }
    return result;
}

void FaultTest::Expect(const CaseResult& result) {
    for (const Finding& finding : result.findings) {
        ADD_FAILURE() << result.name << ": " << finding.text;
    }
}

void FaultTest::ExpectInstallThenUninstall(const std::string& name,
                                           const std::wstring& folderText) {
    Expect(Run(name + ": install", Command::Install, folderText));
    Expect(Run(name + ": uninstall", Command::Uninstall, folderText));
}

}  // namespace quorvex::faults
