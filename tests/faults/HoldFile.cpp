// fault_holder: holds a file the way another running program would, for the
// fault tests.
//   fault_holder open|open-share-delete|load PATH READY_EVENT RELEASE_EVENT
// "open" opens PATH for reading and shares reading only (as a program
// reading the file does), "open-share-delete" shares writing and deletion
// too (as scanners and indexers do), and "load" loads it as a library. The named READY_EVENT is set
// once PATH is held; PATH is let go when RELEASE_EVENT is set, or after a minute so that a test
// that died cannot leave it held for long.
#include <windows.h>

#include <string>

#include "platform/Handles.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 5) {
        return 2;
    }
    const std::wstring mode = argv[1];
    const wchar_t* path = argv[2];
    const quorvex::UniqueHandle ready(OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[3]));
    const quorvex::UniqueHandle release(OpenEventW(SYNCHRONIZE, FALSE, argv[4]));
    if (!ready || !release) {
        return 3;
    }

    quorvex::UniqueHandle file;
    quorvex::UniqueModule library;
    if (mode == L"load") {
        library.reset(LoadLibraryW(path));
        if (!library) {
            return 4;
        }
    } else if (mode == L"open" || mode == L"open-share-delete") {
        const DWORD share = mode == L"open-share-delete"
                                ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE
                                : FILE_SHARE_READ;
        file.reset(CreateFileW(path, GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr));
        if (file.get() == INVALID_HANDLE_VALUE) {
            return 4;
        }
    } else {
        return 2;
    }

    SetEvent(ready.get());
    WaitForSingleObject(release.get(), 60000);
    return 0;
}
