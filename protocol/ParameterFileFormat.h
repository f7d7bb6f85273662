// The parameter file ("*.gri"), without widgets: 23 lines, one cell each,
// every line ending in CR LF. Lines 1..21 are storage places 1..7, three
// lines each (grip position, provision position, grip force); lines 22 and
// 23 place 8 (reference-drive and force-compensation positions). The
// console's grids and the command-line tool read and write it through this
// module, so that a file written by one loads in the other.
#pragma once

#include "GripperProtocol.h"

#include <array>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

namespace tarnell::protocol {

inline constexpr int kParameterLines = 23;

// The file's bytes for the given lines: each line followed by CR LF.
std::string FormatParameterFile(const std::vector<std::string>& lines);
// Splits bytes into lines; a line ends at CR LF, at a lone LF or at a lone CR.
// A last line without an end counts; an empty text has no lines.
std::vector<std::string> SplitLines(std::string_view bytes);
// Index of the first of the first 23 lines that is neither empty nor decimal
// digits, or -1. Such a line would go into a store command verbatim.
int FirstBadLine(const std::vector<std::string>& lines);

// One storage place as texts, exactly as the file or the gripper has them.
// Place 8 uses grip for the reference-drive and provision for the
// force-compensation position; its force is not kept in the file.
struct TPlaceTexts {
    std::string grip;
    std::string provision;
    std::string force;
    bool operator==(const TPlaceTexts&) const = default;
};
using TPlaces = std::array<TPlaceTexts, kPlaceCount>;  // index 0 is place 1

// The places of the first 23 lines (fewer lines leave the rest empty), and
// the 23 lines of the places.
TPlaces PlacesFromLines(const std::vector<std::string>& lines);
std::vector<std::string> LinesFromPlaces(const TPlaces& places);

// A value of a parameter file outside the range of a gripper type.
struct TRangeProblem {
    int line = 0;        // from 1
    std::string text;    // the line as it stands
    std::string what;    // "grip position of place 3"
    TValueRange range{};
};
// The first non-empty line among the first 23 whose value lies outside the
// ranges of the gripper type (a value too large for 32 bits is outside too).
// The lines must have passed FirstBadLine.
std::optional<TRangeProblem> FirstOutOfRange(const std::vector<std::string>& lines, int typeIndex);

// A file that cannot be read or written. Operation() says which, Path() and
// Error() (an errno value) what failed; each program words its own message.
class EFileError : public std::runtime_error {
public:
    enum class TOperation { Create, Open };
    // reason: what to say instead of the system's text for error, for a file
    // refused by its kind or size rather than by the system.
    EFileError(TOperation operation, std::string path, int error, std::string reason = {});
    TOperation Operation() const { return operation_; }
    const std::string& Path() const { return path_; }
    int Error() const { return error_; }
    // Why, in words: the refusal's reason, or the system's text for Error().
    std::string Reason() const;

private:
    TOperation operation_;
    std::string path_;
    int error_;
    std::string reason_;
};

// The system calls behind reading and writing files, so that tests can make
// any of them fail.
class TFileCalls {
public:
    virtual ~TFileCalls() = default;
    virtual int Open(const char* path, int flags, mode_t mode);
    virtual ssize_t Read(int fd, void* buf, size_t count);
    virtual ssize_t Write(int fd, const void* buf, size_t count);
    virtual int Fsync(int fd);
    virtual int Fchmod(int fd, mode_t mode);
    virtual int Close(int fd);
    virtual int Rename(const char* from, const char* to);
    virtual int Unlink(const char* path);
    virtual int Stat(const char* path, struct stat* st);
    virtual int Fstat(int fd, struct stat* st);
    // Whether this process may write path (effective ids, as an open would).
    virtual int AccessWrite(const char* path);
};
TFileCalls& SystemFileCalls();

// Replaces the file at path with data without ever leaving a half-written
// file in its place: the data goes completely into a new file beside it,
// which then takes the old one's place. On failure the old file stays as it
// was and EFileError (Create) is thrown. A symbolic link keeps pointing to
// its target, which gets the new content; an existing file keeps its
// permissions, and one that may not be written is not replaced.
void WriteFileReplacing(const std::string& path, std::string_view data, TFileCalls& calls = SystemFileCalls());
// No parameter file comes near this size; a larger file is refused unread.
inline constexpr std::size_t kMaxParameterFileBytes = 64 * 1024;

// The whole content of a regular file of at most maxBytes; EFileError (Open)
// if it cannot be read, is not a regular file (a FIFO, a device, a folder)
// or is larger. Never blocks on a FIFO and never reads more than maxBytes + 1.
std::string ReadWholeFile(const std::string& path, TFileCalls& calls = SystemFileCalls(),
                          std::size_t maxBytes = kMaxParameterFileBytes);

}  // namespace tarnell::protocol
