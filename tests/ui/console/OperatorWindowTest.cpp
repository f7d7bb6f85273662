// What an operator expects of the window beyond its designed form: it grows
// without changing at its designed size, every control can be reached with
// Tab, the new lines and actions have names a screen reader can read, and the
// output window's menu copies, clears and saves what it shows.
#include "BusPanel.h"
#include "ComboBox.h"
#include "ConsoleFixture.h"
#include "OutputMenu.h"
#include "PortChoice.h"
#include "PortStatusLine.h"
#include "StatusMonitor.h"

#include <QAccessible>
#include <QAction>
#include <QLabel>
#include <QClipboard>
#include <QMenu>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QToolButton>

#include <map>

using namespace tarnell;
using namespace tarnell::test;

namespace {

// Every control's place, in the window's coordinates.
std::map<QWidget*, QRect> Places(TForm1& f)
{
    std::map<QWidget*, QRect> places;
    for (QWidget* c : f.findChildren<QWidget*>())
        if (c->isVisible())
            places[c] = QRect(c->mapTo(&f, QPoint(0, 0)), c->size());
    return places;
}

QString AccessibleName(QObject* o)
{
    QAccessibleInterface* a = QAccessible::queryAccessibleInterface(o);
    return a ? a->text(QAccessible::Name) : QString();
}

QByteArray ReadAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

}  // namespace

class OperatorWindowTest : public QObject {
    Q_OBJECT
private slots:
    void theWindowGrowsAroundTheOutputAndIsItselfAgainAtItsSize()
    {
        TWindow w;
        QVERIFY(w.Activate());
        TForm1& f = w.form;
        const QSize designed(TForm1::kFormWidth, TForm1::kFormHeight + TForm1::kPortLineHeight);
        QCOMPARE(f.size(), designed);
        QCOMPARE(f.PortStatus->geometry(), QRect(0, 741, 1016, TForm1::kPortLineHeight));
        const auto before = Places(f);
        const QImage look = f.grab(QRect(0, 0, 1016, 741)).toImage();

        // Larger: the output window takes the new height and width, the grids
        // and the command line the width; the rest keeps to the right edge,
        // so no band is left empty.
        const int dw = 400, dh = 250;
        f.resize(designed + QSize(dw, dh));
        QCOMPARE(f.Memo1->size(), QSize(700 + dw, 304 + dh));
        QCOMPARE(f.StringGrid1->width(), 700 + dw);
        QCOMPARE(f.StringGrid2->width(), 700 + dw);
        QCOMPARE(f.cbCommands->width(), 700 + dw);
        for (QWidget* right : {static_cast<QWidget*>(f.bOpen), static_cast<QWidget*>(f.bSenden),
                               static_cast<QWidget*>(f.bSenden2), static_cast<QWidget*>(f.StringGrid3)})
            QCOMPARE(right->mapTo(&f, QPoint(right->width(), 0)).x(), before.at(right).right() + 1 + dw);
        QCOMPARE(f.Memo1->mapTo(&f, QPoint(0, f.Memo1->height())).y() + 20, f.mStatus->y());
        QCOMPARE(f.cgStatus->height(), 261 + dh);
        QCOMPARE(f.StringGrid3->height(), 305 + dh);
        QCOMPARE(f.mStatus->geometry(), QRect(0, 741 + dh - 69, 1016 + dw, 69));
        QCOMPARE(f.PortStatus->geometry(), QRect(0, 741 + dh, 1016 + dw, TForm1::kPortLineHeight));

        // Smaller than designed is refused: every control stays whole.
        f.resize(700, 500);
        QCOMPARE(f.size(), designed);
        QCOMPARE(f.minimumSize(), designed);
        for (const auto& [control, place] : Places(f))
            QVERIFY2(f.rect().contains(place), qPrintable(control->objectName() + control->metaObject()->className()));

        // Back at the designed size every control is where it was, pixel for pixel.
        QCOMPARE(Places(f), before);
        QCOMPARE(f.grab(QRect(0, 0, 1016, 741)).toImage(), look);
    }

