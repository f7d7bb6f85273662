// The console on the wire, end to end: the real window with its port and
// reply collector, headless, against a gripper bus at the far end of a
// pseudo-terminal. What goes on the wire is checked byte for byte, what the
// window shows line for line.
#include "ConsoleFixture.h"
#include "FakeGripper.h"
#include "SimProcess.h"
#include "SettingsSpy.h"

#include "ComboBox.h"
#include "QtMessageQueue.h"

#include "base/BaseComponent.h"
#include "port/ComPort.h"
#include "selection/PortSelection.h"
#include "dispatch/Dispatcher.h"

#include "PortStatusLine.h"

#include <QAccessible>
#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>

using namespace std::chrono_literals;
using tarnell::test::TFakeGripper;
using tarnell::test::TWindow;

namespace {

// Serves the window until pred holds; a reply or time-out should come well
// inside the limit.
bool Serve(const std::function<bool()>& pred, std::uint32_t ms = 5000) { return sio::ServeMessagesUntil(pred, ms); }

QStringList MemoLines(TWindow& w) { return w.form.Memo1->Lines(); }

// Input as the operator's hand queues it: handled in turn, some of it while
// a sequence waits for its answers.
void PostClick(QWidget* button)
{
    const QPointF at = QPointF(button->rect().center());
    for (QEvent::Type t : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease})
        QCoreApplication::postEvent(button, new QMouseEvent(t, at, button->mapToGlobal(at), Qt::LeftButton,
                                                            t == QEvent::MouseButtonPress ? Qt::LeftButton
                                                                                          : Qt::NoButton,
                                                            Qt::NoModifier));
}
void PostKeys(QWidget* target, const QString& text)
{
    for (QChar c : text) {
        const int key = Qt::Key_0 + (c.unicode() - u'0');
        QCoreApplication::postEvent(target, new QKeyEvent(QEvent::KeyPress, key, Qt::NoModifier, QString(c)));
        QCoreApplication::postEvent(target, new QKeyEvent(QEvent::KeyRelease, key, Qt::NoModifier, QString(c)));
    }
}

// A window before a gripper whose answers take 150 ms, long enough for
// what the operator does meanwhile to be handled while a sequence waits.
// The reply's time limit stands still: what these tests look at is what
// goes out, and a loaded machine that holds a thread for a second would
// otherwise end a sequence with a time-out.
struct TSlowGripperWindow {
    TSlowGripperWindow() { gripper.SetDelay(150ms); }

    struct TStoppedClock {
        TStoppedClock() { sio::SetTestClock(sio::MillisecondClock()); }
        ~TStoppedClock() { sio::UseRealClock(); }
    } clock;
    sio::test::TPortDir dir;
    TFakeGripper gripper{dir, 1};
    TWindow w;
};

}  // namespace

class WireTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        sio::SetMessageQueue(&queue_);
        QVERIFY(logDir_.isValid());
        QDir::setCurrent(logDir_.path());  // the dispatch log lands here
        // The operator's choice in the port dialog: the first port listed.
        sio::SetPortChooser([this](sio::TComSelectForm& form) {
            ++prompts_;
            if (cancelNext_) {
                cancelNext_ = false;
                return sio::mrCancel;
            }
            form.SetItemIndex(0);
            return sio::mrOk;
        });
    }
    void cleanupTestCase()
    {
        sio::SetPortChooser(nullptr);
        sio::SetMessageQueue(nullptr);
    }
    void init() { prompts_ = 0; }

    void statusWithAndWithoutEchoDrivesTheStatusBoxes()
    {
        sio::test::TPortDir dir;
        TFakeGripper gripper(dir, 1);
        int status = 193;
        gripper.SetAnswer([&](const std::string& f) {
            return f.rfind("STA", 0) == 0 ? "STA;0:" + std::to_string(status) + ";\n\r" : gripper.DefaultAnswer(f);
        });
        gripper.SetEcho(true);
        TWindow w;
        QVERIFY(w.Activate());
        auto& s = w.form.State();

        // F1 released with Shift held, as an operator's hand might: the port
        // dialog comes first, then STA;0 + LF CR goes out as single bytes.
        QTest::keyRelease(w.form.Memo1, Qt::Key_F1, Qt::ShiftModifier);
        QCOMPARE(prompts_, 1);
        QVERIFY(Serve([&] { return s.ReplyReceived; }));
        QCOMPARE(gripper.Received(), std::string("STA;0\x0A\x0D"));
        // The echo is not shown; the reply is, newest line first.
        QCOMPARE(MemoLines(w), (QStringList{"->Rx: STA;0:193;", "Tx: STA;0"}));
        QCOMPARE(w.form.cgStatus->Value(), 193);
        for (int bit = 0; bit < 8; ++bit)
            QCOMPARE(w.form.cgStatus->Box(bit)->isChecked(), bit == 0 || bit == 6 || bit == 7);

        gripper.SetEcho(false);
        status = 0;
        w.form.SendCommand("STA;0");
        QVERIFY(Serve([&] { return s.ReplyReceived; }));
        QCOMPARE(w.form.cgStatus->Value(), 0);
        QCOMPARE(prompts_, 1);  // the port stays open
        QVERIFY(w.dialogs.Messages().isEmpty());

        // A malformed status is reported, the reply still counts, and the
        // window goes on: the next reply sets the boxes again.
        gripper.SetAnswer([&](const std::string&) { return std::string("STA;0:x1;\n\r"); });
        w.form.SendCommand("STA;0");
        QVERIFY(Serve([&] { return !w.dialogs.Messages().isEmpty(); }));
        QCOMPARE(w.dialogs.Messages(), QStringList{QString::fromUtf8("'x1' ist kein gültiger Integerwert")});
        QVERIFY(s.ReplyReceived);
        QCOMPARE(w.form.cgStatus->Value(), 0);
        // A second reply without a new command is shown too.
        gripper.SetAnswer({});
        w.form.SendCommand("STA;0");
        QVERIFY(Serve([&] { return s.ReplyReceived; }));
        QCOMPARE(w.form.cgStatus->Value(), 192);
    }

    void versionSwitchesTheGripperTypeAndAddressReplacesTheWildcard()
    {
        sio::test::TPortDir dir;
        TFakeGripper gripper(dir, 1);
        gripper.SetAnswer([](const std::string& f) {
            return f.rfind("VER", 0) == 0 ? std::string("VER;12:KV0150;V1.07\n\r") : std::string("A12;OK\n\r");
        });
        TWindow w;
        QVERIFY(w.Activate());
        auto& s = w.form.State();
        QCOMPARE(w.form.rgGripperType->ItemIndex(), 0);

        // The same identifier in a reply to another command changes nothing.
        w.form.SendCommand("RCL;0;1");
        QVERIFY(Serve([&] { return s.ReplyReceived; }));
        w.form.SendCommand("VER;0");
        QVERIFY(Serve([&] { return s.ReplyReceived; }));
        QCOMPARE(w.form.rgGripperType->ItemIndex(), 1);

        // Address 12 in the field; the command line's first #ADR becomes 12.
        w.form.meAdresse->setText("12");
        w.form.cbCommands->setEditText("RCL;#ADR;#ADR");
        const int before = w.form.cbCommands->count();
        QTest::mouseClick(w.form.bSenden2, Qt::LeftButton);
        QVERIFY(Serve([&] { return s.ReplyReceived; }));
        QTest::mouseClick(w.form.bSenden2, Qt::LeftButton);
        QVERIFY(Serve([&] { return s.ReplyReceived; }));
        QCOMPARE(w.form.cbCommands->count(), before + 1);  // joined the list once
        QVERIFY(w.form.cbCommands->HasItem("RCL;#ADR;#ADR"));
        QVERIFY(gripper.Received().ends_with("RCL;12;#ADR\n\rRCL;12;#ADR\n\r"));
        QCOMPARE(MemoLines(w).value(1), QString("Tx: RCL;12;#ADR"));
    }

    void aSilentGripperGivesOneTimeOutPerCommand()
    {
        sio::test::TPortDir dir;
        TFakeGripper gripper(dir, 1);
        gripper.SetAnswer([](const std::string&) { return std::string(); });
        TWindow w;
        QVERIFY(w.Activate());
        auto& s = w.form.State();
        const QString timeout = "...Timeout - Tarnell does not respond!\r\nPlease check connection!";

        for (int i = 1; i <= 2; ++i) {
            QTest::keyRelease(&w.form, Qt::Key_F12);
            QVERIFY(Serve([&] { return s.TimedOut; }, 5000));
            // Nothing more arrives for the command: one message each.
            Serve([] { return false; }, 300);
            QCOMPARE(w.dialogs.Messages().size(), i);
            QCOMPARE(w.dialogs.Messages().back(), timeout);
        }
        QCOMPARE(MemoLines(w), (QStringList{"Tx: VER;0", "Tx: VER;0"}));
        QVERIFY(!s.ReplyReceived);
    }

    void theCollectorIsArmedBeforeTheFrameGoesOut()
    {
        // Bytes that reach a disarmed collector are dropped: a gripper that
        // answers at once would lose its reply if the frame went out first.
        // The dispatch log records both steps in the order they happened.
        sio::test::TPortDir dir;
        TFakeGripper gripper(dir, 1);
        int n = 0;
        // Silent to the first command, at once to the second.
        gripper.SetAnswer([&](const std::string&) { return n++ == 0 ? std::string() : "STA;0:192;\n\r"; });
        TWindow w;
        QVERIFY(w.Activate());
        auto& s = w.form.State();
        w.form.SendCommand("STA;0");
        const QString path = logDir_.filePath("order.log");
        QCOMPARE(w.form.ComPort->Dispatcher()->Log().DumpLog(path.toStdString(), true, false), 0);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromLatin1(file.readAll()).split("\r\n");
        qsizetype armed = -1, written = -1;
        for (qsizetype k = 0; k < lines.size(); ++k) {
            if (lines[k].contains(QRegularExpression("Packet +Enable ")))
                armed = k;
            if (lines[k].contains(QRegularExpression("Dispatch +WriteCom ")))
                written = k;
        }
        QVERIFY2(armed >= 0 && written >= 0, qPrintable(lines.join("\n")));
        QVERIFY2(armed < written, qPrintable(lines.join("\n")));
        // The next command goes out the moment the time-out has reached the
        // window, while the collector may still be ending that event (its
        // arming then waits for the event's end, on the thread that reads
        // the reply): the prompt answer is still its own.
        w.form.SendCommand("STA;0");
        QVERIFY(Serve([&] { return s.ReplyReceived || s.TimedOut; }, 5000));
        QVERIFY(s.ReplyReceived);
        QCOMPARE(MemoLines(w).value(0), QString("->Rx: STA;0:192;"));
        QCOMPARE(w.dialogs.Messages().size(), 1);
    }

    void spoiledRepliesAreShownAsTheyCameAndTheWindowGoesOn()
    {
        sio::test::TPortDir dir;
        TFakeGripper gripper(dir, 1);
        int n = 0;
        gripper.SetAnswer([&](const std::string&) -> std::string {
            switch (n++) {
            case 0:
                return "STA;0:192;";  // no end characters
            case 1:
                return std::string("\x01\xFE\x7F noise") + "STA;0:193;\n\r";  // noise first
            default:
                return "STA;0:192;\n\r";
            }
        });
        TWindow w;
        QVERIFY(w.Activate());
        auto& s = w.form.State();
        w.form.SendCommand("STA;0");
        QVERIFY(Serve([&] { return s.TimedOut; }));
        QCOMPARE(w.dialogs.Messages().size(), 1);
        w.form.SendCommand("STA;0");
        QVERIFY(Serve([&] { return s.ReplyReceived; }));
        // Shown as it came, one byte a character; the leading control byte trimmed.
        QCOMPARE(w.form.Memo1->Line(0), QString("->Rx: ") + QString::fromLatin1("\xFE\x7F noiseSTA;0:193;"));
        QCOMPARE(w.form.cgStatus->Value(), 193);
        // The next reply comes alone: nothing of the garbage before it.
        w.form.SendCommand("STA;0");
        QVERIFY(Serve([&] { return s.ReplyReceived; }));
        QCOMPARE(w.form.Memo1->Line(0), QString("->Rx: STA;0:192;"));
        QCOMPARE(w.form.cgStatus->Value(), 192);
        QCOMPARE(w.dialogs.Messages().size(), 1);
    }

    void aCancelledPortChoiceSendsNothingAndTheNextCommandAsksAgain()
    {
        sio::test::TPortDir dir;
        TFakeGripper gripper(dir, 1);
        TWindow w;
        QVERIFY(w.Activate());
        cancelNext_ = true;
        QTest::keyRelease(&w.form, Qt::Key_F1);
        QCOMPARE(prompts_, 1);
        QCOMPARE(w.dialogs.Messages().size(), 1);
        QVERIFY(MemoLines(w).join("").isEmpty());
        QTest::keyRelease(&w.form, Qt::Key_F1);
        QCOMPARE(prompts_, 2);
        QVERIFY(Serve([&] { return w.form.State().ReplyReceived; }));
    }

    void readoutFillsBothGridsOnePlaceAfterTheOther()
    {
        sio::test::TPortDir dir;
        TFakeGripper gripper(dir, 1);
        gripper.SetEcho(true);
        gripper.SetPieces(true);  // every reply arrives a byte at a time
        TWindow w;
        QVERIFY(w.Activate());
        w.form.meAdresse->setText("3");
        QTest::mouseClick(w.form.bRead, Qt::LeftButton);

        std::vector<std::string> want;
        for (int n = 1; n <= 8; ++n)
            want.push_back("RCL;3;" + std::to_string(n));
        QCOMPARE(gripper.Frames(), want);
        QVERIFY(!gripper.SentEarly());
        // The simulator's factory contents: 100+50i, 20+10i, 10+5i; place 8: 5, 15.
        for (int row = 1; row <= 7; ++row) {
            QCOMPARE(w.form.StringGrid1->Cell(1, row), QString::number(100 + 50 * (row - 1)));
            QCOMPARE(w.form.StringGrid1->Cell(2, row), QString::number(20 + 10 * (row - 1)));
            QCOMPARE(w.form.StringGrid1->Cell(3, row), QString::number(10 + 5 * (row - 1)));
        }
        QCOMPARE(w.form.StringGrid2->Cell(1, 1), QString("5"));
        QCOMPARE(w.form.StringGrid2->Cell(2, 1), QString("15"));
        QCOMPARE(MemoLines(w).size(), 16);  // one Tx and one Rx line per place
        QVERIFY(w.dialogs.Messages().isEmpty());
        QVERIFY(w.form.bRead->isEnabled());

        // Store File: the file that the Windows window is held to as well
        // (tests/windows/console-e2e.sh).
        QTemporaryDir files;
        w.dialogs.AnswerFile(files.filePath("read.gri"));
        QTest::mouseClick(w.form.bSave, Qt::LeftButton);
        QFile stored(files.filePath("read.gri"));
        QFile expected(QStringLiteral(QT_TESTCASE_SOURCEDIR "/../../data/sim-factory.gri"));
        QVERIFY(stored.open(QIODevice::ReadOnly) && expected.open(QIODevice::ReadOnly));
        QCOMPARE(stored.readAll(), expected.readAll());
    }

    void readoutEndsAtTheFirstTimeOutAndOddPlacesChangeNothing()
    {
        sio::test::TPortDir dir;
        TFakeGripper gripper(dir, 1);
        gripper.SetAnswer([](const std::string& f) -> std::string {
            if (f == "RCL;0;1")
                return "A0;5;1;2;3\n\r";  // answers for place 5
            if (f == "RCL;0;2")
                return "A0;0;9;9;9\n\r";  // names no storage place
            return {};
        });
        TWindow w;
        QVERIFY(w.Activate());
        const QString heading = w.form.StringGrid1->Cell(1, 0);
        QTest::mouseClick(w.form.bRead, Qt::LeftButton);
        QCOMPARE(gripper.Frames(), (std::vector<std::string>{"RCL;0;1", "RCL;0;2", "RCL;0;3"}));
        QCOMPARE(w.dialogs.Messages().size(), 1);
        QCOMPARE(w.form.StringGrid1->Cell(1, 5), QString("1"));
        QCOMPARE(w.form.StringGrid1->Cell(3, 5), QString("3"));
        QCOMPARE(w.form.StringGrid1->Cell(1, 0), heading);
        QCOMPARE(w.form.StringGrid1->Cell(1, 1), QString());
    }

    void sendStoresTheCompleteRowsThenTheReferenceRow()
    {
        sio::test::TPortDir dir;
        TFakeGripper gripper(dir, 1);
        gripper.SetEcho(true);
        TWindow w;
        QVERIFY(w.Activate());
        auto* g1 = w.form.StringGrid1;
        g1->SetCell(1, 1, "250"), g1->SetCell(2, 1, "30"), g1->SetCell(3, 1, "10");
        g1->SetCell(1, 2, "100"), g1->SetCell(2, 2, "20");  // no force: skipped
        g1->SetCell(1, 3, "300"), g1->SetCell(2, 3, "40"), g1->SetCell(3, 3, "20");
        w.form.StringGrid2->SetCell(1, 1, "100"), w.form.StringGrid2->SetCell(2, 1, "200");
        QTest::mouseClick(w.form.bSenden, Qt::LeftButton);
        QCOMPARE(gripper.Received(), std::string("STO;0;1;250;30;10\n\rSTO;0;3;300;40;20\n\rSTO;0;8;100;200;3\n\r"));
        QVERIFY(!gripper.SentEarly());
        QVERIFY(w.dialogs.Messages().isEmpty());
    }

    void sendRefusesAFileWithAValueOutOfRangeAndSendsNothing_data()
    {
        QTest::addColumn<int>("line");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("message");
        QTest::newRow("force 60") << 6 << "60" << "Nothing was sent: storage place 2, Grip Force: 60 is outside 3..50.";
        QTest::newRow("more digits than fit")
            << 22 << "99999999999"
            << "Nothing was sent: reference row (place 8), Ref. Drive Position: 99999999999 is outside 0..500.";
    }
    void sendRefusesAFileWithAValueOutOfRangeAndSendsNothing()
    {
        QFETCH(int, line);
        QFETCH(QString, value);
        QFETCH(QString, message);
        sio::test::TPortDir dir;
        TFakeGripper gripper(dir, 1);
        QTemporaryDir work;
        QStringList lines(23, "10");
        lines[line - 1] = value;
        QFile file(work.filePath("p.gri"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write((lines.join("\r\n") + "\r\n").toLatin1());
        file.close();
        TWindow w;
        QVERIFY(w.Activate());
        w.dialogs.AnswerFile(file.fileName());
        QTest::mouseClick(w.form.bOpen, Qt::LeftButton);
        QVERIFY(w.dialogs.Messages().isEmpty());  // loaded as it is, unchecked

        QTest::mouseClick(w.form.bSenden, Qt::LeftButton);
        QCOMPARE(w.dialogs.Messages(), QStringList{message});
        Serve([] { return false; }, 300);
        QCOMPARE(gripper.Received(), std::string());
        QVERIFY(MemoLines(w).filter("Tx: ").isEmpty());
        QCOMPARE(prompts_, 0);  // not even the port was opened

        // Mended in the grid, the same Send goes out whole.
        w.dialogs.Clear();
        if (line <= 21)
            w.form.StringGrid1->SetCell((line - 1) % 3 + 1, (line - 1) / 3 + 1, "10");
        else
            w.form.StringGrid2->SetCell(line - 21, 1, "10");
        QTest::mouseClick(w.form.bSenden, Qt::LeftButton);
        QCOMPARE(gripper.Frames().size(), std::size_t(8));
        QVERIFY(w.dialogs.Messages().isEmpty());
    }

    void aSilentGripperDuringSendTimesOutTwice()
    {
        sio::test::TPortDir dir;
        TFakeGripper gripper(dir, 1);
        gripper.SetAnswer([](const std::string&) { return std::string(); });
        TWindow w;
        QVERIFY(w.Activate());
        for (int row = 1; row <= 2; ++row)
            for (int col = 1; col <= 3; ++col)
                w.form.StringGrid1->SetCell(col, row, "10");
        w.form.StringGrid2->SetCell(1, 1, "1"), w.form.StringGrid2->SetCell(2, 1, "2");
        QTest::mouseClick(w.form.bSenden, Qt::LeftButton);
        QCOMPARE(gripper.Frames(), (std::vector<std::string>{"STO;0;1;10;10;10", "STO;0;8;1;2;3"}));
        QCOMPARE(w.dialogs.Messages().size(), 2);
    }

    void theSendingControlsRestWhileASequenceWaits()
    {
        sio::test::TPortDir dir;
        TFakeGripper gripper(dir, 1);
        gripper.SetDelay(300ms);
        TWindow w;
        QVERIFY(w.Activate());
        bool checked = false;
        QTimer::singleShot(100, [&] {
            QVERIFY(w.form.SequenceRunning());
            QVERIFY(!w.form.bRead->isEnabled() && !w.form.bSenden->isEnabled() && !w.form.bSenden2->isEnabled());
            QTest::keyRelease(&w.form, Qt::Key_F1);  // ignored: Readout owns the line
            checked = true;
        });
        QTest::mouseClick(w.form.bRead, Qt::LeftButton);
        QVERIFY(checked);
        QCOMPARE(gripper.Frames().size(), std::size_t(8));
        QVERIFY(w.form.bRead->isEnabled() && w.form.bSenden2->isEnabled());
    }

    // Send writes the rows and type checked at the click. What changes in
    // the grids while it waits stays there, and none of it goes out; keys
    // meet grids that rest until the last answer.
    void sendWritesWhatWasCheckedAtTheClick()
    {
        TSlowGripperWindow bench;
        TFakeGripper& gripper = bench.gripper;
        TWindow& w = bench.w;
        QVERIFY(w.Activate());
        auto* g1 = w.form.StringGrid1;
        std::vector<std::string> want;
        for (int row = 1; row <= 7; ++row) {
            for (int col = 1; col <= 3; ++col)
                g1->SetCell(col, row, QString::number(col == 3 ? row + 3 : 10 * row + col));
            want.push_back("STO;0;" + std::to_string(row) + ";" + std::to_string(10 * row + 1) + ";" +
                           std::to_string(10 * row + 2) + ";" + std::to_string(row + 3));
        }
        w.form.StringGrid2->SetCell(1, 1, "100"), w.form.StringGrid2->SetCell(2, 1, "200");
        want.push_back("STO;0;8;100;200;3");
        g1->SetSelection(2, 5);

        PostClick(w.form.bSenden);
        // Handled while Send waits for place 1's answer: a value no check
        // saw, a row emptied, another gripper type, and keys typed into the
        // grid.
        QMetaObject::invokeMethod(
            &w.form,
            [&] {
                g1->SetCell(1, 6, "99999");
                g1->SetCell(3, 7, "");
                w.form.rgGripperType->SetItemIndex(2);
            },
            Qt::QueuedConnection);
        PostKeys(g1, "777");
        // A time-out on the way shows as a message and fewer frames: say so.
        QVERIFY2(Serve([&] { return gripper.Frames().size() >= want.size() && !w.form.SequenceRunning(); }, 20000),
                 qPrintable(QStringLiteral("%1 frames; messages: %2")
                                .arg(gripper.Frames().size())
                                .arg(w.dialogs.Messages().join(QStringLiteral(" | ")))));
        Serve([] { return false; }, 300);  // nothing more is on its way
        QCOMPARE(gripper.Frames(), want);
        QVERIFY(w.dialogs.Messages().isEmpty());
        // Nothing of it was lost: the changes are there for the next Send to check.
        QCOMPARE(g1->Cell(1, 6), QString("99999"));
        QCOMPARE(g1->Cell(3, 7), QString());
        QCOMPARE(g1->Cell(2, 5), QString("52"));
        QCOMPARE(w.form.rgGripperType->ItemIndex(), 2);
        QVERIFY(w.form.rgGripperType->isEnabled());
        QVERIFY(g1->editTriggers() != QAbstractItemView::NoEditTriggers);
    }

    // A cell being edited when Readout starts is closed first: the reply
    // fills it whole, and keys typed meanwhile reach no cell.
    void readoutFillsACellOpenForEditingWithTheReplyAlone()
    {
        TSlowGripperWindow bench;
        TFakeGripper& gripper = bench.gripper;
        TWindow& w = bench.w;
        QVERIFY(w.Activate());
        auto* g1 = w.form.StringGrid1;
        tarnell::test::EditCell(*g1, 1, 2, "4");
        QVERIFY(g1->Editor());
        QCOMPARE(g1->Cell(1, 2), QString("4"));
        QPointer<QWidget> editor = g1->Editor();

        // Started without the focus leaving the grid, as a key would start
        // it; the operator types on before and after the cell's reply.
        QMetaObject::invokeMethod(&w.form, [&] { w.form.bReadClick(); }, Qt::QueuedConnection);
        PostKeys(editor, "77");
        PostKeys(g1, "88");
        bool replied = false;
        QObject::connect(g1, &QTableWidget::itemChanged, &w.form, [&](QTableWidgetItem* item) {
            if (replied || item->row() != 2 || item->column() != 1)
                return;
            replied = true;
            PostKeys(editor ? editor.data() : static_cast<QWidget*>(g1), "99");
        });
        QVERIFY(Serve([&] { return gripper.Frames().size() >= 8 && !w.form.SequenceRunning(); }, 20000));
        QVERIFY(replied);
        for (int row = 1; row <= 7; ++row)
            QCOMPARE(g1->Cell(1, row), QString::number(100 + 50 * (row - 1)));
        QVERIFY(!g1->Editor());
        QVERIFY(w.dialogs.Messages().isEmpty());
    }

    void parityReachesTheOpenLineAtOnce()
    {
        sio::test::TPortDir dir;
        TFakeGripper gripper(dir, 1);
        TSettingsSpy spy;
        sio::sys::TSysCalls* previous = sio::sys::InstallSysCalls(&spy);
        {
            TWindow w;
            QVERIFY(w.Activate());
            QTest::keyRelease(&w.form, Qt::Key_F1);
            QVERIFY(Serve([&] { return w.form.State().ReplyReceived; }));
            QVERIFY(spy.Count() > 0);
            QVERIFY(spy.Last().Parity);
            QCOMPARE(spy.Last().Baud, 9600u);
            QTest::mouseClick(w.form.rgParity->Button(1), Qt::LeftButton);
            QVERIFY(!spy.Last().Parity);
            QCOMPARE(w.form.ComPort->Parity(), sio::pNone);
        }
        sio::sys::InstallSysCalls(previous);
    }

    // The parity is the operator's: chosen while the port is LOST it is kept,
    // shown at once and used when the port opens again, with no error. A
    // port that fails names itself and its device before the layer's text.
    void aLostPortKeepsTheParityAndAFailingPortIsNamed()
    {
        sio::test::TPortDir dir;
        auto gripper = std::make_unique<TFakeGripper>(dir, 1);
        TSettingsSpy spy;
        sio::sys::TSysCalls* previous = sio::sys::InstallSysCalls(&spy);
        {
            TWindow w;
            QVERIFY(w.Activate());
            auto& s = w.form.State();
            QTest::keyRelease(&w.form, Qt::Key_F1);
            QVERIFY(Serve([&] { return s.ReplyReceived; }));
            gripper.reset();
            QVERIFY(Serve([&] { return !w.dialogs.Messages().filter("the device was lost").isEmpty(); }));
            w.dialogs.Clear();

            QTest::mouseClick(w.form.rgParity->Button(1), Qt::LeftButton);
            QCOMPARE(w.dialogs.Messages(), QStringList());
            QVERIFY2(w.form.PortStatus->Text().contains("Line: 9600 8N1") &&
                         w.form.PortStatus->Text().contains("State: LOST"),
                     qPrintable(w.form.PortStatus->Text()));

            // The device is still missing: the port and its device come first.
            QTest::keyRelease(&w.form, Qt::Key_F1);
            QCOMPARE(w.dialogs.Messages().size(), 1);
            const QString missing = w.dialogs.Messages()[0];
            QVERIFY2(missing.startsWith("COM1 (") && missing.contains("): ie_BadId - Specified comport doesn't exist") &&
                         missing.endsWith("The next command asks for a port."),
                     qPrintable(missing));

            gripper = std::make_unique<TFakeGripper>(dir, 1);
            w.dialogs.Clear();
            s.ReplyReceived = false;
            QTest::keyRelease(&w.form, Qt::Key_F1);
            QVERIFY(Serve([&] { return s.ReplyReceived; }));
            QVERIFY(!spy.Last().Parity);  // opened again with the parity chosen meanwhile
            QVERIFY(w.form.PortStatus->Text().contains("Line: 9600 8N1"));
            QVERIFY(w.dialogs.Messages().isEmpty());
        }
        sio::sys::InstallSysCalls(previous);
    }

    void closingTheWindowEndsAWaitingReadoutAndWritesTheLog()
    {
        sio::test::TPortDir dir;
        TFakeGripper gripper(dir, 1);
        gripper.SetAnswer([](const std::string&) { return std::string(); });
        QFile::remove("SIO.LOG");
        auto w = std::make_unique<TWindow>();
        QVERIFY(w->Activate());
        // Closed as soon as the first command is on the wire.
        QTimer closer;
        QObject::connect(&closer, &QTimer::timeout, &w->form, [&] {
            if (!gripper.Frames().empty()) {
                closer.stop();
                w->form.close();
            }
        });
        closer.start(10);
        QTest::mouseClick(w->form.bRead, Qt::LeftButton);
        // Ended by the close, not by the collector's limit: no time-out, and
        // the first place was the only one asked for.
        QVERIFY(!w->form.State().TimedOut);
        QVERIFY(w->dialogs.Messages().isEmpty());
        QCOMPARE(gripper.Frames(), std::vector<std::string>{"RCL;0;1"});
        w.reset();
        QFile log("SIO.LOG");
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(log.size() > 0);
    }

    void aSimulatorKilledMidReadoutIsReportedAndItsRestartServesAgain()
    {
        sio::test::TPortDir dir;
        QTemporaryDir work;
        auto start = [&](QProcess& sim) {
            // Answers take 300 ms, so the kill finds the Readout waiting.
            return tarnell::test::StartSim(sim, dir, {"--no-wire-timing", "--delay", "300", "--log", work.filePath("sim.log")});
        };
        QProcess sim;
        QVERIFY(start(sim));
        TWindow w;
        QVERIFY(w.Activate());
        QTimer killer;
        std::chrono::steady_clock::time_point killed;
        QObject::connect(&killer, &QTimer::timeout, [&] {
            if (w.form.Memo1->Line(0).startsWith("Tx: RCL;0;3") && sim.state() == QProcess::Running) {
                sim.kill();  // SIGKILL: the far end closes with nothing said
                killed = std::chrono::steady_clock::now();
            }
        });
        killer.start(0);
        QTest::mouseClick(w.form.bRead, Qt::LeftButton);
        killer.stop();
        const auto noticed = std::chrono::steady_clock::now() - killed;
        qInfo("Readout ended %lld ms after the simulator was killed",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(noticed).count()));
        sim.waitForFinished();
        // The killed simulator's link stays behind, and its pseudo-terminal's
        // number may by now be another test's: the device is simply gone.
        QFile::remove(QString::fromStdString(dir.Path()) + "/COM1");

        QCOMPARE(w.form.Memo1->Lines().back(), QString("Line ERROR detected!"));
        QCOMPARE(w.form.Memo1->Lines().count("Line ERROR detected!"), 1);
        const QString lost = w.dialogs.Messages().filter("the device was lost").value(0);
        QVERIFY2(lost.startsWith("COM1 (/dev/pts/"), qPrintable(w.dialogs.Messages().join(" | ")));
        // One fault, one message: no time-out box on top of the loss.
        QCOMPARE(w.dialogs.Messages(), QStringList{lost});
        QCOMPARE(w.form.StringGrid1->Cell(1, 2), QString("150"));  // what came before the loss stays

        // Still usable: while the device is missing a command fails as at the
        // first one; once the simulator is back at the same link, F1 works.
        w.dialogs.Clear();
        QTest::keyRelease(&w.form, Qt::Key_F1);
        QCOMPARE(w.dialogs.Messages().size(), 1);
        QCOMPARE(prompts_, 1);
        QProcess again;
        QVERIFY(start(again));
        w.form.State().ReplyReceived = false;
        QTest::keyRelease(&w.form, Qt::Key_F1);
        QVERIFY2(Serve([&] { return w.form.State().ReplyReceived; }),
                 qPrintable(w.form.Memo1->Lines().join(" | ") + " || " + w.dialogs.Messages().join(" | ")));
        QCOMPARE(w.form.Memo1->Line(0), QString("->Rx: STA;0:192;"));
        again.terminate();
        again.waitForFinished();
    }

    // Input queued before the first command: the opening of the port waits
    // for its threads, and that wait must not run the operator's next key or
    // click inside the command being sent. Every "Tx: " line shown must have
    // its frame on the wire, in the same order.
    void inputQueuedWhileThePortOpensRunsAfterTheCommand_data()
    {
        QTest::addColumn<bool>("readout");
        QTest::newRow("F1 release, then a Readout click") << true;
        QTest::newRow("F1 twice") << false;
    }
    void inputQueuedWhileThePortOpensRunsAfterTheCommand()
    {
        QFETCH(bool, readout);
        sio::test::TPortDir dir;
        TFakeGripper gripper(dir, 1);
        TWindow w;
        QVERIFY(w.Activate());
        auto post = [](QWidget* target, QEvent* e) { QCoreApplication::postEvent(target, e); };
        post(&w.form, new QKeyEvent(QEvent::KeyRelease, Qt::Key_F1, Qt::NoModifier));
        if (readout) {
            const QPointF at = QPointF(w.form.bRead->rect().center());
            for (QEvent::Type t : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease})
                post(w.form.bRead, new QMouseEvent(t, at, w.form.bRead->mapToGlobal(at), Qt::LeftButton,
                                                   t == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                                                   Qt::NoModifier));
        } else {
            post(&w.form, new QKeyEvent(QEvent::KeyRelease, Qt::Key_F1, Qt::NoModifier));
        }
        const std::size_t expected = readout ? 9 : 2;
        const bool done = Serve([&] { return gripper.Frames().size() >= expected && !w.form.SequenceRunning(); }, 30000);
        QVERIFY2(done, qPrintable(MemoLines(w).join(" | ") + " / wire: " + QString::fromStdString(gripper.Received()) +
                                  " / " + w.dialogs.Messages().join(" | ")));
        Serve([] { return false; }, 300);  // nothing more is on its way

        QStringList shown = MemoLines(w).filter(QRegularExpression("^Tx: "));
        std::reverse(shown.begin(), shown.end());  // the newest line is on top
        QStringList wire;
        for (const std::string& frame : gripper.Frames())
            wire << "Tx: " + QString::fromStdString(frame);
        QCOMPARE(shown, wire);
        QCOMPARE(wire.size(), qsizetype(expected));
        QCOMPARE(wire.value(0), QString("Tx: STA;0"));
        QCOMPARE(wire.value(1), readout ? QString("Tx: RCL;0;1") : QString("Tx: STA;0"));
        QVERIFY(w.form.bRead->isEnabled() && w.form.bSenden->isEnabled() && w.form.bSenden2->isEnabled());
        QCOMPARE(prompts_, 1);
        if (readout) {
            // The status reply, still owed when the Readout began, is not
            // taken for a place's: every place has its own values.
            QVERIFY(!gripper.SentEarly());
            for (int place = 1; place <= 7; ++place)
                QCOMPARE(w.form.StringGrid1->Cell(1, place), QString::number(50 + 50 * place));
        }
    }

    void theDispatchLogKeepsEveryConnectionOfTheRun()
    {
        sio::test::TPortDir dir;
        QFile::remove("SIO.LOG");
        auto first = std::make_unique<TFakeGripper>(dir, 1);
        auto w = std::make_unique<TWindow>();
        QVERIFY(w->Activate());
        auto& s = w->form.State();
        QTest::keyRelease(&w->form, Qt::Key_F1);
        QVERIFY(Serve([&] { return s.ReplyReceived; }));

        first.reset();  // the device goes
        QVERIFY(Serve([&] { return !w->dialogs.Messages().filter("the device was lost").isEmpty(); }));
        TFakeGripper second(dir, 1);  // and comes back at the same link
        for (int i = 0; i < 2; ++i) {
            s.ReplyReceived = false;
            QTest::keyRelease(&w->form, Qt::Key_F12);
            QVERIFY(Serve([&] { return s.ReplyReceived; }));
        }
        QCOMPARE(second.Frames(), (std::vector<std::string>{"VER;0", "VER;0"}));
        w.reset();

        // Two connections in order, each with its header: STA in the
        // first, both VER frames in the second.
        QFile file("SIO.LOG");
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString log = QString::fromLatin1(file.readAll());
        const QStringList parts = log.split("SIO v4.07\r\n", Qt::SkipEmptyParts);
        QCOMPARE(parts.size(), 2);
        for (const QString& part : parts)
            QVERIFY2(part.contains("\r\nDevice: \\\\.\\COM1\r\n"), qPrintable(part));
        QVERIFY2(parts[0].contains("STA;0[0A][0D]") && !parts[0].contains("VER;0"), qPrintable(parts[0]));
        QCOMPARE(parts[1].count(QRegularExpression("WriteCom .*VER;0\\[0A\\]\\[0D\\]")), 2);
        QVERIFY2(!parts[1].contains("STA;0"), qPrintable(parts[1]));
    }

    void theMainWindowIsAWindowToScreenReaders()
    {
        TWindow w;
        QAccessibleInterface* a = QAccessible::queryAccessibleInterface(&w.form);
        QVERIFY(a);
        QCOMPARE(a->role(), QAccessible::Window);
        QCOMPARE(a->text(QAccessible::Name), QString("Tarnell by Voskarwerk"));
    }

private:
    tarnell::QtMessageQueue queue_;
    QTemporaryDir logDir_;
    int prompts_ = 0;
    bool cancelNext_ = false;
};

TARNELL_CONSOLE_TEST_MAIN(WireTest)
#include "WireTest.moc"
