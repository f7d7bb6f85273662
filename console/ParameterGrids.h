// The two parameter grids: the storage places 1..7 (StringGrid1) and the
// reference row of place 8 (StringGrid2), their key filter, edit tracking and
// range check, the headings, and what a gripper type sets.
#pragma once

#include "ConsoleState.h"

#include <QString>

#include <optional>
#include <string>
#include <vector>

class QComboBox;

namespace tarnell {

class TStringGrid;

// What a gripper type (the item of rgGripperType) sets.
struct TGripperType {
    int maxPosition;
    bool gridsShown;
    const char* const* storageHeadings;  // nullptr: headings unchanged
    const char* commands;                // the built-in command list
};
// The type of item 0 ("50 mm"), 1 ("100 mm") or 2 ("30 mm").
const TGripperType& GripperType(int item);

// Replaces the whole item list of box by a built-in list (lines split at CR LF).
void LoadCommandList(QComboBox& box, const char* list);

// A cell that Send must not write: its line in the parameter file's order
// (1..21 the storage places, 22 and 23 the reference row), its text, and why.
struct TSendProblem {
    int line = 0;
    std::string text;
    protocol::TValueRange range{};
    bool numeric = true;  // false: not a decimal number at all
};
// The first cell of a complete row (lines as TParameterFile::Lines gives
// them) that is not a number within the ranges of gripper type typeIndex.
std::optional<TSendProblem> FirstUnsendableCell(const std::vector<std::string>& lines, int typeIndex);
// What the operator is told when Send refuses: which place, which field, why.
QString SendRefusedMessage(const TSendProblem& problem);

class TParameterGrids {
public:
    TParameterGrids(TConsoleState& state, TStringGrid& storageGrid, TStringGrid& referenceGrid);

    // Key filter of both grids: digits and backspace pass, anything else is
    // cancelled (set to 0).
    static void KeyPress(QChar& key);
    // Edit tracking of both grids.
    void SetEditText(int col, int row);
    // Range checks run on a click in, a move within and the exit of a grid.
    // Each looks at the cell last edited in either grid. A value out of range
    // is reported with a modal message and corrected afterwards.
    void CheckStorageGrid();
    void CheckReferenceGrid();

    // Headings of the storage grid; column widths and row heights follow them.
    void SetupStorageGrid(const QString& h0, const QString& h1, const QString& h2, const QString& h3);
    void SetupStorageGrid(const char* const headings[4]);
    // Headings and sizes of the reference grid.
    void SetupReferenceGrid();
    // The width the grids have beyond their designed width: their data
    // columns share it, so a wider window widens them, not an empty margin.
    void SetExtraWidth(int extra);

private:
    void Check(TStringGrid& grid, int lastCol);
    void FitColumns(TStringGrid& grid);

    int extraWidth_ = 0;

    TConsoleState& state_;
    TStringGrid& storage_;
    TStringGrid& reference_;
};

}  // namespace tarnell