    void tabVisitsEveryControlColumnByColumn()
    {
        TWindow w;
        QVERIFY(w.Activate());
        TForm1& f = w.form;
        QList<QWidget*> expected;
        expected << f.StringGrid2 << f.StringGrid1 << f.rgParity->Button(0) << f.rgGripperType->Button(0)
                 << f.meAdresse << f.bOpen << f.bSave << f.bClearStringGrid << f.bRead << f.bSenden << f.cbCommands
                 << f.bSenden2 << f.Memo1 << f.bClear;
        for (int bit = 0; bit < 8; ++bit)  // each status bit is read out on its own
            expected << f.cgStatus->Box(bit);
        expected << f.StringGrid3;
        // The port line's buttons, left to right: Verify, Bus…, Monitor, the port's.
        for (const QString name : {"Verify", "Bus…", "Monitor"})
            for (QToolButton* b : f.PortStatus->findChildren<QToolButton*>())
                if (b->accessibleName() == name)
                    expected << b;
        expected << f.PortStatus->ChooseButton();
        // Tab from the last control of each kind leaves it (a grid's Tab
        // walks its cells first; Ctrl+Tab leaves at once, as everywhere).
        f.StringGrid2->setFocus();
        QTRY_COMPARE(QApplication::focusWidget(), f.StringGrid2);
        QList<QWidget*> seen{QApplication::focusWidget()};
        for (int i = 1; i < expected.size() * 2 && seen.size() < expected.size(); ++i) {
            QWidget* at = QApplication::focusWidget();
            bool inGrid = false;
            for (QWidget* p = at; p; p = p->parentWidget())
                inGrid = inGrid || p->inherits("QAbstractItemView");
            QTest::keyClick(at, Qt::Key_Tab, inGrid ? Qt::ControlModifier : Qt::NoModifier);
            QWidget* now = QApplication::focusWidget();
            // Editors inside a control count as the control.
            for (QWidget* c : expected)
                if (now == c || c->isAncestorOf(now)) {
                    now = c;
                    break;
                }
            if (now != seen.back())
                seen << now;
        }
        QCOMPARE(seen, expected);
        QVERIFY(!(f.mStatus->focusPolicy() & Qt::TabFocus));
    }

    void theNewLineAndActionsHaveNamesAScreenReaderReads()
    {
        TWindow w;
        TForm1& f = w.form;
        QCOMPARE(AccessibleName(f.PortStatus), QStringLiteral("Port status"));
        QAccessibleInterface* line = QAccessible::queryAccessibleInterface(f.PortStatus);
        QVERIFY(line->text(QAccessible::Description).contains("State: not yet chosen"));
        QCOMPARE(AccessibleName(f.PortStatus->ChooseButton()), QStringLiteral("Choose another port…"));
        QCOMPARE(f.PortChoice().Action().shortcut(), QKeySequence(Qt::CTRL | Qt::Key_P));
        QVERIFY(f.actions().contains(&f.PortChoice().Action()));

        TOutputMenu& menu = f.OutputMenu();
        QCOMPARE(AccessibleName(&menu.Menu()), QStringLiteral("Output window menu"));
        QStringList items;
        QAccessibleInterface* m = QAccessible::queryAccessibleInterface(&menu.Menu());
        for (int i = 0; i < m->childCount(); ++i)
            if (!m->child(i)->text(QAccessible::Name).isEmpty())
                items << m->child(i)->text(QAccessible::Name);
        QCOMPARE(items, QStringList({"Copy", "Select All", "Clear", "Save as…", "Time stamp on each new line",
                                     "Language (from the next start)"}));
        QCOMPARE(f.Memo1->contextMenuPolicy(), Qt::CustomContextMenu);

        // Result lines read their result, under the name of what they show.
        QCOMPARE(AccessibleName(f.Bus().Summary), QStringLiteral("Scan result: Not scanned yet."));
        f.Monitor().SetPaused(true);
        QCOMPARE(AccessibleName(f.Monitor().Info), QStringLiteral("Monitor state: Paused."));
    }

    void theOutputMenuCopiesClearsSavesAndStampsOnlyWhenAsked()
    {
        QTemporaryDir dir;
        TWindow w;
        TForm1& f = w.form;
        TOutputMenu& menu = f.OutputMenu();
        f.Memo1->InsertLine(0, "Tx: STA;0");
        f.Memo1->InsertLine(0, "->Rx: STA;0:192;");

        QVERIFY(!menu.CopyAction().isEnabled());  // nothing selected yet
        menu.SelectAllAction().trigger();
        QVERIFY(menu.CopyAction().isEnabled());
        menu.CopyAction().trigger();
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("->Rx: STA;0:192;\nTx: STA;0"));

