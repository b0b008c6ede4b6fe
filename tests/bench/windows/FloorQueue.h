// What both floor programs answer a file queue (no UI: every operation is
// done, the media is where the INF says) and the file name of a path.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <string>

namespace floor_queue {

inline UINT Answer(UINT notification) {
    switch (notification) {
    case SPFILENOTIFY_NEEDMEDIA:
    case SPFILENOTIFY_STARTCOPY:
    case SPFILENOTIFY_STARTDELETE:
    case SPFILENOTIFY_STARTRENAME:
        return FILEOP_DOIT;
    case SPFILENOTIFY_COPYERROR:
    case SPFILENOTIFY_RENAMEERROR:
        return FILEOP_ABORT;
    case SPFILENOTIFY_DELETEERROR:
        return FILEOP_SKIP;
    default:
        return TRUE;
    }
}

inline std::wstring FileName(const std::wstring& path) {
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

}  // namespace floor_queue
