#include "SerialTexts.h"

#include <QCoreApplication>

#include <algorithm>
#include <iterator>

namespace tarnell {

namespace {

// The phrases the serial layer puts into the messages an operator gets to
// see: the dialog's captions, and the texts of a port that does not open or
// goes away. Longer phrases first, so that none is cut by a shorter one.
constexpr const char* kPhrases[] = {
    QT_TRANSLATE_NOOP("Serial", "The ComNumber property of the TSioComPort has not been set"),
    QT_TRANSLATE_NOOP("Serial", "ie_BadId - Specified comport doesn't exist"),
    QT_TRANSLATE_NOOP("Serial", "ie_Hardware - Specified comport in use"),
    QT_TRANSLATE_NOOP("Serial", "The configured serial port is not valid."),
    QT_TRANSLATE_NOOP("Serial", ": the port could not be opened: "),
    QT_TRANSLATE_NOOP("Serial", "ie_NOpen - device not open"),
    QT_TRANSLATE_NOOP("Serial", "ie_Open - device already open"),
    QT_TRANSLATE_NOOP("Serial", "Please choose another port."),
    QT_TRANSLATE_NOOP("Serial", ": the device was lost"),
    QT_TRANSLATE_NOOP("Serial", "File access denied"),
    QT_TRANSLATE_NOOP("Serial", " is already in use"),
    QT_TRANSLATE_NOOP("Serial", "(system error "),
    QT_TRANSLATE_NOOP("Serial", "File not found"),
    QT_TRANSLATE_NOOP("Serial", "Select Port"),
};

}  // namespace

QString SerialText(const QString& text)
{
    QString shown = text;
    for (const char* phrase : kPhrases) {
        const QString english = QString::fromLatin1(phrase);
        if (shown.contains(english))
            shown.replace(english, QCoreApplication::translate("Serial", phrase));
    }
    return shown;
}

QString SerialText(const char* text) { return SerialText(QString::fromUtf8(text)); }

}  // namespace tarnell
