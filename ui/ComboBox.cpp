#include "ComboBox.h"

namespace tarnell {

TComboBox::TComboBox(QWidget* parent) : QComboBox(parent)
{
    setEditable(true);
    // Items are added by the program only, never by Enter in the edit field.
    setInsertPolicy(QComboBox::NoInsert);
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
