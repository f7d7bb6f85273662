// The parameter file's system calls on Windows, through the C runtime's
// descriptors; the replace is MoveFileExW, since rename() does not replace
// an existing file there.
#include "FilePlatform.h"
#include "ParameterFileFormat.h"

#include <windows.h>

#include <cerrno>
#include <string>

#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>

namespace tarnell::protocol {

namespace {

// Paths are byte strings in the system's code page, as the C runtime's
// _open takes them.
std::wstring Wide(const char* path)
{
    int n = MultiByteToWideChar(CP_ACP, 0, path, -1, nullptr, 0);
    if (n <= 0)
        return {};
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, path, -1, out.data(), n);
    out.resize(static_cast<std::size_t>(n - 1));
    return out;
}

int ErrnoOf(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_WRITE_PROTECT:
        return EROFS;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return ENOMEM;
    default:
        return EIO;
    }
}

}  // namespace

int TFileCalls::Open(const char* path, int flags, mode_t) { return ::_open(path, flags, _S_IREAD | _S_IWRITE); }
ssize_t TFileCalls::Read(int fd, void* buf, size_t count)
{
    return ::_read(fd, buf, static_cast<unsigned>(count > 0x40000000u ? 0x40000000u : count));
}
int TFileCalls::Fstat(int fd, struct stat* st) { return ::fstat(fd, st); }
ssize_t TFileCalls::Write(int fd, const void* buf, size_t count)
{
    return ::_write(fd, buf, static_cast<unsigned>(count > 0x40000000u ? 0x40000000u : count));
}
int TFileCalls::Fsync(int fd) { return ::_commit(fd); }
// Permissions are the folder's access lists, which the new file inherits;
// a read-only file is refused before (AccessWrite).
int TFileCalls::Fchmod(int, mode_t) { return 0; }
int TFileCalls::Close(int fd) { return ::_close(fd); }
int TFileCalls::Rename(const char* from, const char* to)
{
    if (MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return 0;
    errno = ErrnoOf(GetLastError());
    return -1;
}
int TFileCalls::Unlink(const char* path) { return ::_unlink(path); }
int TFileCalls::Stat(const char* path, struct stat* st) { return ::stat(path, st); }
int TFileCalls::AccessWrite(const char* path) { return ::_access(path, 2); }

namespace file_platform {

const int kCreateNewFlags = _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT;
// A FIFO cannot be opened by a path on Windows; nothing to guard against.
const int kReadFlags = _O_RDONLY | _O_BINARY | _O_NOINHERIT;

// Links are rare on Windows and replacing one by a file is what its own
// programs do.
std::string WriteTarget(const std::string& path) { return path; }

int ProcessId() { return ::_getpid(); }

}  // namespace file_platform

}  // namespace tarnell::protocol
