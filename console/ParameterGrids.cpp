#include "ParameterGrids.h"

#include "ConsoleErrors.h"
#include "ConsoleStrings.h"
#include "Dialogs.h"
#include "GripperProtocol.h"
#include "ParameterFileFormat.h"
#include "StringGrid.h"

#include <QComboBox>

#include <algorithm>
#include <limits>

namespace tarnell {

const TGripperType& GripperType(int item)
{
    static const TGripperType types[3] = {
        {protocol::PositionRange(0).max, true, strings::kStorageHeadings50, strings::kCommands50and100},
        {protocol::PositionRange(1).max, true, strings::kStorageHeadings100, strings::kCommands50and100},
        {protocol::PositionRange(2).max, false, nullptr, strings::kCommands30},
    };
    return types[(item >= 0 && item < 3) ? item : 0];
}

namespace {

// The value a range check compares: more digits than 32 bits hold are above
// every maximum, so the cell is corrected instead of refused for ever.
int CellValue(const QString& s)
{
    try {
        return StrToInt(s);
    } catch (const EConvertError&) {
        if (std::all_of(s.begin(), s.end(), [](QChar c) { return c >= u'0' && c <= u'9'; }))
            return std::numeric_limits<int>::max();
        throw;
    }
}

}  // namespace

std::optional<TSendProblem> FirstUnsendableCell(const std::vector<std::string>& lines, int typeIndex)
{
    // Only complete rows are sent: a row with an empty cell is not looked at.
    std::vector<std::string> sent = lines;
    sent.resize(protocol::kParameterLines);
    for (std::size_t first = 0; first < sent.size(); first += first < 21 ? 3 : 2) {
        const std::size_t width = first < 21 ? 3 : 2;
        bool complete = true;
        for (std::size_t i = first; i < first + width; ++i)
            complete = complete && !sent[i].empty();
        for (std::size_t i = first; !complete && i < first + width; ++i)
            sent[i].clear();
    }
    for (std::size_t i = 0; i < sent.size(); ++i) {
        const std::string& text = sent[i];
        if (!text.empty() && !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return TSendProblem{static_cast<int>(i) + 1, text, {}, false};
    }
    if (std::optional<protocol::TRangeProblem> r = protocol::FirstOutOfRange(sent, typeIndex))
        return TSendProblem{r->line, r->text, r->range, true};
    return std::nullopt;
}

QString SendRefusedMessage(const TSendProblem& problem)
{
    static const char* const kFields[3] = {QT_TRANSLATE_NOOP("Console", "Grip Position"),
                                           QT_TRANSLATE_NOOP("Console", "Provision Position"),
                                           QT_TRANSLATE_NOOP("Console", "Grip Force")};
    const int i = problem.line - 1;
    const QString place =
        i < 21 ? strings::Tr(QT_TRANSLATE_NOOP("Console", "storage place %1, %2"))
                     .arg(i / 3 + 1)
                     .arg(strings::Tr(kFields[i % 3]))
               : strings::Tr(QT_TRANSLATE_NOOP("Console", "reference row (place 8), %1"))
                     .arg(strings::Tr(i == 21 ? strings::kReferenceHeadings[1] : strings::kReferenceHeadings[2]));
    const QString value = QString::fromLatin1(problem.text.substr(0, 40));
    QString why;
    if (!problem.numeric)
        why = strings::Tr(QT_TRANSLATE_NOOP("Console", "'%1' is not a number")).arg(value);
    else
        why = strings::Tr(QT_TRANSLATE_NOOP("Console", "%1 is outside %2..%3"))
                  .arg(value)
                  .arg(problem.range.min)
                  .arg(problem.range.max);
    return strings::Tr(QT_TRANSLATE_NOOP("Console", "Nothing was sent: %1: %2.")).arg(place, why);
}

void LoadCommandList(QComboBox& box, const char* list)
{
    QStringList items = QString::fromUtf8(list).split(QStringLiteral("\r\n"));
    // The edit field keeps what the operator typed.
    QString text = box.currentText();
    box.clear();
    box.addItems(items);
    box.setEditText(text);
}

TParameterGrids::TParameterGrids(TConsoleState& state, TStringGrid& storageGrid, TStringGrid& referenceGrid)
    : state_(state), storage_(storageGrid), reference_(referenceGrid)
{
}

void TParameterGrids::KeyPress(QChar& key)
{
    char16_t c = key.unicode();
    if (c != u'\b' && (c < u'0' || c > u'9'))
        key = QChar();
}

void TParameterGrids::SetEditText(int col, int row)
{
    state_.EditCol = col;
    state_.EditRow = row;
}

void TParameterGrids::CheckStorageGrid() { Check(storage_, 3); }

void TParameterGrids::CheckReferenceGrid() { Check(reference_, 2); }

void TParameterGrids::Check(TStringGrid& grid, int lastCol)
{
    // The shared coordinates may come from the other grid: the check then
    // looks at the same cell of this one.
    const int col = state_.EditCol;
    const int row = state_.EditRow;
    const QString s = grid.Cell(col, row);
    if (s.isEmpty() || col < 1 || col > lastCol)
        return;
    state_.MaxLimits[1] = state_.MaxPosition;
    state_.MaxLimits[2] = state_.MaxPosition;
    if (lastCol >= 3)
        state_.MaxLimits[3] = state_.MaxForce;

    const int value = CellValue(s);
    const int lo = state_.MinLimits[static_cast<std::size_t>(col)];
    if (value < lo) {
        Dialogs().ShowMessage(grid.window(), strings::Tr(strings::kMinimumValueIs) + QString::number(lo),
                              TMessageKind::Information);
        grid.SetCell(col, row, QString::number(lo));
    }
    const int hi = state_.MaxLimits[static_cast<std::size_t>(col)];
    if (value > hi) {
        grid.SetSelection(col, row);
        Dialogs().ShowMessage(grid.window(), strings::Tr(strings::kMaximumValueIs) + QString::number(hi),
                              TMessageKind::Information);
        grid.SetCell(col, row, QString::number(hi));
    }
}

void TParameterGrids::SetupStorageGrid(const QString& h0, const QString& h1, const QString& h2, const QString& h3)
{
    const QString headings[4] = {h0, h1, h2, h3};
    for (int c = 0; c < 4; ++c)
        storage_.SetCell(c, 0, headings[c]);
    for (int r = 1; r <= 7; ++r)
        storage_.SetCell(0, r, QString::number(r));
    FitColumns(storage_);
    const int height = storage_.TextHeight(storage_.Cell(1, 0)) + 5;
    for (int r = 0; r < storage_.RowCount(); ++r)
        storage_.SetRowHeight(r, height);
}

void TParameterGrids::SetupStorageGrid(const char* const headings[4])
{
    SetupStorageGrid(strings::Tr(headings[0]), strings::Tr(headings[1]), strings::Tr(headings[2]),
                     strings::Tr(headings[3]));
}

void TParameterGrids::SetupReferenceGrid()
{
    for (int c = 0; c < 3; ++c)
        reference_.SetCell(c, 0, strings::Tr(strings::kReferenceHeadings[c]));
    FitColumns(reference_);
    const int height = reference_.TextHeight(reference_.Cell(1, 0)) + 5;
    for (int r = 0; r < reference_.RowCount(); ++r)
        reference_.SetRowHeight(r, height);
}

void TParameterGrids::SetExtraWidth(int extra)
{
    extraWidth_ = std::max(0, extra);
    FitColumns(storage_);
    FitColumns(reference_);
}

void TParameterGrids::FitColumns(TStringGrid& grid)
{
    // Each column as wide as its heading; the data columns share the extra.
    const int dataCols = grid.ColCount() - 1;
    for (int c = 0; c < grid.ColCount(); ++c) {
        int width = grid.TextWidth(grid.Cell(c, 0)) + 5;
        if (c > 0)
            width += extraWidth_ / dataCols + (c == dataCols ? extraWidth_ % dataCols : 0);
        grid.SetColWidth(c, width);
    }
}

}  // namespace tarnell
