// What the window tests share: a main window that is shown and active, with
// every dialog answered by a TScriptedDialogs, and typing into grid cells.
#pragma once

#include "GroupBoxes.h"
#include "Memo.h"
#include "ScriptedDialogs.h"
#include "StringGrid.h"
#include "TarnellApplication.h"
#include "Unit1.h"

#include <QCheckBox>
#include <QComboBox>
#include <QRadioButton>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

#include <memory>

namespace tarnell::test {

struct TWindow {
    TScriptedDialogs dialogs;
    TForm1 form;

    // Shows the window and waits until it has the focus; false if it never does.
    bool Activate()
    {
        form.show();
        form.activateWindow();
        return QTest::qWaitForWindowActive(&form, 5000);
    }
};

inline QWidget* KeyTarget(TStringGrid& grid)
{
    return grid.Editor() ? static_cast<QWidget*>(grid.Editor()) : static_cast<QWidget*>(&grid);
}

// Types text where the operator's keys would go: the editor if it is shown,
// else the grid. "\b" is backspace.
inline void Type(TStringGrid& grid, const QString& text)
{
    for (QChar c : text) {
        if (c == QLatin1Char('\b'))
            QTest::keyClick(KeyTarget(grid), Qt::Key_Backspace);
        else
            QTest::keyClick(KeyTarget(grid), c.toLatin1());
    }
}

// Puts the focus on a cell without running any check, then types into it.
inline void EditCell(TStringGrid& grid, int col, int row, const QString& text)
{
    grid.setFocus();
    grid.SetSelection(col, row);
    Type(grid, text);
}

// The cell's middle, where a click lands.
inline QPoint CellCentre(TStringGrid& grid, int col, int row)
{
    return grid.visualItemRect(grid.item(row, col)).center();
}

inline void ClickCell(TStringGrid& grid, int col, int row)
{
    QTest::mouseClick(grid.viewport(), Qt::LeftButton, {}, CellCentre(grid, col, row));
}

}  // namespace tarnell::test

// Qt Test's main with the console's application object, so that the error
// report and the hint tracker are the real ones.
#define TARNELL_CONSOLE_TEST_MAIN(TestClass)            \
    int main(int argc, char** argv)                       \
    {                                                     \
        tarnell::TApplication app(argc, argv);            \
        TestClass test;                                   \
        return QTest::qExec(&test, argc, argv);           \
    }
