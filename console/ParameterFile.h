// The parameter file: the 23 data cells of the two grids, one per line, each
// line ending in CR LF. Lines 1..21 are StringGrid1's rows 1..7, columns 1..3;
// lines 22 and 23 StringGrid2's data row.
#pragma once

#include "ParameterFileFormat.h"

#include <QString>

#include <string>
#include <string_view>
#include <vector>

namespace tarnell {

class TStringGrid;

// The format and the file calls live in the protocol module, which the
// command-line tool shares; the console raises its own errors with its own
// messages from them.
using protocol::FirstBadLine;
using protocol::FormatParameterFile;
using protocol::kParameterLines;
using protocol::SplitLines;

// The console's seam for the system calls behind its files (the protocol
// module's, under the console's name, so that its file operations raise the
// console's EFileError).
class TFileCalls : public protocol::TFileCalls {};
TFileCalls& SystemFileCalls();

// The protocol module's replacing store and whole-file read (see there),
// failing with the console's EFileError and the runtime's file messages.
void WriteFileReplacing(const std::string& path, std::string_view data, TFileCalls& calls = SystemFileCalls());
std::string ReadWholeFile(const std::string& path, TFileCalls& calls = SystemFileCalls());

// The file operations on the grids.
class TParameterFile {
public:
    TParameterFile(TStringGrid& storageGrid, TStringGrid& referenceGrid, TFileCalls& calls = SystemFileCalls());

    // The 23 cell texts in file order.
    std::vector<std::string> Lines() const;
    // Writes lines (taken before the dialog opened) to the file.
    void Store(const QString& fileName, const std::vector<std::string>& lines);
    // Fills the cells from the file, all of them or none: a refused file
    // changes no cell, and a short one throws EStringListError first.
    void Load(const QString& fileName);
    // Empties the data cells of the storage grid (not the reference row).
    void ClearStorageGrid();

private:
    TStringGrid& storage_;
    TStringGrid& reference_;
    TFileCalls& calls_;
};

}  // namespace tarnell
