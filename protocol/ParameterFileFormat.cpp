#include "ParameterFileFormat.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include "FilePlatform.h"

namespace tarnell::protocol {

TFileCalls& SystemFileCalls()
{
    static TFileCalls calls;
    return calls;
}

namespace {

std::string FileErrorText(EFileError::TOperation operation, const std::string& path, int error,
                          const std::string& reason)
{
    return std::string(operation == EFileError::TOperation::Create ? "cannot write \"" : "cannot read \"") + path +
           "\": " + (reason.empty() ? std::string(std::strerror(error)) : reason);
}

// A descriptor that is closed exactly once; the close result of a file that
// was written is checked by Release() instead.
class TFd {
public:
    TFd(TFileCalls& calls, int fd) : calls_(calls), fd_(fd) {}
    ~TFd()
    {
        if (fd_ >= 0)
            calls_.Close(fd_);
    }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    int Get() const { return fd_; }
    int Release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    TFileCalls& calls_;
    int fd_;
};

[[noreturn]] void ThrowCreate(const std::string& path, int error)
{
    throw EFileError(EFileError::TOperation::Create, path, error);
}

}  // namespace

EFileError::EFileError(TOperation operation, std::string path, int error, std::string reason)
    : std::runtime_error(FileErrorText(operation, path, error, reason)), operation_(operation), path_(std::move(path)),
      error_(error), reason_(std::move(reason))
{
}

std::string EFileError::Reason() const { return reason_.empty() ? std::string(std::strerror(error_)) : reason_; }

std::string FormatParameterFile(const std::vector<std::string>& lines)
{
    std::string bytes;
    for (const std::string& line : lines) {
        bytes += line;
        bytes += "\r\n";
    }
    return bytes;
}

std::vector<std::string> SplitLines(std::string_view bytes)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    std::size_t i = 0;
    while (i < bytes.size()) {
        char c = bytes[i];
        if (c == '\r' || c == '\n') {
            lines.emplace_back(bytes.substr(start, i - start));
            ++i;
            if (c == '\r' && i < bytes.size() && bytes[i] == '\n')
                ++i;
            start = i;
        } else {
            ++i;
        }
    }
    if (start < bytes.size())
        lines.emplace_back(bytes.substr(start));
    return lines;
}

int FirstBadLine(const std::vector<std::string>& lines)
{
    const std::size_t n = std::min<std::size_t>(lines.size(), kParameterLines);
    for (std::size_t i = 0; i < n; ++i)
        for (char c : lines[i])
            if (c < '0' || c > '9')
                return static_cast<int>(i);
    return -1;
}

TPlaces PlacesFromLines(const std::vector<std::string>& lines)
{
    auto line = [&](std::size_t i) { return i < lines.size() ? lines[i] : std::string(); };
    TPlaces places;
    for (std::size_t p = 0; p + 1 < kPlaceCount; ++p)
        places[p] = {line(3 * p), line(3 * p + 1), line(3 * p + 2)};
    places[kReferencePlace - 1] = {line(21), line(22), std::string()};
    return places;
}

std::vector<std::string> LinesFromPlaces(const TPlaces& places)
{
    std::vector<std::string> lines;
    for (std::size_t p = 0; p + 1 < kPlaceCount; ++p) {
        lines.push_back(places[p].grip);
        lines.push_back(places[p].provision);
        lines.push_back(places[p].force);
    }
    lines.push_back(places[kReferencePlace - 1].grip);
    lines.push_back(places[kReferencePlace - 1].provision);
    return lines;
}

