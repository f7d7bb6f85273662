#include "ParameterFile.h"

#include "ConsoleErrors.h"
#include "ConsoleStrings.h"
#include "StringGrid.h"

#include <QFile>

#include <cstring>

namespace tarnell {

TFileCalls& SystemFileCalls()
{
    static TFileCalls calls;
    return calls;
}

namespace {

QString FileName(const std::string& path) { return QFile::decodeName(QByteArray::fromStdString(path)); }

// The runtime's message for a file that cannot be written or read.
EFileError ConsoleFileError(const protocol::EFileError& e)
{
    const char* format =
        e.Operation() == protocol::EFileError::TOperation::Create ? strings::kFileCreateError : strings::kFileOpenError;
    return EFileError(
        strings::Tr(format).arg(FileName(e.Path()), QString::fromLocal8Bit(e.Reason().c_str())));
}

}  // namespace

void WriteFileReplacing(const std::string& path, std::string_view data, TFileCalls& calls)
{
    try {
        protocol::WriteFileReplacing(path, data, calls);
    } catch (const protocol::EFileError& e) {
        throw ConsoleFileError(e);
    }
}

std::string ReadWholeFile(const std::string& path, TFileCalls& calls)
{
    try {
        return protocol::ReadWholeFile(path, calls);
    } catch (const protocol::EFileError& e) {
        throw ConsoleFileError(e);
    }
}

TParameterFile::TParameterFile(TStringGrid& storageGrid, TStringGrid& referenceGrid, TFileCalls& calls)
    : storage_(storageGrid), reference_(referenceGrid), calls_(calls)
{
}

std::vector<std::string> TParameterFile::Lines() const
{
    // Cells hold byte strings, one character per byte.
    std::vector<std::string> lines;
    for (int r = 1; r <= 7; ++r)
        for (int c = 1; c <= 3; ++c)
            lines.push_back(storage_.Cell(c, r).toLatin1().toStdString());
    for (int c = 1; c <= 2; ++c)
        lines.push_back(reference_.Cell(c, 1).toLatin1().toStdString());
    return lines;
}

void TParameterFile::Store(const QString& fileName, const std::vector<std::string>& lines)
{
    WriteFileReplacing(QFile::encodeName(fileName).toStdString(), FormatParameterFile(lines), calls_);
}

void TParameterFile::Load(const QString& fileName)
{
    const std::vector<std::string> lines =
        SplitLines(ReadWholeFile(QFile::encodeName(fileName).toStdString(), calls_));
    if (int bad = FirstBadLine(lines); bad >= 0) {
        QString shown = QString::fromLatin1(lines[static_cast<std::size_t>(bad)].substr(0, 40));
        // One pass: a "%2" in the file's name must stay as it is.
        throw EFileError(strings::Tr(strings::kFileRefused).arg(fileName, QString::number(bad + 1), shown));
    }
    // All or nothing: a short file is refused before the first cell
    // changes, so the grids never hold part of two parameter sets.
    if (lines.size() < static_cast<std::size_t>(kParameterLines))
        throw EStringListError(strings::Tr(strings::kListIndexError).arg(lines.size()));
    std::size_t index = 0;
    auto next = [&]() { return QString::fromLatin1(lines[index++]); };
    for (int r = 1; r <= 7; ++r)
        for (int c = 1; c <= 3; ++c)
            storage_.SetCell(c, r, next());
    reference_.SetCell(1, 1, next());
    reference_.SetCell(2, 1, next());
}

void TParameterFile::ClearStorageGrid()
{
    for (int r = 1; r <= 7; ++r)
        for (int c = 1; c <= 3; ++c)
            storage_.SetCell(c, r, QString());
}

}  // namespace tarnell
