#pragma once
// Files other programs hold for a moment, for the native Env on Windows
// (internal, not installed): virus scanners, indexers and viewers open a
// file right after it was written, without sharing deletion.

#include "Common/WindowsText.h"

#include <string>

namespace Zorvan::windows {

// Whether the file `path` names could be renamed over or removed now: it
// is opened for DELETE access, sharing everything, and closed again.
// ERROR_SUCCESS, or why not; ERROR_SHARING_VIOLATION when a handle (of any
// program) has it open without FILE_SHARE_DELETE, as viewers, virus
// scanners and SQLite's own connections open files.
DWORD deletable(const std::wstring& path);

// True when `error`, from an operation on `path`, may come from another
// process holding the file for a moment rather than from the file itself:
// a sharing violation; access denied to a file that is neither read-only
// nor a folder (those are refused every time); ReplaceFileW's report that
// it could not remove the destination, or could not move the replacement
// in while the destination is still there (both keep their names then; a
// handle another process has on the destination does that, such as the
// one a save waiting for the design's lock opens for a moment).
bool mayBeHeld(DWORD error, const std::wstring& path);

// Runs `operation`, a call that reports failure through GetLastError, until
// it succeeds, fails for another reason than `path` being held, or has
// been tried kAttempts times (about a fifth of a second in all). Returns
// ERROR_SUCCESS or the last error.
template <class Operation>
DWORD retryWhileHeld(const std::wstring& path, Operation operation) {
    constexpr int kAttempts = 5;
    for (int attempt = 1;; ++attempt) {
        if (operation()) {
            return ERROR_SUCCESS;
        }
        const DWORD error = ::GetLastError();
        if (attempt == kAttempts || !mayBeHeld(error, path)) {
            return error;
        }
        ::Sleep(static_cast<DWORD>(20 * attempt));
    }
}

} // namespace Zorvan::windows