std::optional<TRangeProblem> FirstOutOfRange(const std::vector<std::string>& lines, int typeIndex)
{
    static const char* const kPlaceFields[3] = {"grip position", "provision position", "grip force"};
    const std::size_t n = std::min<std::size_t>(lines.size(), kParameterLines);
    for (std::size_t i = 0; i < n; ++i) {
        const std::string& text = lines[i];
        if (text.empty())
            continue;
        TRangeProblem problem;
        if (i < 21) {
            problem.what = std::string(kPlaceFields[i % 3]) + " of place " + std::to_string(i / 3 + 1);
            problem.range = i % 3 == 2 ? ForceRange(typeIndex) : PositionRange(typeIndex);
        } else {
            problem.what = i == 21 ? "reference-drive position" : "force-compensation position";
            problem.range = PositionRange(typeIndex);
        }
        bool inside = false;
        try {
            inside = problem.range.Contains(StrToInt(text));
        } catch (const EConvertError&) {
            inside = false;  // more digits than 32 bits hold
        }
        if (!inside) {
            problem.line = static_cast<int>(i) + 1;
            problem.text = text;
            return problem;
        }
    }
    return std::nullopt;
}

void WriteFileReplacing(const std::string& path, std::string_view data, TFileCalls& calls)
{
    const std::string target = file_platform::WriteTarget(path);
    static std::atomic<unsigned> serial{0};

    // Renaming over a file needs only the folder's permission; a file that
    // may not be written stays as it is, as it would under a plain write.
    struct stat old {};
    const bool exists = calls.Stat(target.c_str(), &old) == 0;
    if (exists && calls.AccessWrite(target.c_str()) != 0)
        ThrowCreate(path, errno);

    // The new content goes into a file of its own in the same folder, so that
    // the rename below stays within one file system.
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = target + ".tmp" + std::to_string(file_platform::ProcessId()) + "-" + std::to_string(serial++);
        fd = calls.Open(temp.c_str(), file_platform::kCreateNewFlags, 0666);
        if (fd < 0 && errno != EEXIST && errno != EINTR)
            ThrowCreate(path, errno);
    }
    if (fd < 0)
        ThrowCreate(path, EEXIST);

    TFd file(calls, fd);
    auto fail = [&](int error) {
        calls.Close(file.Release());
        calls.Unlink(temp.c_str());
        ThrowCreate(path, error);
    };

    if (exists && calls.Fchmod(file.Get(), old.st_mode & 07777) != 0)
        fail(errno);

    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = calls.Write(file.Get(), data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail(errno);
        }
        if (n == 0)
            fail(EIO);
        done += static_cast<std::size_t>(n);
    }
    if (calls.Fsync(file.Get()) != 0)
        fail(errno);
    if (calls.Close(file.Release()) != 0) {
        int error = errno;
        calls.Unlink(temp.c_str());
        ThrowCreate(path, error);
    }
    if (calls.Rename(temp.c_str(), target.c_str()) != 0) {
        int error = errno;
        calls.Unlink(temp.c_str());
        ThrowCreate(path, error);
    }
}

std::string ReadWholeFile(const std::string& path, TFileCalls& calls, std::size_t maxBytes)
{
    using TOp = EFileError::TOperation;
    // Non-blocking, so that a FIFO nobody writes is refused instead of
    // holding the caller at the open.
    int fd = calls.Open(path.c_str(), file_platform::kReadFlags, 0);
    if (fd < 0)
        throw EFileError(TOp::Open, path, errno);
    TFd file(calls, fd);
    struct stat st {};
    if (calls.Fstat(file.Get(), &st) != 0)
        throw EFileError(TOp::Open, path, errno);
    if (S_ISDIR(st.st_mode))
        throw EFileError(TOp::Open, path, EISDIR);
    if (!S_ISREG(st.st_mode))
        throw EFileError(TOp::Open, path, EINVAL, "not a regular file");
    const std::string tooLarge = "larger than a parameter file can be (over " + std::to_string(maxBytes) + " bytes)";
    if (st.st_size < 0 || static_cast<std::uint64_t>(st.st_size) > maxBytes)
        throw EFileError(TOp::Open, path, EFBIG, tooLarge);
    std::string bytes;
    char buffer[4096];
    for (;;) {
        ssize_t n = calls.Read(file.Get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw EFileError(TOp::Open, path, errno);
        }
        if (n == 0)
            break;
        bytes.append(buffer, static_cast<std::size_t>(n));
        // A file that grows while it is read is held to the same bound.
        if (bytes.size() > maxBytes)
            throw EFileError(TOp::Open, path, EFBIG, tooLarge);
    }
    return bytes;
}

}  // namespace tarnell::protocol
