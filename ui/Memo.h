// A multi-line text of lines, as the output window and the status line use
// it: lines can be inserted at the top or added at the bottom.
#pragma once

#include <QPlainTextEdit>
#include <QElapsedTimer>
#include <QStringList>
#include <QTimer>

#include <utility>
#include <vector>

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

    // Empties the text, lines still pending included.
    void Clear();

    // While deferred, new lines wait and go into the text together at the
    // next FlushPending() or when the event loop next gets round to it, so
    // that whoever adds a line does no layout or painting work right then.
    // Reading the lines always sees the pending ones.
    void SetDeferred(bool on);
    // Holding (periodMs > 0) gathers lines that come fast: they go in only
    // at FlushIfDue, at most once per period, or when none has been due for
    // a while. 0 (the default) ends the hold and shows what waits.
    void SetHold(int periodMs);
    // Puts the pending lines in unless held and flushed less than a period ago.
    void FlushIfDue();
    void FlushPending() const;
    bool HasPending() const { return !pending_.empty(); }

    // Each line added from now on starts with the time it was added,
    // "hh:mm:ss.mmm ". Off by default.
    void SetTimeStamps(bool on) { timeStamps_ = on; }
    bool TimeStamps() const { return timeStamps_; }

private:
    void Insert(int index, const QString& line);

    bool deferred_ = false;
    bool timeStamps_ = false;
    int holdMs_ = 0;
    QElapsedTimer lastFlush_;
    mutable std::vector<std::pair<int, QString>> pending_;
    QTimer flushTimer_;
};

}  // namespace tarnell
