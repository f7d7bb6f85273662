// A multi-line text of lines, as the output window and the status line use
// it: lines can be inserted at the top or added at the bottom.
#pragma once

#include <QPlainTextEdit>
#include <QStringList>

namespace tarnell {

class TMemo final : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit TMemo(QWidget* parent = nullptr);

    int LineCount() const;
    QString Line(int index) const;
    QStringList Lines() const;

    // Inserts a line before line index (0: at the top).
    void InsertLine(int index, const QString& line);
    void AddLine(const QString& line);
    // Replaces the whole text; CR LF, LF and CR all end a line.
    void SetText(const QString& text);

    void SetColor(const QColor& color);
    QColor Color() const;
};

}  // namespace tarnell
