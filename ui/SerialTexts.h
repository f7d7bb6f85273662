// The serial layer's texts as the operator reads them. The serial layer has
// no Qt and writes English only; what of it reaches a dialog or a message
// box is put into the window's language here, on its way to the screen.
#pragma once

#include <QString>

namespace tarnell {

// text with every phrase of the serial layer that has a translation put
// into the window's language; the port names, device paths and the
// system's own texts in it stay as they are.
QString SerialText(const QString& text);
QString SerialText(const char* text);

}  // namespace tarnell
