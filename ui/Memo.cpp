#include "Memo.h"

#include <QTextBlock>
#include <QTextCursor>
#include <QTime>

namespace tarnell {

TMemo::TMemo(QWidget* parent) : QPlainTextEdit(parent)
{
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    flushTimer_.setSingleShot(true);
    flushTimer_.setInterval(0);
    connect(&flushTimer_, &QTimer::timeout, this, [this] { FlushPending(); });
}

int TMemo::LineCount() const
{
    FlushPending();
    return document()->isEmpty() ? 0 : document()->blockCount();
}

QString TMemo::Line(int index) const
{
    if (index < 0 || index >= LineCount())
        return QString();
    return document()->findBlockByNumber(index).text();
}

QStringList TMemo::Lines() const
{
    QStringList lines;
    for (int i = 0; i < LineCount(); ++i)
        lines << Line(i);
    return lines;
}

void TMemo::InsertLine(int index, const QString& line)
{
    const QString stamped =
        timeStamps_ ? QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz ")) + line : line;
    if (deferred_) {
        pending_.emplace_back(index, stamped);
        if (!flushTimer_.isActive())
            const_cast<QTimer&>(flushTimer_).start();
        return;
    }
    FlushPending();
    Insert(index, stamped);
}

void TMemo::FlushPending() const
{
    if (pending_.empty())
        return;
    auto* self = const_cast<TMemo*>(this);
    self->flushTimer_.stop();
    self->lastFlush_.restart();
    std::vector<std::pair<int, QString>> lines;
    lines.swap(pending_);
    QTextCursor block(document());
    block.beginEditBlock();  // one layout and one repaint for all of them
    for (const auto& [index, line] : lines)
        self->Insert(index, line);
    block.endEditBlock();
}

void TMemo::SetDeferred(bool on)
{
    if (!on)
        FlushPending();
    deferred_ = on;
}

namespace {
// A held output shows its lines after this long without a due flush (a
// gripper that does not answer, the end of a sequence).
constexpr int kHeldFallbackMs = 150;
}  // namespace

void TMemo::SetHold(int periodMs)
{
    holdMs_ = periodMs;
    flushTimer_.setInterval(holdMs_ > 0 ? kHeldFallbackMs : 0);
    if (!pending_.empty())
        flushTimer_.start();
}

void TMemo::FlushIfDue()
{
    if (holdMs_ == 0 || !lastFlush_.isValid() || lastFlush_.elapsed() >= holdMs_)
        FlushPending();
    else if (!pending_.empty())
        flushTimer_.start();  // not due yet: the fallback waits afresh
}

void TMemo::Clear()
{
    pending_.clear();
    flushTimer_.stop();
    clear();
}

void TMemo::Insert(int index, const QString& line)
{
    int count = document()->isEmpty() ? 0 : document()->blockCount();
    if (count == 0) {
        QTextCursor cursor(document());
        cursor.insertText(line);
        return;
    }
    QTextCursor cursor(document());
    if (index >= count) {
        cursor.movePosition(QTextCursor::End);
        cursor.insertText(QStringLiteral("\n") + line);
        return;
    }
    cursor.setPosition(document()->findBlockByNumber(qMax(0, index)).position());
    cursor.insertText(line + QStringLiteral("\n"));
}

void TMemo::AddLine(const QString& line) { InsertLine(LineCount(), line); }

void TMemo::SetText(const QString& text)
{
    QString plain = text;
    plain.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    plain.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    pending_.clear();
    setPlainText(plain);
}

void TMemo::SetColor(const QColor& color)
{
    QPalette p = palette();
    p.setColor(QPalette::Base, color);
    setPalette(p);
}

QColor TMemo::Color() const { return palette().color(QPalette::Base); }

}  // namespace tarnell
