#include "StatusHints.h"

#include "Memo.h"

#include <QApplication>
#include <QLineEdit>

namespace tarnell {

QColor FieldColor(const QLineEdit& field) { return field.palette().color(QPalette::Base); }

void SetFieldColor(QLineEdit& field, const QColor& color)
{
    QPalette p = field.palette();
    p.setColor(QPalette::Base, color);
    field.setPalette(p);
}

TStatusHints::TStatusHints(TConsoleState& state, TMemo& statusLine, QLineEdit& addressField,
                           QString commandLineHint)
    : state_(state), status_(statusLine), address_(addressField), commandLineHint_(std::move(commandLineHint))
{
}

void TStatusHints::HintChanged(const QString& hint)
{
    // The short form of a hint is the part before the first "|".
    if (!hint.isEmpty())
        status_.SetText(hint.section(QLatin1Char('|'), 0, 0));
    status_.SetColor(hint.isEmpty() ? QApplication::palette().color(QPalette::Base) : QColor(255, 255, 0));
    if (hint == commandLineHint_) {
        state_.AddressColor = FieldColor(address_);
        SetFieldColor(address_, QColor(255, 255, 0));
    } else {
        SetFieldColor(address_, state_.AddressColor);
    }
}

}  // namespace tarnell
