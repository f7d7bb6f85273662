// The parameter grids: the key filter and the paste guard, edit tracking, the
// range checks with their messages and corrections per gripper type, and the
// conversion error.
#include "ConsoleFixture.h"

#include <QClipboard>

using namespace tarnell;
using namespace tarnell::test;

class GridsTest : public QObject {
    Q_OBJECT
private slots:
    void keyFilterLetsOnlyDigitsAndBackspaceThrough()
    {
        TWindow w;
        QVERIFY(w.Activate());
        for (TStringGrid* grid : {w.form.StringGrid1, w.form.StringGrid2}) {
            EditCell(*grid, 2, 1, "-a 1b2\b3+,.;x");
            QVERIFY(grid->Editor());
            QCOMPARE(grid->Cell(2, 1), QStringLiteral("13"));
            QTest::keyClick(grid->Editor(), Qt::Key_Return);  // Enter brings no character either
            QCOMPARE(grid->Cell(2, 1), QStringLiteral("13"));
            QTest::keyClick(grid->Editor(), Qt::Key_Home);  // editing keys work as usual
            // Delete as X11 delivers it: with the text DEL.
            QTest::sendKeyEvent(QTest::Click, grid->Editor(), Qt::Key_Delete, QString(QChar(0x7f)), Qt::NoModifier);
            QCOMPARE(grid->Cell(2, 1), QStringLiteral("3"));
            Type(*grid, "1");
            QCOMPARE(grid->Cell(2, 1), QStringLiteral("13"));
            QCOMPARE(w.form.State().EditCol, 2);
            QCOMPARE(w.form.State().EditRow, 1);
        }
        // Typing into a cell that is not being edited starts with that key.
        TStringGrid& g = *w.form.StringGrid1;
        g.setFocus();
        g.SetSelection(3, 5);
        QTest::keyClick(&g, 'q');
        QVERIFY(!g.Editor() || g.Cell(3, 5).isEmpty());
        Type(g, "42");
        QCOMPARE(g.Cell(3, 5), QStringLiteral("42"));
        QCOMPARE(w.form.State().EditRow, 5);
        // A filled cell that is not being edited takes the typed value in place
        // of its text.
        g.SetCell(2, 6, "250");
        g.SetSelection(2, 6);
        QVERIFY(!g.Editor());
        Type(g, "3");
        QCOMPARE(g.Cell(2, 6), QStringLiteral("3"));
        QVERIFY(w.dialogs.Shown().empty());
    }

    void pasteTakesDigitsOnly()
    {
        TWindow w;
        QVERIFY(w.Activate());
        TStringGrid& g = *w.form.StringGrid1;
        EditCell(g, 1, 3, "7");
        TCellEditor* editor = g.Editor();
        QVERIFY(editor);
        QClipboard* clipboard = QGuiApplication::clipboard();

        for (const char* refused : {"12a", "-5", " 5", "1;2", "٣"}) {
            clipboard->setText(QString::fromUtf8(refused));
            editor->paste();
            QCOMPARE(g.Cell(1, 3), QStringLiteral("7"));
            QTest::keyClick(editor, Qt::Key_V, Qt::ControlModifier);
            QCOMPARE(g.Cell(1, 3), QStringLiteral("7"));
        }
        clipboard->setText("45");
        editor->paste();
        QCOMPARE(g.Cell(1, 3), QStringLiteral("745"));
        QCOMPARE(w.form.State().EditCol, 1);
        QCOMPARE(w.form.State().EditRow, 3);
        clipboard->setText("0");
        editor->selectAll();
        QTest::keyClick(editor, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(g.Cell(1, 3), QStringLiteral("0"));

        // A cell that holds other text (from a reply) can still be edited.
        g.SetCell(1, 3, "ab");
        QCOMPARE(editor->text(), QStringLiteral("ab"));
        editor->end(false);
        QTest::keyClick(editor, Qt::Key_Backspace);
        QTest::keyClick(editor, '5');
        QCOMPARE(g.Cell(1, 3), QStringLiteral("a5"));
    }

    void rangeCheckShowsTheLimitThenCorrects_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("grid");
        QTest::addColumn<int>("col");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("result");
        const QString none;
        QTest::newRow("50 mm grip 600") << 0 << 1 << 1 << "600" << "Maximum Value is: 500" << "500";
        QTest::newRow("50 mm grip 500") << 0 << 1 << 1 << "500" << none << "500";
        QTest::newRow("50 mm provision 0601") << 0 << 1 << 2 << "0601" << "Maximum Value is: 500" << "500";
        QTest::newRow("100 mm grip 600") << 1 << 1 << 1 << "600" << none << "600";
        QTest::newRow("100 mm provision 1200") << 1 << 1 << 2 << "1200" << "Maximum Value is: 1000" << "1000";
        QTest::newRow("force 2") << 0 << 1 << 3 << "2" << "Minimum Value is: 3" << "3";
        QTest::newRow("force 0") << 1 << 1 << 3 << "0" << "Minimum Value is: 3" << "3";
        QTest::newRow("force 3") << 0 << 1 << 3 << "3" << none << "3";
        QTest::newRow("force 50") << 1 << 1 << 3 << "50" << none << "50";
        QTest::newRow("force 51, 50 mm") << 0 << 1 << 3 << "51" << "Maximum Value is: 50" << "50";
        QTest::newRow("force 51, 100 mm") << 1 << 1 << 3 << "51" << "Maximum Value is: 50" << "50";
        QTest::newRow("grip 0") << 0 << 1 << 1 << "0" << none << "0";
        QTest::newRow("reference 700, 50 mm") << 0 << 2 << 1 << "700" << "Maximum Value is: 500" << "500";
        QTest::newRow("compensation 700, 100 mm") << 1 << 2 << 2 << "700" << none << "700";
        QTest::newRow("compensation 1001") << 1 << 2 << 2 << "1001" << "Maximum Value is: 1000" << "1000";
    }

