// The parameter file: the 23 data cells of the two grids, one per line, each
// line ending in CR LF. Lines 1..21 are StringGrid1's rows 1..7, columns 1..3;
// lines 22 and 23 StringGrid2's data row.
#pragma once

#include <QString>

#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

namespace tarnell {

class TStringGrid;

inline constexpr int kParameterLines = 23;

// The file's bytes for the given lines: each line followed by CR LF.
std::string FormatParameterFile(const std::vector<std::string>& lines);
// Splits bytes into lines; a line ends at CR LF, at a lone LF or at a lone CR.
// A last line without an end counts; an empty text has no lines.
std::vector<std::string> SplitLines(std::string_view bytes);
// Index of the first of the first 23 lines that is neither empty nor decimal
// digits, or -1. Such a line would go into a store command verbatim.
int FirstBadLine(const std::vector<std::string>& lines);

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
    // Whether this process may write path (effective ids, as an open would).
    virtual int AccessWrite(const char* path);
};
TFileCalls& SystemFileCalls();

// Replaces the file at path with data without ever leaving a half-written
// file in its place: the data goes completely into a new file beside it,
// which then takes the old one's place. On failure the old file stays as it
// was and EFileError is thrown. A symbolic link keeps pointing to its target,
// which gets the new content; an existing file keeps its permissions, and one
// that may not be written is not replaced.
void WriteFileReplacing(const std::string& path, std::string_view data, TFileCalls& calls = SystemFileCalls());
// The whole content of a file; EFileError if it cannot be read.
std::string ReadWholeFile(const std::string& path, TFileCalls& calls = SystemFileCalls());

// The file operations on the grids.
class TParameterFile {
public:
    TParameterFile(TStringGrid& storageGrid, TStringGrid& referenceGrid, TFileCalls& calls = SystemFileCalls());

    // The 23 cell texts in file order.
    std::vector<std::string> Lines() const;
    // Writes lines (taken before the dialog opened) to the file.
    void Store(const QString& fileName, const std::vector<std::string>& lines);
    // Fills the cells from the file. A refused file changes no cell; a short
    // one fills what it can, then throws EStringListError.
    void Load(const QString& fileName);
    // Empties the data cells of the storage grid (not the reference row).
    void ClearStorageGrid();

private:
    TStringGrid& storage_;
    TStringGrid& reference_;
    TFileCalls& calls_;
};

}  // namespace tarnell
