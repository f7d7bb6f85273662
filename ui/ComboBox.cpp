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

namespace {
bool IsEnter(const QKeyEvent& key) { return key.key() == Qt::Key_Return || key.key() == Qt::Key_Enter; }
}  // namespace

void TComboBox::keyPressEvent(QKeyEvent* event)
{
    // The window system gives keys to the combo box, which hands them to its
    // edit field; Enter is taken here, once.
    if (IsEnter(*event)) {
        event->accept();
        emit enterPressed();
        return;
    }
    QComboBox::keyPressEvent(event);
}

bool TComboBox::eventFilter(QObject* watched, QEvent* event)
{
    // Keys sent to the edit field itself: it would pass an Enter it does not
    // use up to the combo box, which hands it back, and report it twice.
    if (watched == lineEdit() && event->type() == QEvent::KeyPress) {
        if (IsEnter(*static_cast<QKeyEvent*>(event))) {
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
