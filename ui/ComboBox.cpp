#include "ComboBox.h"

#include <QKeyEvent>
#include <QLineEdit>

namespace tarnell {

TComboBox::TComboBox(QWidget* parent) : QComboBox(parent)
{
    setEditable(true);
    // Items are added by the program only, never by Enter in the edit field.
    setInsertPolicy(QComboBox::NoInsert);
    lineEdit()->installEventFilter(this);
}

bool TComboBox::eventFilter(QObject* watched, QEvent* event)
{
    // One signal per key: the edit field and the combo box would each
    // report an Enter that they pass on to the other.
    if (watched == lineEdit() && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            emit enterPressed();
            return true;
        }
    }
    return QComboBox::eventFilter(watched, event);
}

int TComboBox::AddSorted(const QString& text)
{
    int index = 0;
    while (index < count() && QString::compare(itemText(index), text, Qt::CaseInsensitive) <= 0)
        ++index;
    const QString edit = currentText();
    insertItem(index, text);
    setEditText(edit);
    return index;
}

bool TComboBox::HasItem(const QString& text) const
{
    for (int i = 0; i < count(); ++i)
        if (itemText(i) == text)
            return true;
    return false;
}

}  // namespace tarnell
