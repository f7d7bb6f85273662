// Start-up, layout, hints (the port line's buttons too), the output window, the gripper type, the address
// field and the application's error report.
#include "ComboBox.h"
#include "ConsoleFixture.h"
#include "BusPanel.h"
#include "ConsoleStrings.h"
#include "PortChoice.h"
#include "PortStatusLine.h"
#include "StatusMonitor.h"
#include "VerifyAction.h"
#include "base/MessageQueue.h"

#include <QEnterEvent>
#include <QFontInfo>
#include <QGroupBox>
#include <QToolButton>
#include <QToolTip>

#include <stdexcept>

using namespace tarnell;
using namespace tarnell::test;

namespace {

QStringList Items(const QComboBox& box)
{
    QStringList items;
    for (int i = 0; i < box.count(); ++i)
        items << box.itemText(i);
    return items;
}

QStringList Headings(const TStringGrid& grid)
{
    QStringList h;
    for (int c = 0; c < grid.ColCount(); ++c)
        h << grid.Cell(c, 0);
    return h;
}

void Enter(QWidget* w)
{
    QEnterEvent e(QPointF(1, 1), QPointF(1, 1), QPointF(1, 1));
    QApplication::sendEvent(w, &e);
}

void Leave(QWidget* w)
{
    QEvent e(QEvent::Leave);
    QApplication::sendEvent(w, &e);
}

const QColor kYellow(255, 255, 0);

}  // namespace

class WindowTest : public QObject {
    Q_OBJECT
private slots:
    void startUpFillsKeysCommandsAndHeadings()
    {
        TWindow w;
        TForm1& f = w.form;
        QCOMPARE(f.windowTitle(), QStringLiteral("Tarnell by Voskarwerk"));
        QCOMPARE(f.font().pixelSize(), 16);
        QVERIFY2(QStringList({"Times New Roman", "Liberation Serif"}).contains(QFontInfo(f.font()).family()),
                 qPrintable(QFontInfo(f.font()).family()));

        for (int r = 0; r < 12; ++r)
            QCOMPARE(f.StringGrid3->Cell(0, r), QStringLiteral("F%1").arg(r + 1));
        QCOMPARE(f.StringGrid3->Cell(1, 0), QStringLiteral("STA;0"));
        QCOMPARE(f.StringGrid3->Cell(1, 11), QStringLiteral("VER;0"));
        for (int r = 1; r < 11; ++r)
            QVERIFY(f.StringGrid3->Cell(1, r).isEmpty());
        QCOMPARE(f.StringGrid3->ColWidth(0), f.StringGrid3->TextWidth("F12") + 5);
        QCOMPARE(f.StringGrid3->ColWidth(0) + f.StringGrid3->ColWidth(1) + 5, f.StringGrid3->ClientWidth());

        const QStringList commands = Items(*f.cbCommands);
        QCOMPARE(commands.size(), 28);
        QCOMPARE(commands.join("\r\n"), QString::fromUtf8(strings::kCommands50and100));
        QCOMPARE(commands.first(), QStringLiteral("CMP;0;250"));
        QCOMPARE(commands.last(), QStringLiteral("VER;0"));
        QCOMPARE(f.cbCommands->maxVisibleItems(), 20);

        QCOMPARE(Headings(*f.StringGrid1),
                 QStringList({"StoragePos.", "Grip Position 0..500 [1/10 mm]",
                              "Provision Position 0..500 [1/10 mm]", "Grip Force 3..50 [N]"}));
        for (int r = 1; r <= 7; ++r)
            QCOMPARE(f.StringGrid1->Cell(0, r), QString::number(r));
        QCOMPARE(Headings(*f.StringGrid2), QStringList({"Ref. Drive / Force Compensation", "Ref. Drive Position",
                                                        "Force Compensation Position"}));
        QVERIFY(f.StringGrid2->Cell(0, 1).isEmpty());
        for (TStringGrid* g : {f.StringGrid1, f.StringGrid2}) {
            for (int c = 0; c < g->ColCount(); ++c)
                QCOMPARE(g->ColWidth(c), g->TextWidth(g->Cell(c, 0)) + 5);
            for (int r = 0; r < g->RowCount(); ++r)
                QCOMPARE(g->RowHeight(r), g->TextHeight(g->Cell(1, 0)) + 5);
            for (int r = 1; r < g->RowCount(); ++r)
                for (int c = 1; c < g->ColCount(); ++c)
                    QVERIFY(g->Cell(c, r).isEmpty());
        }

        QCOMPARE(f.State().GripperAddress, 0);
        QCOMPARE(f.meAdresse->text(), QStringLiteral("0"));
        QCOMPARE(f.rgGripperType->ItemIndex(), 0);
        QCOMPARE(f.rgParity->ItemIndex(), 0);
        for (int i = 0; i < 8; ++i)
            QVERIFY(!f.cgStatus->Box(i)->isChecked());
        QVERIFY(w.dialogs.Shown().empty());
    }