        // Saved as shown, top line first; the name gets its extension; an
        // existing file is replaced whole.
        const QString path = dir.filePath("out.txt");
        QFile old(path);
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write(QByteArray(300, 'x')) == 300);
        old.close();
        w.dialogs.AnswerFile(dir.filePath("out"));
        menu.SaveAsAction().trigger();
        QCOMPARE(ReadAll(path), QByteArray("->Rx: STA;0:192;\nTx: STA;0\n"));
        QVERIFY(w.dialogs.Messages().isEmpty());
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"out.txt"});  // no temporary left

        // A file that cannot be written is reported, and the old one is untouched.
        w.dialogs.AnswerFile(dir.filePath("missing-folder/out.txt"));
        menu.SaveAsAction().trigger();
        QCOMPARE(w.dialogs.Messages().size(), 1);
        w.dialogs.AnswerFile(std::nullopt);  // cancelled: nothing happens
        menu.SaveAsAction().trigger();
        QCOMPARE(w.dialogs.Messages().size(), 1);

        // Time stamps: off by default; on, each new line starts with hh:mm:ss.mmm.
        QVERIFY(!menu.TimeStampAction().isChecked());
        menu.TimeStampAction().trigger();
        f.Memo1->InsertLine(0, "Tx: VER;0");
        QVERIFY2(QRegularExpression("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d Tx: VER;0$").match(f.Memo1->Line(0)).hasMatch(),
                 qPrintable(f.Memo1->Line(0)));
        QCOMPARE(f.Memo1->Line(1), QStringLiteral("->Rx: STA;0:192;"));  // old lines keep their look
        menu.TimeStampAction().trigger();
        f.Memo1->InsertLine(0, "Tx: STA;0");
        QCOMPARE(f.Memo1->Line(0), QStringLiteral("Tx: STA;0"));

        menu.ClearAction().trigger();
        QCOMPARE(f.Memo1->LineCount(), 0);
    }

    void aReplyChangesTheOutputOnlyAfterTheNextFrame()
    {
        // The reply's handler only notes its line; the text, and with it the
        // layout and the painting, changes once the next frame is out (or the
        // event loop comes round), in the order the lines came.
        TWindow w;
        TForm1& f = w.form;
        f.Memo1->InsertLine(0, "Tx: RCL;0;1");
        f.Memo1->FlushPending();
        f.State().LastFrame = "RCL;0;1\n\r";
        f.ComDataPacketStringPacket(nullptr, "A0;1;100;20;10\n\r");
        QVERIFY(f.State().ReplyReceived);
        QVERIFY(f.Memo1->HasPending());
        QCOMPARE(f.Memo1->toPlainText(), QStringLiteral("Tx: RCL;0;1"));
        QCOMPARE(f.Memo1->Lines(), QStringList({"->Rx: A0;1;100;20;10", "Tx: RCL;0;1"}));  // reading sees it
        QVERIFY(!f.Memo1->HasPending());

        f.Memo1->InsertLine(0, "late");
        f.Memo1->Clear();  // "<< Delete" drops what was still pending
        QVERIFY(!f.Memo1->HasPending());
        QTest::qWait(20);
        QCOMPARE(f.Memo1->toPlainText(), QString());
        f.Memo1->InsertLine(0, "idle");  // with no frame to follow, the event loop shows it
        QVERIFY(QTest::qWaitFor([&] { return f.Memo1->toPlainText() == "idle"; }, 5000));

        // Held, as during Readout and Send: a frame flushes at most once per
        // period (the last flush was just now); without frames the lines
        // still come, and all of them when the hold ends.
        f.Memo1->SetHold(60 * 60 * 1000);
        f.Memo1->InsertLine(0, "first");
        f.Memo1->FlushIfDue();
        QVERIFY(f.Memo1->HasPending());
        QVERIFY(QTest::qWaitFor([&] { return !f.Memo1->HasPending(); }, 5000));
        QCOMPARE(f.Memo1->toPlainText(), QStringLiteral("first\nidle"));
        f.Memo1->InsertLine(0, "second");
        f.Memo1->SetHold(0);
        QVERIFY(QTest::qWaitFor([&] { return f.Memo1->toPlainText() == "second\nfirst\nidle"; }, 5000));
    }
};

TARNELL_CONSOLE_TEST_MAIN(OperatorWindowTest)
#include "OperatorWindowTest.moc"
