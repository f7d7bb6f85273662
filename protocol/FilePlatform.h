// What the parameter file's reading and atomic writing needs of the
// operating system beyond TFileCalls: open flags, the target of a link, the
// process id for a unique temporary name. FileCallsPosix.cpp and
// FileCallsWin32.cpp implement it together with TFileCalls.
#pragma once

#include <string>

namespace tarnell::protocol::file_platform {

// A new file of our own, for writing, not inherited by child programs, in
// bytes (no newline translation).
extern const int kCreateNewFlags;
// Reading, never blocking on a FIFO.
extern const int kReadFlags;

// The file a path stands for: the target of a symbolic link, so that the
// link is kept; the path itself if it names nothing yet.
std::string WriteTarget(const std::string& path);

int ProcessId();

}  // namespace tarnell::protocol::file_platform