    void controlsSitWhereTheLayoutPutsThem()
    {
        TWindow w;
        QVERIFY(w.Activate());
        TForm1& f = w.form;
        // The form, and the port line below it.
        QCOMPARE(f.size(), QSize(1016, 741 + TForm1::kPortLineHeight));
        const struct {
            QWidget* control;
            QWidget* parent;
            QRect place;
        } layout[] = {
            {f.Panel1, &f, {0, 0, 1016, 289}},
            {f.Panel4, f.Panel1, {1, 1, 714, 287}},
            {f.StringGrid2, f.Panel4, {7, 8, 700, 57}},
            {f.StringGrid1, f.Panel4, {7, 70, 700, 209}},
            {f.rgParity, f.Panel1, {720, 0, 153, 89}},
            {f.rgGripperType, f.Panel1, {720, 96, 153, 89}},
            {f.gbAdresse, f.Panel1, {720, 216, 153, 65}},
            {f.meAdresse, f.gbAdresse, {8, 24, 41, 27}},
            {f.bOpen, f.Panel1, {880, 8, 121, 25}},
            {f.bSave, f.Panel1, {880, 40, 121, 25}},
            {f.bClearStringGrid, f.Panel1, {880, 72, 121, 25}},
            {f.bRead, f.Panel1, {880, 224, 121, 25}},
            {f.bSenden, f.Panel1, {880, 256, 121, 25}},
            {f.Panel2, &f, {0, 289, 1016, 50}},
            {f.bSenden2, f.Panel2, {880, 14, 121, 25}},
            {f.Panel3, &f, {0, 339, 1016, 333}},
            {f.Memo1, f.Panel3, {9, 9, 700, 304}},
            {f.bClear, f.Panel3, {720, 13, 130, 25}},
            {f.cgStatus, f.Panel3, {720, 50, 130, 261}},
            {f.StringGrid3, f.Panel3, {856, 8, 153, 305}},
            {f.mStatus, &f, {0, 672, 1016, 69}},
        };
        for (const auto& c : layout) {
            QCOMPARE(c.control->parentWidget(), c.parent);
            QCOMPARE(c.control->geometry(), c.place);
            QVERIFY(c.control->isVisible());
        }
        QCOMPARE(f.cbCommands->parentWidget(), f.Panel2);
        QCOMPARE(f.cbCommands->geometry().topLeft(), QPoint(8, 8));
        QCOMPARE(f.cbCommands->width(), 700);
        QCOMPARE(f.bClear->text(), QStringLiteral("<< Delete"));
        QCOMPARE(f.gbAdresse->title(), QStringLiteral("Tarnell Adress"));
        QCOMPARE(f.cgStatus->title(), QStringLiteral("Status: "));
        QCOMPARE(f.cgStatus->Box(7)->text(), QStringLiteral("Ready"));
        QCOMPARE(f.mStatus->focusPolicy() & Qt::TabFocus, 0);

        // Panels follow the window; the output area takes what is left.
        auto widths = [](TStringGrid* g) {
            QList<int> w;
            for (int c = 0; c < g->ColCount(); ++c)
                w << g->ColWidth(c);
            return w;
        };
        const QList<int> storage = widths(f.StringGrid1), reference = widths(f.StringGrid2);
        QCOMPARE(storage[1], f.StringGrid1->TextWidth(f.StringGrid1->Cell(1, 0)) + 5);
        f.resize(1200, 800 + TForm1::kPortLineHeight);
        QCOMPARE(f.Panel3->geometry(), QRect(0, 339, 1200, 800 - 339 - 69));
        QCOMPARE(f.mStatus->geometry(), QRect(0, 800 - 69, 1200, 69));
        // The grids' data columns take the added width, the headings' column not.
        for (auto [grid, before] : {std::pair{f.StringGrid1, storage}, std::pair{f.StringGrid2, reference}}) {
            const QList<int> after = widths(grid);
            QCOMPARE(after[0], before[0]);
            int added = 0;
            for (int c = 1; c < after.size(); ++c) {
                QVERIFY(after[c] > before[c]);
                added += after[c] - before[c];
            }
            QCOMPARE(added, 1200 - 1016);
        }
        // A type's new headings keep the share; back at the designed size, the headings' widths.
        f.rgGripperType->SetItemIndex(1);
        QCOMPARE(widths(f.StringGrid1)[1], f.StringGrid1->TextWidth(f.StringGrid1->Cell(1, 0)) + 5 + 184 / 3);
        f.resize(1016, 741 + TForm1::kPortLineHeight);
        f.rgGripperType->SetItemIndex(0);
        QCOMPARE(widths(f.StringGrid1), storage);
        QCOMPARE(widths(f.StringGrid2), reference);
    }

