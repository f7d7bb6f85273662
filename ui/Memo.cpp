#include "Memo.h"

#include <QTextBlock>
#include <QTextCursor>

namespace tarnell {

TMemo::TMemo(QWidget* parent) : QPlainTextEdit(parent)
{
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
}

int TMemo::LineCount() const { return document()->isEmpty() ? 0 : document()->blockCount(); }

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
    int count = LineCount();
    if (count == 0) {
        setPlainText(line);
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
