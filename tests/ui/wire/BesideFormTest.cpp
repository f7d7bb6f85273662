// What the window offers beside its form, on the wire: Verify against a
// gripper that holds the grids and one that does not, Verify right after
// Send, and the operator's set-up kept across a restart (the windows
// beside the form and the port chosen last too; and a kept file
// that is broken or not ours). Every set-up file lives in a folder of the
// test's own, never the user's.
#include "ConsoleFixture.h"
#include "FakeGripper.h"
#include "SimProcess.h"

#include "BusPanel.h"
#include "ComboBox.h"
#include "Dialogs.h"
#include "OperatorSetup.h"
#include "OutputMenu.h"
#include "PortChoice.h"
#include "PortStatusLine.h"
#include "StatusMonitor.h"
#include "VerifyAction.h"

#include "base/BaseComponent.h"
#include "port/ComPort.h"
#include "selection/PortSelection.h"
#include "dispatch/Dispatcher.h"
#include "QtMessageQueue.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QProcess>
#include <QProgressBar>
#include <QSpinBox>
#include <QTreeWidget>
#include <QSettings>
#include <QTemporaryDir>
#include <QToolButton>

using tarnell::test::TFakeGripper;
using tarnell::test::StartSim;
using tarnell::test::TWindow;
using namespace std::chrono_literals;

namespace {

std::vector<std::string> Recalls(int address)
{
    std::vector<std::string> frames;
    for (int n = 1; n <= 8; ++n)
        frames.push_back("RCL;" + std::to_string(address) + ";" + std::to_string(n));
    return frames;
}

QColor Background(tarnell::TStringGrid& grid, int col, int row) { return grid.item(row, col)->background().color(); }

}  // namespace

class BesideFormTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        sio::SetMessageQueue(&queue_);
        QVERIFY(config_.isValid());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, config_.path());
        QDir::setCurrent(config_.path());
        sio::SetPortChooser([this](sio::TComSelectForm& form) {
            ++prompts_;
            form.SetItemIndex(0);
            return sio::mrOk;
        });
    }
    void cleanupTestCase()
    {
        sio::SetPortChooser(nullptr);
        sio::SetMessageQueue(nullptr);
    }

    void verifyMarksTheCellsTheGripperDoesNotHoldAndWritesNothing()
    {
        sio::test::TPortDir dir;
        TFakeGripper gripper(dir, 1);
        TWindow w;
        QVERIFY(w.Activate());
        w.form.meAdresse->setText("3");
        QTest::mouseClick(w.form.bRead, Qt::LeftButton);
        QCOMPARE(gripper.Frames(), Recalls(3));

        // On the port line, with its name and key.
        tarnell::TVerify& v = w.form.Verify();
        QCOMPARE(v.Action().shortcut(), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_V));
        auto buttons = w.form.PortStatus->findChildren<QToolButton*>();
        QVERIFY(std::any_of(buttons.begin(), buttons.end(),
                            [](QToolButton* b) { return b->accessibleName() == QStringLiteral("Verify"); }));

        QTest::keyClick(&w.form, Qt::Key_V, Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(w.dialogs.Messages(),
                 QStringList{"Verify: all complete rows match the gripper at address 3 (places 1, 2, 3, 4, 5, 6, 7, 8)."});
        QCOMPARE(v.MarkedCount(), 0);

        // Place 2's grip and place 8's compensation differ; place 3 lacks
        // its force and is not compared; 0250 is the gripper's 250.
        w.form.StringGrid1->SetCell(1, 2, "151");
        w.form.StringGrid1->SetCell(3, 3, "");
        w.form.StringGrid1->SetCell(1, 4, "0250");
        w.form.StringGrid2->SetCell(2, 1, "16");
        w.dialogs.Clear();
        v.Run();
        std::vector<std::string> thrice;
        for (int i = 0; i < 3; ++i)
            for (const std::string& f : Recalls(3))
                thrice.push_back(f);
        QCOMPARE(gripper.Frames(), thrice);  // recalls only: nothing written
        QCOMPARE(w.dialogs.Messages(),
                 QStringList{"Verify: 2 field(s) differ from the gripper at address 3:\n"
                             "place 2 grip position: 151 in the grid, 150 in the gripper\n"
                             "place 8 force-compensation position: 16 in the grid, 15 in the gripper\n"
                             "Not compared (a cell is empty): places 3."});
        QCOMPARE(v.MarkedCount(), 2);
        QCOMPARE(Background(*w.form.StringGrid1, 1, 2), tarnell::TVerify::MarkColor());
        QCOMPARE(w.form.StringGrid1->item(2, 1)->toolTip(), QString("Gripper: 150"));
        QCOMPARE(Background(*w.form.StringGrid2, 2, 1), tarnell::TVerify::MarkColor());
        QCOMPARE(w.form.StringGrid2->item(1, 2)->toolTip(), QString("Gripper: 15"));
        QVERIFY(Background(*w.form.StringGrid1, 1, 1) != tarnell::TVerify::MarkColor());

        // An edited cell loses its mark; the other keeps it.
        tarnell::test::EditCell(*w.form.StringGrid1, 1, 2, "\b\b\b150");
        QCOMPARE(v.MarkedCount(), 1);
        QVERIFY(w.form.StringGrid1->item(2, 1)->toolTip().isEmpty());
        QCOMPARE(Background(*w.form.StringGrid2, 2, 1), tarnell::TVerify::MarkColor());
        QVERIFY(w.form.bRead->isEnabled());

        // The marks told of the gripper at 3: another gripper, and they go.
        w.form.meAdresse->setText("0");
        QCOMPARE(v.MarkedCount(), 0);
        QVERIFY(Background(*w.form.StringGrid2, 2, 1) != tarnell::TVerify::MarkColor());
        QVERIFY(w.form.StringGrid2->item(1, 2)->toolTip().isEmpty());
    }

    void verifyAfterSendReadsBackWhatWasJustSent()
    {
        sio::test::TPortDir dir;
        TFakeGripper gripper(dir, 1);
        // A gripper that keeps place 2's grip at 999 whatever it is sent.
        gripper.SetAnswer([&](const std::string& f) {
            std::string a = gripper.DefaultAnswer(f);
            if (f == "RCL;0;2")
                a = "A0;2;999;30;15\n\r";
            return a;
        });
        TWindow w;
        QVERIFY(w.Activate());
        tarnell::TVerify& v = w.form.Verify();
        QVERIFY(!v.AfterSendAction().isChecked());
        QTest::keyClick(&w.form, Qt::Key_V, Qt::ControlModifier | Qt::AltModifier);
        QVERIFY(v.AfterSendAction().isChecked());

        for (int row = 1; row <= 2; ++row)
            for (int col = 1; col <= 3; ++col)
                w.form.StringGrid1->SetCell(col, row, QString::number(10 * row + col));
        QTest::mouseClick(w.form.bSenden, Qt::LeftButton);
        std::vector<std::string> want = {"STO;0;1;11;12;13", "STO;0;2;21;22;23"};
        for (const std::string& r : Recalls(0))
            want.push_back(r);
        QCOMPARE(gripper.Frames(), want);
        QCOMPARE(w.dialogs.Messages().size(), 1);
        QVERIFY(w.dialogs.Messages()[0].contains("place 2 grip position: 21 in the grid, 999 in the gripper"));
        QCOMPARE(v.Last().compared, (std::vector<int>{1, 2}));
        QCOMPARE(v.MarkedCount(), 3);  // the whole of place 2

        // Without the choice, Send is Send alone.
        v.AfterSendAction().setChecked(false);
        w.dialogs.Clear();
        QTest::mouseClick(w.form.bSenden, Qt::LeftButton);
        QCOMPARE(gripper.Frames().size(), want.size() + 2);
        QVERIFY(w.dialogs.Messages().isEmpty());
    }

    void theBusScanListsTheGrippersAndTakesTheChosenOne()
    {
        sio::test::TPortDir dir;
        QTemporaryDir work;
        QProcess sim;
        // Three models; the one at 4 answers a second late, long after its
        // limit, while later addresses are asked: its answer must count for
        // none of them. Nobody at the others.
        QVERIFY(StartSim(sim, dir,
                         {"--no-wire-timing", "--address", "2:KV0050", "--address", "4:KV0150", "--address",
                          "7:KV0030", "--address", "9:KV0150", "--status", "9:65", "--slow", "4:1000", "--log",
                          work.filePath("sim.log")}));
        TWindow w;
        QVERIFY(w.Activate());
        tarnell::TBusPanel& bus = w.form.Bus();
        QCOMPARE(bus.Action().shortcut(), QKeySequence(Qt::CTRL | Qt::Key_B));
        QTest::keyClick(&w.form, Qt::Key_B, Qt::ControlModifier);
        QVERIFY(bus.isVisible());
        QCOMPARE(bus.To->value(), 32);
        QCOMPARE(bus.Ticks->value(), 3);
        bus.To->setValue(10);
        // Six ticks: room for a busy machine's thread hops, far below the second.
        bus.Ticks->setValue(6);
        // The port is the operator's to open: a command of his first.
        w.form.SendCommand("STA;2");
        QVERIFY(sio::ServeMessagesUntil([&] { return w.form.State().ReplyReceived; }, 5000));
        const int shown = w.form.Memo1->LineCount();
        QTest::mouseClick(bus.ScanButton, Qt::LeftButton);

        QStringList rows;
        for (int i = 0; i < bus.List->topLevelItemCount(); ++i) {
            QTreeWidgetItem* it = bus.List->topLevelItem(i);
            QStringList cells;
            for (int c = 0; c < tarnell::TBusPanel::colCount; ++c)
                cells << it->text(c);
            rows << cells.join("|");
        }
        QCOMPARE(rows, (QStringList{"2|KV0050|50 mm|KV0050;V1.07|192|Referenced, Ready",
                                    "7|KV0030|30 mm|KV0030;V1.07|192|Referenced, Ready",
                                    "9|KV0150|100 mm|KV0150;V1.07|65|VCC Err., Referenced"}));
        QCOMPARE(bus.Progress->value(), 11);
        QVERIFY(bus.Summary->text().contains("3 gripper(s) found"));
        // Nothing of the scan in the output window, no time-out message.
        QCOMPARE(w.form.Memo1->LineCount(), shown);
        QVERIFY(w.dialogs.Messages().isEmpty());
        // The slow gripper's answer came, and went nowhere.
        QFile log(work.filePath("sim.log"));
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(log.readAll().contains("STA;4:192;"));

        // Choosing the 30 mm gripper sets the address and the type.
        bus.List->setCurrentItem(bus.List->topLevelItem(1));
        QTest::mouseClick(bus.UseButton, Qt::LeftButton);
        QCOMPARE(w.form.State().GripperAddress, 7);
        QCOMPARE(w.form.rgGripperType->ItemIndex(), 2);

        // Cancel ends the scan at the next address; the line is free again.
        QTimer canceller;
        QObject::connect(&canceller, &QTimer::timeout, [&] {
            if (bus.Progress->value() >= 2)
                QTest::mouseClick(bus.CancelButton, Qt::LeftButton);
        });
        canceller.start(1);
        bus.Scan();
        canceller.stop();
        QVERIFY2(bus.Summary->text().startsWith("Cancelled after"), qPrintable(bus.Summary->text()));
        QVERIFY(bus.Progress->value() < 11);
        QVERIFY(!bus.CancelButton->isEnabled());
        QVERIFY(bus.ScanButton->isEnabled());
        QVERIFY(!w.form.SequenceRunning());

        // A longer limit finds the slow one too.
        bus.Ticks->setValue(25);
        bus.From->setValue(3);
        bus.To->setValue(5);
        bus.Scan();
        QCOMPARE(bus.List->topLevelItemCount(), 1);
        QCOMPARE(bus.List->topLevelItem(0)->text(tarnell::TBusPanel::colAddress), QString("4"));
        QVERIFY(w.form.bRead->isEnabled());
        sim.terminate();
        sim.waitForFinished();
    }

    void theMonitorDrawsTheStatusOverTimeAndRestsWhileTheLineIsBusy()
    {
        sio::test::TPortDir dir;
        QTemporaryDir work;
        QProcess sim;
        // The status changes with every answer: Ready, then not, then an error.
        QVERIFY(StartSim(sim, dir, {"--no-wire-timing", "--address", "0", "--status", "0:192,64,65", "--log",
                                    work.filePath("sim.log")}));
        TWindow w;
        QVERIFY(w.Activate());
        tarnell::TStatusMonitor& m = w.form.Monitor();
        QCOMPARE(m.Interval->value(), 200);
        m.Interval->setValue(50);
        // The operator's command opens the port (a version, which leaves the
        // simulator's round of status values as it is).
        w.form.SendCommand("VER;0");
        QVERIFY(sio::ServeMessagesUntil([&] { return w.form.State().ReplyReceived; }, 5000));
        const int shown = w.form.Memo1->LineCount();
        QTest::keyClick(&w.form, Qt::Key_M, Qt::ControlModifier);
        QVERIFY(m.isVisible());
        const auto& samples = m.Timeline->Samples();
        QVERIFY(sio::ServeMessagesUntil([&] { return samples.size() >= 6; }, 10000));
        m.SetPaused(true);
        for (std::size_t i = 0; i < 6; ++i)
            QCOMPARE(samples[i].status, (std::vector<int>{192, 64, 65})[i % 3]);
        for (std::size_t i = 1; i < samples.size(); ++i)
            QVERIFY(samples[i].ms >= samples[i - 1].ms);
        QCOMPARE(w.form.Memo1->LineCount(), shown);  // polls stay out of the output
        QVERIFY(w.dialogs.Messages().isEmpty());

        // The CSV: a header and one line per sample, the bits spelled out.
        const QStringList csv = m.Csv().split('\n', Qt::SkipEmptyParts);
        QCOMPARE(csv.size(), int(samples.size()) + 1);
        QCOMPARE(csv[0], QString("time,status,VCC Err.,Temp. Err.,Overcurrent Err.,Blocking Err.,Grip Err.,n.a.,"
                                 "Referenced,Ready"));
        QVERIFY(csv[3].endsWith(",65,1,0,0,0,0,0,1,0"));
        QTemporaryDir out;
        m.SaveCsv(out.filePath("s.csv"));
        m.SavePng(out.filePath("s.png"));
        QVERIFY(QFile::exists(out.filePath("s.csv")));
        QCOMPARE(QImage(out.filePath("s.png")).size(), m.Timeline->size());

        // A Readout owns the line: polls rest meanwhile and go on after.
        m.SetPaused(false);
        const std::size_t before = samples.size();
        QTest::mouseClick(w.form.bRead, Qt::LeftButton);
        QCOMPARE(w.form.StringGrid2->Cell(1, 1), QString("5"));
        QVERIFY(sio::ServeMessagesUntil([&] { return samples.size() >= before + 2; }, 10000));
        QString heard;
        {
            QFile log(work.filePath("sim.log"));
            QVERIFY(log.open(QIODevice::ReadOnly));
            for (const QByteArray& line : log.readAll().split('\n'))
                if (line.contains(" rx "))
                    heard += QString::fromLatin1(line.mid(line.indexOf(" rx ") + 4));
        }
        const qsizetype first = heard.indexOf("RCL;0;1"), last = heard.indexOf("RCL;0;8");
        QVERIFY(first >= 0 && last > first);
        QVERIFY2(!heard.mid(first, last - first).contains("STA;"), qPrintable(heard));
        QVERIFY(heard.mid(last).contains("STA;0"));

        // A gripper that does not answer is a gap, not a message per poll.
        w.form.meAdresse->setText("5");
        QVERIFY(sio::ServeMessagesUntil([&] { return !samples.empty() && samples.back().status < 0; }, 15000));
        QVERIFY(w.dialogs.Messages().isEmpty());
        m.Timeline->Clear();
        QVERIFY(samples.empty());
        m.close();
        sim.terminate();
        sim.waitForFinished();
    }

    // A Send writes every place to the gripper of its click: neither the
    // address field nor the bus window's choice (its button, a double click)
    // reaches it meanwhile; they rest until the last answer.
    void aSendKeepsTheGripperOfItsClick()
    {
        sio::test::TPortDir dir;
        TFakeGripper gripper(dir, 1);  // grippers at 0 and 3
        gripper.SetDelay(150ms);
        TWindow w;
        QVERIFY(w.Activate());
        w.form.SendCommand("STA;0");
        QVERIFY(sio::ServeMessagesUntil([&] { return w.form.State().ReplyReceived; }, 5000));
        tarnell::TBusPanel& bus = w.form.Bus();
        bus.show();
        bus.To->setValue(3);
        bus.Ticks->setValue(10);
        bus.Scan();
        QCOMPARE(bus.List->topLevelItemCount(), 2);
        QTreeWidgetItem* three = bus.List->topLevelItem(1);
        QCOMPARE(three->text(tarnell::TBusPanel::colAddress), QString("3"));
        bus.List->setCurrentItem(three);
        QVERIFY(bus.UseButton->isEnabled());

        std::vector<std::string> want;
        for (int row = 1; row <= 7; ++row) {
            for (int col = 1; col <= 3; ++col)
                w.form.StringGrid1->SetCell(col, row, QString::number(col == 3 ? 10 : 100 + row * 10 + col));
            want.push_back("STO;0;" + std::to_string(row) + ";" + std::to_string(101 + row * 10) + ";" +
                           std::to_string(102 + row * 10) + ";10");
        }
        w.form.StringGrid2->SetCell(1, 1, "100"), w.form.StringGrid2->SetCell(2, 1, "200");
        want.push_back("STO;0;8;100;200;3");
        const std::size_t before = gripper.Frames().size();
        // The operator's hand, while the Send waits: after the first place
        // the bus window's gripper at 3, by its button and by a double
        // click; after the third, 9 typed over the address.
        int step = 0;
        bool usable = true, typable = true;
        QTimer hand;
        QObject::connect(&hand, &QTimer::timeout, [&] {
            const std::size_t sent = gripper.Frames().size() - before;
            if (step == 0 && sent >= 1) {
                step = 1;
                usable = bus.UseButton->isEnabled();
                QTest::mouseClick(bus.UseButton, Qt::LeftButton);
                QTest::mouseDClick(bus.List->viewport(), Qt::LeftButton, {},
                                   bus.List->visualItemRect(three).center());
            } else if (step == 1 && sent >= 3) {
                step = 2;
                typable = w.form.meAdresse->isEnabled();
                QTest::keyClick(w.form.meAdresse, Qt::Key_A, Qt::ControlModifier);
                QTest::keyClicks(w.form.meAdresse, "9");
            }
        });
        hand.start(1);
        QTest::mouseClick(w.form.bSenden, Qt::LeftButton);
        hand.stop();
        QCOMPARE(step, 2);
        const std::vector<std::string> frames = gripper.Frames();
        QCOMPARE(std::vector<std::string>(frames.begin() + std::ptrdiff_t(before), frames.end()), want);
        QVERIFY(w.dialogs.Messages().isEmpty());
        QVERIFY(!usable && !typable);
        QCOMPARE(w.form.State().GripperAddress, 0);
        QCOMPARE(w.form.meAdresse->text(), QString("0"));
        // Free again once the Send is over.
        QVERIFY(w.form.meAdresse->isEnabled() && bus.UseButton->isEnabled());
        QTest::mouseClick(bus.UseButton, Qt::LeftButton);
        QCOMPARE(w.form.State().GripperAddress, 3);
    }

    // F12 while the monitor's poll is on the wire to a slow gripper: the
    // poll keeps its status reply, the key gets the version reply and with
    // it the model, and no poll is handed the version.
    void aCommandWaitsForThePollOnTheWireAndGetsItsOwnReply()
    {
        sio::test::TPortDir dir;
        TFakeGripper gripper(dir, 1);
        gripper.SetDelay(150ms);
        gripper.SetAnswer([&](const std::string& f) {
            return f == "VER;0" ? std::string("VER;0:KV0150;V1.07\n\r") : gripper.DefaultAnswer(f);
        });
        TWindow w;
        QVERIFY(w.Activate());
        QTest::keyRelease(&w.form, Qt::Key_F1);  // the operator opens the port
        QVERIFY(sio::ServeMessagesUntil([&] { return w.form.State().ReplyReceived; }, 5000));
        tarnell::TStatusMonitor& m = w.form.Monitor();
        QCOMPARE(m.Interval->value(), 200);
        m.Action().trigger();
        const auto& samples = m.Timeline->Samples();
        QVERIFY(sio::ServeMessagesUntil([&] { return samples.size() >= 2; }, 10000));
        // Right after a poll went out: its answer is 150 ms away.
        QVERIFY(sio::ServeMessagesUntil([&] { return w.form.AnswerOwed(); }, 5000));
        QCOMPARE(gripper.Frames().back(), std::string("STA;0"));
        QTest::keyRelease(&w.form, Qt::Key_F12);
        QVERIFY2(sio::ServeMessagesUntil([&] { return w.form.rgGripperType->ItemIndex() == 1; }, 5000),
                 qPrintable(w.form.Memo1->Lines().join(" | ")));
        QCOMPARE(w.form.Memo1->Line(0), QString("->Rx: VER;0:KV0150;V1.07"));
        QCOMPARE(w.form.Memo1->Line(1), QString("Tx: VER;0"));
        QCOMPARE(w.form.Memo1->Lines().filter("STA;0:").size(), 1);  // F1's own reply, no poll's
        // The polls go on, each with its status: no gap for a stolen reply.
        const std::size_t after = samples.size();
        QVERIFY(sio::ServeMessagesUntil([&] { return samples.size() >= after + 2; }, 10000));
        m.SetPaused(true);
        for (const tarnell::TStatusSample& sample : samples)
            QCOMPARE(sample.status, 192);
        QVERIFY(!gripper.SentEarly());  // one exchange on the wire at a time
        QVERIFY(w.dialogs.Messages().isEmpty());
        m.close();
    }

    // Only the operator opens a port: without one, polls and a scan wait
    // and say so; after Ctrl+P the next port dialog is the next command's.
    void onlyTheOperatorsCommandOpensAPort()
    {
        sio::test::TPortDir dir;
        TFakeGripper gripper(dir, 1);
        TWindow w;
        QVERIFY(w.Activate());
        prompts_ = 0;
        tarnell::TStatusMonitor& m = w.form.Monitor();
        m.Interval->setValue(50);
        m.Action().trigger();
        QVERIFY(sio::ServeMessagesUntil([&] { return m.Skipped() >= 3 || prompts_ > 0; }, 5000));
        QCOMPARE(prompts_, 0);
        QVERIFY2(m.Info->text().startsWith("No port is open"), qPrintable(m.Info->text()));
        w.form.Bus().Scan();
        QCOMPARE(w.form.Bus().Summary->text(), QString("No port is open: your next command (F1, for instance) opens one."));
        QCOMPARE(prompts_, 0);
        QVERIFY(gripper.Frames().empty());

        // The operator's command opens it, and the polls go on.
        QTest::keyRelease(&w.form, Qt::Key_F1);
        QCOMPARE(prompts_, 1);
        const auto& samples = m.Timeline->Samples();
        QVERIFY(sio::ServeMessagesUntil([&] { return samples.size() >= 3; }, 10000));

        // Ctrl+P: the port closes and its number goes; the polls ask nothing.
        w.form.PortChoice().Action().trigger();
        QCOMPARE(w.form.ComPort->ComNumber(), 0);
        const int skipped = m.Skipped();
        QVERIFY(sio::ServeMessagesUntil([&] { return m.Skipped() >= skipped + 5 || prompts_ > 1; }, 5000));
        QCOMPARE(prompts_, 1);
        QCOMPARE(w.form.ComPort->ComNumber(), 0);
        QVERIFY(m.Info->text().startsWith("No port is open"));
        QVERIFY(w.dialogs.Messages().isEmpty());

        // The next command asks, and the polls go on with its port.
        QTest::keyRelease(&w.form, Qt::Key_F1);
        QCOMPARE(prompts_, 2);
        const std::size_t before = samples.size();
        QVERIFY(sio::ServeMessagesUntil([&] { return samples.size() >= before + 2; }, 10000));
        QVERIFY(m.Info->text().startsWith("Address 0: status"));
        m.close();
    }

    // Verify after Send reads back every place that Send wrote, the one
    // whose answer did not come too, and compares it with what was written;
    // the rows skipped after that time-out were not written, nor compared.
    void verifyAfterSendComparesEveryPlaceItSent()
    {
        sio::test::TPortDir dir;
        TFakeGripper gripper(dir, 1);
        // Place 3 is stored, but its answer never comes.
        gripper.SetAnswer([&](const std::string& f) {
            std::string a = gripper.DefaultAnswer(f);
            return f.rfind("STO;0;3;", 0) == 0 ? std::string() : a;
        });
        TWindow w;
        QVERIFY(w.Activate());
        tarnell::TVerify& v = w.form.Verify();
        v.AfterSendAction().setChecked(true);
        for (int row = 1; row <= 5; ++row)
            for (int col = 1; col <= 3; ++col)
                w.form.StringGrid1->SetCell(col, row, QString::number(col == 3 ? 20 : 300 + row * 10 + col));
        w.form.StringGrid2->SetCell(1, 1, "7"), w.form.StringGrid2->SetCell(2, 1, "17");
        QTest::mouseClick(w.form.bSenden, Qt::LeftButton);
        std::vector<std::string> want = {"STO;0;1;311;312;20", "STO;0;2;321;322;20", "STO;0;3;331;332;20",
                                         "STO;0;8;7;17;3"};
        for (const std::string& r : Recalls(0))
            want.push_back(r);
        QCOMPARE(gripper.Frames(), want);
        QCOMPARE(v.Last().compared, (std::vector<int>{1, 2, 3, 8}));
        QCOMPARE(w.dialogs.Messages().size(), 2);  // place 3's time-out, then the comparison
        QCOMPARE(w.dialogs.Messages()[1],
                 QString("Verify: all complete rows match the gripper at address 0 (places 1, 2, 3, 8).\n"
                         "Not compared (not sent): places 4, 5, 6, 7."));
        QCOMPARE(v.MarkedCount(), 0);
    }

    void theSetUpIsKeptAcrossARestart()
    {
        sio::test::TPortDir dir;
        TFakeGripper first(dir, 2);
        TFakeGripper gripper(dir, 4);
        QFile::remove(tarnell::TOperatorSetup::FilePath());
        QTemporaryDir files;
        {
            TWindow w;
            QVERIFY(w.Activate());
            tarnell::TOperatorSetup setup(w.form);
            setup.Load();  // nothing kept yet: nothing changes, nothing shown
            QVERIFY(w.dialogs.Messages().isEmpty());
            w.form.rgGripperType->SetItemIndex(1);
            w.form.rgParity->SetItemIndex(1);
            w.form.meAdresse->setText("12");
            w.form.StringGrid3->SetCell(1, 4, "POS;#ADR;100");
            w.form.cbCommands->setEditText("XYZ;#ADR");
            w.form.bSenden2Click();  // opens COM2 (listed first), joins the list
            QCOMPARE(w.form.ComPort->ComNumber(), 2);
            // Another port: COM4 is chosen and opened, then let go of too;
            // the port kept is the one chosen last.
            w.form.PortChoice().Action().trigger();
            const sio::TPortChooser before = sio::SetPortChooser([](sio::TComSelectForm& form) {
                for (int i = 0; i < int(form.Items().size()); ++i)
                    if (form.PortOfItem(i) == 4)
                        form.SetItemIndex(i);
                return sio::mrOk;
            });
            w.form.SendCommand("STA;0");
            sio::SetPortChooser(before);
            QCOMPARE(w.form.ComPort->ComNumber(), 4);
            QVERIFY(sio::ServeMessagesUntil([&] { return w.form.State().ReplyReceived; }, 5000));
            w.form.PortChoice().Action().trigger();
            QCOMPARE(w.form.ComPort->ComNumber(), 0);
            w.form.OutputMenu().TimeStampAction().setChecked(true);
            w.form.Verify().AfterSendAction().setChecked(true);
            tarnell::SetFileFolder(files.path());
            w.form.resize(1200, 850);
            w.form.Bus().Ticks->setValue(5);
            w.form.Monitor().Interval->setValue(500);
            // The bus window stays open at the end, the monitor was closed:
            // each keeps its own size and place.
            w.form.Bus().show();
            w.form.Bus().setGeometry(130, 90, 700, 480);
            w.form.Monitor().show();
            w.form.Monitor().setGeometry(220, 310, 800, 330);
            w.form.Monitor().hide();
            // As the program does: the window closes, then the set-up is saved.
            w.form.close();
            QVERIFY(setup.Save());
        }
        tarnell::SetFileFolder(QString());
        TWindow w;
        tarnell::TOperatorSetup setup(w.form);
        setup.Load();
        QVERIFY(w.dialogs.Messages().isEmpty());
        QCOMPARE(w.form.rgGripperType->ItemIndex(), 1);
        QCOMPARE(w.form.State().MaxPosition, 1000);
        QCOMPARE(w.form.rgParity->ItemIndex(), 1);
        QCOMPARE(w.form.ComPort->Parity(), sio::pNone);
        QCOMPARE(w.form.State().GripperAddress, 12);
        QCOMPARE(w.form.ComPort->ComNumber(), 4);
        QVERIFY(w.form.PortStatus->Text().contains("COM4"));
        QCOMPARE(w.form.StringGrid3->Cell(1, 4), QString("POS;#ADR;100"));
        QCOMPARE(w.form.StringGrid3->Cell(1, 0), QString("STA;0"));
        QVERIFY(w.form.cbCommands->HasItem("XYZ;#ADR"));
        QVERIFY(w.form.cbCommands->HasItem("CMP;0;250"));
        QVERIFY(w.form.OutputMenu().TimeStampAction().isChecked());
        QVERIFY(w.form.Verify().AfterSendAction().isChecked());
        QCOMPARE(tarnell::FileFolder(), files.path());
        QCOMPARE(w.form.size(), QSize(1200, 850));
        QCOMPARE(w.form.Bus().Ticks->value(), 5);
        QCOMPARE(w.form.Bus().To->value(), 32);
        QCOMPARE(w.form.Monitor().Interval->value(), 500);
        QCOMPARE(w.form.Bus().geometry(), QRect(130, 90, 700, 480));
        QCOMPARE(w.form.Monitor().geometry(), QRect(220, 310, 800, 330));
        setup.Reopen();
        QVERIFY(w.form.Bus().isVisible());
        QVERIFY(!w.form.Monitor().isVisible());
        QCOMPARE(w.form.Bus().geometry(), QRect(130, 90, 700, 480));
        w.form.Bus().hide();
        // The port is taken without asking.
        QVERIFY(w.Activate());
        w.form.SendCommand("STA;0");
        QVERIFY(sio::ServeMessagesUntil([&] { return w.form.State().ReplyReceived; }, 5000));
        QCOMPARE(gripper.Frames().back(), std::string("STA;0"));
        QCOMPARE(gripper.Frames().size(), std::size_t(2));
        // A kept port that is not there at the start is not taken, but stays
        // kept (and offered first) until another is chosen. The monitor, open
        // at the end, comes back paused then: no port dialog at the start.
        QSettings(tarnell::TOperatorSetup::FilePath(), QSettings::IniFormat).setValue("port", 7);
        QSettings(tarnell::TOperatorSetup::FilePath(), QSettings::IniFormat).setValue("monitorOpen", true);
        TWindow third;
        tarnell::TOperatorSetup kept(third.form);
        kept.Load();
        QCOMPARE(third.form.ComPort->ComNumber(), 0);
        QCOMPARE(third.form.PortChoice().Prompt().preselect, 7);
        kept.Reopen();
        QVERIFY(third.form.Monitor().isVisible());
        QVERIFY(third.form.Monitor().Paused());
        third.form.Monitor().Poll();
        QCOMPARE(third.form.ComPort->ComNumber(), 0);
        QVERIFY(kept.Save());
        QCOMPARE(QSettings(tarnell::TOperatorSetup::FilePath(), QSettings::IniFormat).value("port").toInt(), 7);
        // One that is there but would not open (in use) is neither offered
        // first nor kept any more.
        sio::TSioComPort holder;
        holder.SetComNumber(2);
        holder.SetOpen(true);
        QSettings(tarnell::TOperatorSetup::FilePath(), QSettings::IniFormat).setValue("port", 2);
        TWindow fourth;
        tarnell::TOperatorSetup(fourth.form).Load();
        QCOMPARE(fourth.form.ComPort->ComNumber(), 2);
        QVERIFY_THROWS_EXCEPTION(std::exception, fourth.form.SendCommand("STA;0"));
        QCOMPARE(fourth.form.PortChoice().LastPort(), 0);
        QCOMPARE(fourth.form.PortChoice().Prompt().preselect, 0);
    }

    void aBrokenOrForeignSetUpIsSetAsideAndTheDefaultsStay_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("binary") << QByteArray("\x00\xff\xfe[[[\x01=\x02\n\x00", 12);
        QTest::newRow("foreign") << QByteArray("[General]\nport=3\ngripperType=2\n");
        QTest::newRow("nonsense values") << QByteArray("[General]\nformat=1\nport=999\ngripperType=7\nparity=x\n"
                                                       "address=-4\nfunctionKeys=a\ngeometry=@ByteArray(xx)\n");
    }
    void aBrokenOrForeignSetUpIsSetAsideAndTheDefaultsStay()
    {
        QFETCH(QByteArray, content);
        const QString path = tarnell::TOperatorSetup::FilePath();
        QDir().mkpath(QFileInfo(path).path());
        for (const QString& old : QDir(QFileInfo(path).path()).entryList({"*.broken-*"}))
            QFile::remove(QFileInfo(path).path() + "/" + old);
        {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            f.write(content);
        }
        TWindow w;
        tarnell::TOperatorSetup setup(w.form);
        setup.Load();
        QCOMPARE(w.form.rgGripperType->ItemIndex(), 0);
        QCOMPARE(w.form.rgParity->ItemIndex(), 0);
        QCOMPARE(w.form.State().GripperAddress, 0);
        QCOMPARE(w.form.ComPort->ComNumber(), 0);
        QCOMPARE(w.form.StringGrid3->Cell(1, 0), QString("STA;0"));
        if (QTest::currentDataTag() == QByteArray("nonsense values")) {
            // Ours, with values that make no sense: each is left out, quietly.
            QVERIFY(w.dialogs.Messages().isEmpty());
            QVERIFY(setup.SetAside().isEmpty());
            return;
        }
        QCOMPARE(w.dialogs.Messages().size(), 1);
        QVERIFY(w.dialogs.Messages()[0].contains("set aside"));
        QVERIFY(!QFile::exists(path));
        QFile aside(setup.SetAside());
        QVERIFY(aside.open(QIODevice::ReadOnly));
        QCOMPARE(aside.readAll(), content);
        // The next save writes a good one; the windows beside the form, never
        // shown, keep no place of their own (they centre on the form).
        QVERIFY(setup.Save());
        QVERIFY(!QSettings(path, QSettings::IniFormat).contains("busGeometry"));
        QVERIFY(QSettings(path, QSettings::IniFormat).contains("busOpen"));
        TWindow again;
        tarnell::TOperatorSetup(again.form).Load();
        QVERIFY(again.dialogs.Messages().isEmpty());
    }

private:
    tarnell::QtMessageQueue queue_;
    QTemporaryDir config_;
    int prompts_ = 0;  // port dialogs shown
};

TARNELL_CONSOLE_TEST_MAIN(BesideFormTest)
#include "BesideFormTest.moc"