    void hintsGoToTheStatusLineAndHighlightTheAddressForTheCommandLine()
    {
        TWindow w;
        QVERIFY(w.Activate());
        TForm1& f = w.form;
        const QColor window = QApplication::palette().color(QPalette::Base);
        const QColor saved(10, 200, 30);
        f.meAdresse->setPalette([&] {
            QPalette p = f.meAdresse->palette();
            p.setColor(QPalette::Base, saved);
            return p;
        }());

        Enter(f.cbCommands->lineEdit());  // inside the command line
        QCOMPARE(f.mStatus->toPlainText(), QString::fromUtf8(strings::hints::cbCommands).replace("\r\n", "\n"));
        QCOMPARE(f.mStatus->Color(), kYellow);
        QCOMPARE(f.meAdresse->palette().color(QPalette::Base), kYellow);

        Leave(f.cbCommands->lineEdit());  // still on the command line
        QCOMPARE(f.meAdresse->palette().color(QPalette::Base), kYellow);

        Enter(f.bOpen);
        QCOMPARE(f.mStatus->toPlainText(), QString::fromUtf8(strings::hints::bOpen));
        QCOMPARE(f.mStatus->Color(), kYellow);
        QCOMPARE(f.meAdresse->palette().color(QPalette::Base), saved);

        Enter(f.Panel3);  // no hint: the text stays, the ground goes back
        QCOMPARE(f.mStatus->toPlainText(), QString::fromUtf8(strings::hints::bOpen));
        QCOMPARE(f.mStatus->Color(), window);
        QCOMPARE(f.meAdresse->palette().color(QPalette::Base), saved);

        Enter(f.StringGrid1->viewport());  // a grid's inner parts carry its hint
        QCOMPARE(f.mStatus->toPlainText(), QString::fromUtf8(strings::hints::StringGrid1));
        Enter(f.Memo1->viewport());
        QCOMPARE(f.mStatus->Line(0), QStringLiteral(
                                         "Output Window: here all commands sent and messages received are displayed  ."));
        QCOMPARE(f.mStatus->LineCount(), 4);
        for (QWidget* c : std::initializer_list<QWidget*>{f.bOpen, f.StringGrid3, f.meAdresse, f.cbCommands})
            QVERIFY(c->toolTip().isEmpty());

        // The port line's buttons have theirs, and show no tooltip even
        // after their action changed (a tool button takes the action's back).
        const std::pair<QAction*, const char*> line[] = {{&f.Verify().Action(), strings::hints::bVerify},
                                                         {&f.Bus().Action(), strings::hints::bBus},
                                                         {&f.Monitor().Action(), strings::hints::bMonitor},
                                                         {&f.PortChoice().Action(), strings::hints::bChoosePort}};
        QCOMPARE(f.PortStatus->findChildren<QToolButton*>().size(), std::size(line));
        for (auto [action, hint] : line) {
            QToolButton* button = nullptr;
            for (QToolButton* b : f.PortStatus->findChildren<QToolButton*>())
                if (b->defaultAction() == action)
                    button = b;
            QVERIFY(button);
            Enter(f.bOpen);
            Enter(button);
            QCOMPARE(f.mStatus->toPlainText(), QString::fromUtf8(hint).replace("\r\n", "\n"));
            QCOMPARE(f.mStatus->Color(), kYellow);
            action->setEnabled(false);
            action->setEnabled(true);
            QVERIFY(!button->toolTip().isEmpty());
            QHelpEvent help(QEvent::ToolTip, QPoint(2, 2), button->mapToGlobal(QPoint(2, 2)));
            QApplication::sendEvent(button, &help);
            QVERIFY(!QToolTip::isVisible());
        }
        // A grid cell's own tooltip (Verify's marks) still shows.
        f.StringGrid1->item(1, 1)->setToolTip(QStringLiteral("Gripper: 120"));
        const QPoint cell = CellCentre(*f.StringGrid1, 1, 1);
        QHelpEvent help(QEvent::ToolTip, cell, f.StringGrid1->viewport()->mapToGlobal(cell));
        QApplication::sendEvent(f.StringGrid1->viewport(), &help);
        QVERIFY(QToolTip::isVisible());
        QCOMPARE(QToolTip::text(), QStringLiteral("Gripper: 120"));
        QToolTip::hideText();
    }