    void rangeCheckShowsTheLimitThenCorrects()
    {
        QFETCH(int, type);
        QFETCH(int, grid);
        QFETCH(int, col);
        QFETCH(QString, typed);
        QFETCH(QString, message);
        QFETCH(QString, result);

        TWindow w;
        QVERIFY(w.Activate());
        w.form.rgGripperType->SetItemIndex(type);
        TStringGrid& g = grid == 1 ? *w.form.StringGrid1 : *w.form.StringGrid2;
        const int row = grid == 1 ? 4 : 1;
        // While the box is open the cell still holds what was typed, and a
        // value above the limit is the grid's selection.
        QString cellWhileOpen;
        QPoint currentWhileOpen;
        // A real box takes the focus from the window, which on X11 is active
        // again only some time after the box has gone.
        QWidget elsewhere;
        w.dialogs.whileMessageOpen = [&](const QString&) {
            cellWhileOpen = g.Cell(col, row);
            currentWhileOpen = QPoint(g.Col(), g.Row());
            elsewhere.show();
            elsewhere.activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(&elsewhere, 5000));
        };
        EditCell(g, col, row, typed);
        QCOMPARE(g.Cell(col, row), typed);
        QVERIFY(w.dialogs.Shown().empty());

        // Leave the cell: by the keyboard in one grid (Down or Tab), by a
        // click in the other.
        if (grid == 1)
            QTest::keyClick(KeyTarget(g), col == 2 ? Qt::Key_Tab : Qt::Key_Down);
        else
            ClickCell(g, col == 1 ? 2 : 1, 1);
        QCOMPARE(w.dialogs.Messages(), message.isEmpty() ? QStringList() : QStringList{message});
        QCOMPARE(g.Cell(col, row), result);
        if (!message.isEmpty()) {
            QCOMPARE(cellWhileOpen, typed);
            if (message.startsWith("Maximum")) {
                QCOMPARE(currentWhileOpen, QPoint(col, row));
                // It stays so once the key or click has been handled: the
                // highlight and the next typed key are on the same cell.
                const QList<QTableWidgetItem*> selected = g.selectedItems();
                QCOMPARE(selected.size(), 1);
                QCOMPARE(QPoint(selected[0]->column(), selected[0]->row()), QPoint(col, row));
                QCOMPARE(QPoint(g.Col(), g.Row()), QPoint(col, row));
                elsewhere.hide();
                w.form.activateWindow();
                QVERIFY(QTest::qWaitForWindowActive(&w.form, 5000));
                QVERIFY(g.isAncestorOf(QApplication::focusWidget()) || QApplication::focusWidget() == &g);
                Type(g, "1");
                QCOMPARE(g.Cell(col, row), QStringLiteral("1"));
            }
        }
        for (TStringGrid* other : {w.form.StringGrid1, w.form.StringGrid2})
            for (int r = 1; r < other->RowCount(); ++r)
                for (int c = 1; c < other->ColCount(); ++c)
                    if (other != &g || c != col || r != row)
                        QVERIFY(other->Cell(c, r).isEmpty());
    }

    void leavingTheGridChecksAndLimitsFollowTheType()
    {
        TWindow w;
        QVERIFY(w.Activate());
        TForm1& f = w.form;
        f.rgGripperType->SetItemIndex(1);
        EditCell(*f.StringGrid1, 1, 1, "1200");
        f.bOpen->setFocus();  // exit; the file dialog is not involved
        QCOMPARE(w.dialogs.Messages(), QStringList{"Maximum Value is: 1000"});
        QCOMPARE(f.StringGrid1->Cell(1, 1), QStringLiteral("1000"));

        // With 30 mm the grids are hidden; a check that still runs uses 300.
        w.dialogs.Clear();
        f.rgGripperType->SetItemIndex(2);
        f.StringGrid1Click();
        QCOMPARE(w.dialogs.Messages(), QStringList{"Maximum Value is: 300"});
        QCOMPARE(f.StringGrid1->Cell(1, 1), QStringLiteral("300"));
    }

    void checksLookAtTheCellLastEditedInEitherGrid()
    {
        TWindow w;
        QVERIFY(w.Activate());
        TForm1& f = w.form;
        // Start state: nothing edited, moving around checks nothing.
        f.StringGrid1->SetCell(1, 1, "900");
        f.StringGrid1->setFocus();
        for (int r = 1; r <= 7; ++r)
            f.StringGrid1->MoveTo(1 + r % 3, r);
        QVERIFY(w.dialogs.Shown().empty());

        EditCell(*f.StringGrid2, 1, 1, "5");
        ClickCell(*f.StringGrid1, 3, 6);  // checks cell (1, 1) of StringGrid1
        QCOMPARE(w.dialogs.Messages(), QStringList{"Maximum Value is: 500"});
        QCOMPARE(f.StringGrid1->Cell(1, 1), QStringLiteral("500"));
        QCOMPARE(f.StringGrid2->Cell(1, 1), QStringLiteral("5"));

        // Column 3 was edited last: StringGrid2 has no column 3 to check.
        w.dialogs.Clear();
        EditCell(*f.StringGrid1, 3, 1, "99");
        f.StringGrid2->SetCell(1, 1, "9999");
        ClickCell(*f.StringGrid2, 2, 1);
        QCOMPARE(w.dialogs.Messages(), QStringList{"Maximum Value is: 50"});  // StringGrid1's exit
        QCOMPARE(f.StringGrid1->Cell(3, 1), QStringLiteral("50"));
        QCOMPARE(f.StringGrid2->Cell(1, 1), QStringLiteral("9999"));
    }

    void aClickOnTheCurrentCellChecksToo()
    {
        TWindow w;
        QVERIFY(w.Activate());
        TForm1& f = w.form;
        f.rgGripperType->SetItemIndex(1);
        EditCell(*f.StringGrid1, 1, 1, "600");
        QTest::keyClick(KeyTarget(*f.StringGrid1), Qt::Key_Down);  // in range for 100 mm
        QVERIFY(w.dialogs.Shown().empty());
        f.rgGripperType->SetItemIndex(0);  // by program: the focus stays in the grid
        QCOMPARE(QPoint(f.StringGrid1->Col(), f.StringGrid1->Row()), QPoint(1, 2));
        ClickCell(*f.StringGrid1, 1, 2);
        QCOMPARE(w.dialogs.Messages(), QStringList{"Maximum Value is: 500"});
        QCOMPARE(f.StringGrid1->Cell(1, 1), QStringLiteral("500"));
    }

    void aNumberTooLargeForAnIntegerIsAboveTheMaximum()
    {
        TWindow w;
        QVERIFY(w.Activate());
        TForm1& f = w.form;
        EditCell(*f.StringGrid1, 2, 2, "99999999999");
        QTest::keyClick(KeyTarget(*f.StringGrid1), Qt::Key_Up);
        QCOMPARE(w.dialogs.Messages(), QStringList{"Maximum Value is: 500"});
        QCOMPARE(f.StringGrid1->Cell(2, 2), QStringLiteral("500"));
        // Corrected once: later clicks in the grid find nothing to report.
        w.dialogs.Clear();
        ClickCell(*f.StringGrid1, 1, 5);
        ClickCell(*f.StringGrid1, 2, 2);
        QVERIFY(w.dialogs.Shown().empty());
    }

    void enterInACellChecksIt()
    {
        TWindow w;
        QVERIFY(w.Activate());
        TForm1& f = w.form;
        EditCell(*f.StringGrid1, 3, 3, "2");
        QTest::keyClick(KeyTarget(*f.StringGrid1), Qt::Key_Return);
        QTRY_COMPARE_WITH_TIMEOUT(w.dialogs.Messages(), QStringList{"Minimum Value is: 3"}, 5000);
        QCOMPARE(f.StringGrid1->Cell(3, 3), QStringLiteral("3"));
        QCOMPARE(QPoint(f.StringGrid1->Col(), f.StringGrid1->Row()), QPoint(3, 3));

        w.dialogs.Clear();
        EditCell(*f.StringGrid2, 1, 1, "12345678901234567890");
        QTest::keyClick(KeyTarget(*f.StringGrid2), Qt::Key_Enter);
        QTRY_COMPARE_WITH_TIMEOUT(w.dialogs.Messages(), QStringList{"Maximum Value is: 500"}, 5000);
        QCOMPARE(f.StringGrid2->Cell(1, 1), QStringLiteral("500"));
    }
};

TARNELL_CONSOLE_TEST_MAIN(GridsTest)
#include "GridsTest.moc"
