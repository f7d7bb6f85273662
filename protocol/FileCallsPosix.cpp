// The parameter file's system calls on Linux.
#include "FilePlatform.h"
#include "ParameterFileFormat.h"

#include <climits>
#include <cstdlib>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarnell::protocol {

int TFileCalls::Open(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
ssize_t TFileCalls::Read(int fd, void* buf, size_t count) { return ::read(fd, buf, count); }
int TFileCalls::Fstat(int fd, struct stat* st) { return ::fstat(fd, st); }
ssize_t TFileCalls::Write(int fd, const void* buf, size_t count) { return ::write(fd, buf, count); }
int TFileCalls::Fsync(int fd) { return ::fsync(fd); }
int TFileCalls::Fchmod(int fd, mode_t mode) { return ::fchmod(fd, mode); }
int TFileCalls::Close(int fd) { return ::close(fd); }
int TFileCalls::Rename(const char* from, const char* to) { return ::rename(from, to); }
int TFileCalls::Unlink(const char* path) { return ::unlink(path); }
int TFileCalls::Stat(const char* path, struct stat* st) { return ::stat(path, st); }
int TFileCalls::AccessWrite(const char* path) { return ::faccessat(AT_FDCWD, path, W_OK, AT_EACCESS); }

namespace file_platform {

const int kCreateNewFlags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
const int kReadFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK;

std::string WriteTarget(const std::string& path)
{
    char resolved[PATH_MAX];
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && ::realpath(path.c_str(), resolved))
        return resolved;
    return path;
}

int ProcessId() { return static_cast<int>(::getpid()); }

}  // namespace file_platform

}  // namespace tarnell::protocol
