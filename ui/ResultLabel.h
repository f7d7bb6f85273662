// A label that shows a result (a scan's outcome, a monitor's state) to a
// screen reader: a fixed accessible name would hide the text, so its name is
// "what: text", and it changes, and is announced, with every new text.
#pragma once

#include <QString>

class QLabel;

namespace tarnell {

void NameResultLabel(QLabel* label, const QString& what);

}  // namespace tarnell