    void outputWindowShowsTheNewestLineFirstAndDeleteEmptiesIt()
    {
        TWindow w;
        TForm1& f = w.form;
        f.Memo1->InsertLine(0, "Tx: STA;0");
        f.Memo1->InsertLine(0, "->Rx: STA:193;");
        f.Memo1->AddLine("Line ERROR detected!");
        QCOMPARE(f.Memo1->Lines(), QStringList({"->Rx: STA:193;", "Tx: STA;0", "Line ERROR detected!"}));
        QTest::mouseClick(f.bClear, Qt::LeftButton);
        QCOMPARE(f.Memo1->LineCount(), 0);
        f.Memo1->InsertLine(0, "again");
        QCOMPARE(f.Memo1->Lines(), QStringList({"again"}));
    }

    void gripperTypeSetsLimitPanelHeadingsAndCommandsButNoCell()
    {
        TWindow w;
        QVERIFY(w.Activate());
        TForm1& f = w.form;
        f.StringGrid1->SetCell(1, 2, "900");
        f.StringGrid2->SetCell(2, 1, "123");
        const int narrow = f.StringGrid1->ColWidth(1);

        // Operators' lines land in their sorted places.
        f.cbCommands->setEditText("typed");
        const int sta = Items(*f.cbCommands).indexOf("STA;0");
        QCOMPARE(f.cbCommands->AddSorted("sta;0"), sta + 1);
        QCOMPARE(f.cbCommands->AddSorted("AAA"), 0);
        const int last = f.cbCommands->AddSorted("XYZ;1");
        QCOMPARE(last, f.cbCommands->count() - 1);
        QVERIFY(f.cbCommands->HasItem("sta;0") && !f.cbCommands->HasItem("Sta;0"));
        QCOMPARE(f.cbCommands->currentText(), QStringLiteral("typed"));
        QCOMPARE(f.cbCommands->count(), 31);
        QTest::mouseClick(f.rgGripperType->Button(1), Qt::LeftButton);
        QCOMPARE(f.State().MaxPosition, 1000);
        QVERIFY(f.Panel4->isVisible());
        QCOMPARE(Headings(*f.StringGrid1),
                 QStringList({"StoragePos.", "Grip Position 0..1000 [1/10 mm]",
                              "Provision Position 0..1000 [1/10 mm]", "Grip Force 3..50 [N]"}));
        QCOMPARE(f.StringGrid1->ColWidth(1), f.StringGrid1->TextWidth("Grip Position 0..1000 [1/10 mm]") + 5);
        QVERIFY(f.StringGrid1->ColWidth(1) > narrow);
        QCOMPARE(Items(*f.cbCommands).join("\r\n"), QString::fromUtf8(strings::kCommands50and100));

        f.rgGripperType->SetItemIndex(2);  // by program, as a version reply does
        QCOMPARE(f.State().MaxPosition, 300);
        QVERIFY(f.Panel4->isHidden());
        QCOMPARE(f.StringGrid1->Cell(1, 0), QStringLiteral("Grip Position 0..1000 [1/10 mm]"));  // unchanged
        QCOMPARE(Items(*f.cbCommands).size(), 18);
        QCOMPARE(Items(*f.cbCommands).join("\r\n"), QString::fromUtf8(strings::kCommands30));
        QVERIFY(f.bRead->isVisible() && f.bSenden->isVisible());

        f.rgGripperType->SetItemIndex(0);
        QCOMPARE(f.State().MaxPosition, 500);
        QVERIFY(f.Panel4->isVisible());
        QCOMPARE(f.StringGrid1->Cell(1, 0), QStringLiteral("Grip Position 0..500 [1/10 mm]"));
        QCOMPARE(f.StringGrid1->ColWidth(1), narrow);
        QCOMPARE(Items(*f.cbCommands).size(), 28);
        QCOMPARE(f.StringGrid1->Cell(1, 2), QStringLiteral("900"));  // out of range now, yet kept
        QCOMPARE(f.StringGrid2->Cell(2, 1), QStringLiteral("123"));
        QVERIFY(w.dialogs.Shown().empty());
    }

