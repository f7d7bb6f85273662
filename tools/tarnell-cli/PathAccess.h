// Whether this process may create files in a folder: the one platform call
// of the command line's checks. A path's native string is wchar_t on Windows.
#pragma once

#include <cerrno>
#include <filesystem>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace tarnell::cli {

// 0, or -1 with errno set.
inline int AccessCreateIn(const std::filesystem::path& folder)
{
#ifdef _WIN32
    return ::_waccess(folder.c_str(), 2);
#else
    return ::access(folder.c_str(), W_OK | X_OK);
#endif
}

}  // namespace tarnell::cli
