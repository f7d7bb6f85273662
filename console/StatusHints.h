// The status line for hints: shows the hint of the control under the mouse on
// a yellow ground, keeps the last non-empty hint, and returns to the window
// colour where there is none. While the mouse is on the command line, the
// address field it draws "#ADR" from is highlighted too.
#pragma once

#include "ConsoleState.h"

#include <QString>

class QLineEdit;

namespace tarnell {

class TMemo;

class TStatusHints {
public:
    TStatusHints(TConsoleState& state, TMemo& statusLine, QLineEdit& addressField, QString commandLineHint);

    // The application's hint changed to hint.
    void HintChanged(const QString& hint);

private:
    TConsoleState& state_;
    TMemo& status_;
    QLineEdit& address_;
    QString commandLineHint_;
};

// The background colour of a line edit, and setting it.
QColor FieldColor(const QLineEdit& field);
void SetFieldColor(QLineEdit& field, const QColor& color);

}  // namespace tarnell