    void addressFieldKeepsTheLastAddressWhenEmptied()
    {
        TWindow w;
        QVERIFY(w.Activate());
        TForm1& f = w.form;
        f.meAdresse->setFocus();
        f.meAdresse->selectAll();
        QTest::keyClicks(f.meAdresse, "45");
        QCOMPARE(f.State().GripperAddress, 45);
        f.meAdresse->selectAll();
        QTest::keyClick(f.meAdresse, Qt::Key_Backspace);
        QCOMPARE(f.meAdresse->text().trimmed(), QString());
        QCOMPARE(f.State().GripperAddress, 45);
        QTest::keyClicks(f.meAdresse, "7x9");  // the mask takes digits only, two at most
        QCOMPARE(f.meAdresse->text().trimmed(), QStringLiteral("79"));
        QCOMPARE(f.State().GripperAddress, 79);
    }

    void anExceptionLeavingAHandlerIsShownAndTheWindowGoesOn()
    {
        TWindow w;
        QVERIFY(w.Activate());
        struct TThrower : QObject {
            int calls = 0;
            bool event(QEvent* e) override
            {
                if (e->type() != QEvent::User)
                    return QObject::event(e);
                ++calls;
                throw std::runtime_error("handler failed");
            }
        } thrower;
        QEvent sent(QEvent::User);
        QApplication::sendEvent(&thrower, &sent);
        QCoreApplication::postEvent(&thrower, new QEvent(QEvent::User));
        QTRY_COMPARE_WITH_TIMEOUT(thrower.calls, 2, 5000);
        sio::ReportException(std::make_exception_ptr(std::runtime_error("from the serial layer")));
        QCOMPARE(w.dialogs.Messages(),
                 QStringList({"handler failed", "handler failed", "from the serial layer"}));
        for (const auto& shown : w.dialogs.Shown())
            QCOMPARE(shown.kind, TScriptedDialogs::TKind::Error);

        // A failing button handler: the report, then the window still works.
        w.dialogs.Clear();
        w.dialogs.AnswerFile(QStringLiteral("/nonexistent-folder/x.gri"));
        QTest::mouseClick(w.form.bOpen, Qt::LeftButton);
        QCOMPARE(w.dialogs.Messages().size(), 1);
        QVERIFY2(w.dialogs.Messages()[0].contains("kann nicht geöffnet werden"),
                 qPrintable(w.dialogs.Messages()[0]));
        QTest::mouseClick(w.form.rgGripperType->Button(1), Qt::LeftButton);
        QCOMPARE(w.form.State().MaxPosition, 1000);
    }
};

TARNELL_CONSOLE_TEST_MAIN(WindowTest)
#include "WindowTest.moc"
