// The port in view and in the operator's hand, on the wire: Enter in the
// command line sends as "Send" does; the port line follows the port through
// opening, the parity switch, a loss and the recovery; another port can be
// chosen, with the dispatch log written, and after "already in use" the next
// command asks again instead of trying the same port.
#include "ConsoleFixture.h"
#include "FakeGripper.h"

#include "ComboBox.h"
#include "PortChoice.h"
#include "PortStatusLine.h"
#include "QtMessageQueue.h"
#include "SelectComDialog.h"

#include "errors/Exceptions.h"
#include "base/BaseComponent.h"
#include "packet/DataPacket.h"
#include "port/ComPort.h"
#include "selection/PortSelection.h"

#include <QAccessible>
#include <QLineEdit>
#include <QTemporaryDir>

#include <memory>
#include <vector>

using tarnell::TPortStatusLine;
using tarnell::test::TFakeGripper;
using tarnell::test::TWindow;
using TState = TPortStatusLine::TState;

namespace {

bool Serve(const std::function<bool()>& pred, std::uint32_t ms = 5000) { return sio::ServeMessagesUntil(pred, ms); }

}  // namespace

class PortInViewTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        sio::SetMessageQueue(&queue_);
        QVERIFY(logDir_.isValid());
        QDir::setCurrent(logDir_.path());
        // The operator picks the port named in choice_ from the list.
        sio::SetPortChooser([this](sio::TComSelectForm& form) {
            ++prompts_;
            if (window_)
                prompted_.push_back(window_->PortChoice().Prompt());
            for (int i = 0; i < static_cast<int>(form.Items().size()); ++i)
                if (form.PortOfItem(i) == choice_)
                    form.SetItemIndex(i);
            return sio::mrOk;
        });
    }
    void cleanupTestCase()
    {
        sio::SetPortChooser(nullptr);
        sio::SetMessageQueue(nullptr);
    }
    void init()
    {
        prompts_ = 0;
        choice_ = 1;
        window_ = nullptr;
        prompted_.clear();
    }

    void enterInTheCommandLineSendsAsSendDoes()
    {
        sio::test::TPortDir dir;
        TFakeGripper gripper(dir, 1);
        TWindow w;
        QVERIFY(w.Activate());
        auto& s = w.form.State();
        w.form.meAdresse->setText("3");
        QLineEdit* line = w.form.cbCommands->lineEdit();
        line->setFocus();
        line->clear();
        QTest::keyClicks(line, "RCL;#ADR;1");
        const int before = w.form.cbCommands->count();
        QTest::keyClick(line, Qt::Key_Return);
        QVERIFY2(Serve([&] { return s.ReplyReceived; }),
                 qPrintable(QString::fromStdString(gripper.Received()) + w.dialogs.Messages().join("|")));
        QCOMPARE(QString::fromStdString(gripper.Received()), QStringLiteral("RCL;3;1\n\r"));
        QCOMPARE(w.form.Memo1->Lines().value(1), QStringLiteral("Tx: RCL;3;1"));
        // The keypad's Enter too, as the window system delivers it (to the
        // combo box, which has the focus); the text joins the list once and
        // stays in the line.
        QTest::keyClick(w.form.cbCommands, Qt::Key_Enter);
        QVERIFY(Serve([&] { return gripper.Received().size() == 18; }));
        QCOMPARE(w.form.cbCommands->count(), before + 1);
        QVERIFY(w.form.cbCommands->HasItem("RCL;#ADR;1"));
        QCOMPARE(line->text(), QStringLiteral("RCL;#ADR;1"));
        QCOMPARE(gripper.Frames(), (std::vector<std::string>{"RCL;3;1", "RCL;3;1"}));

        // Enter on an empty line sends nothing and adds nothing; the button
        // sends the bare frame end.
        line->clear();
        QTest::keyClick(line, Qt::Key_Return);
        QTest::keyClick(w.form.cbCommands, Qt::Key_Enter);
        Serve([] { return false; }, 300);
        QCOMPARE(gripper.Received().size(), std::size_t(18));
        QCOMPARE(w.form.cbCommands->count(), before + 1);
        QVERIFY(w.dialogs.Messages().isEmpty());
        QTest::mouseClick(w.form.bSenden2, Qt::LeftButton);
        QVERIFY(Serve([&] { return gripper.Received().size() == 20; }));
        QCOMPARE(gripper.Received().substr(18), std::string("\n\r"));
    }

    void thePortLineFollowsOpeningParityLossAndRecovery()
    {
        sio::test::TPortDir dir;
        auto gripper = std::make_unique<TFakeGripper>(dir, 1);
        TWindow w;
        QVERIFY(w.Activate());
        TPortStatusLine& line = *w.form.PortStatus;
        auto& s = w.form.State();
        QCOMPARE(line.State(), TState::NotChosen);
        QVERIFY2(line.Text().contains("Port: none") && line.Text().contains("9600 8E1"), qPrintable(line.Text()));

        QTest::keyRelease(&w.form, Qt::Key_F1);
        QVERIFY(Serve([&] { return s.ReplyReceived; }));
        QCOMPARE(line.State(), TState::Open);
        QVERIFY2(line.Text().contains("Port: COM1") && line.Text().contains("/dev/pts/") &&
                     line.Text().contains("Line: 9600 8E1") && line.Text().contains("State: open"),
                 qPrintable(line.Text()));

        QTest::mouseClick(w.form.rgParity->Button(1), Qt::LeftButton);
        QVERIFY2(line.Text().contains("Line: 9600 8N1"), qPrintable(line.Text()));

        // The far end goes: the line says so without a command being sent,
        // before the message about the loss waits for the operator.
        QString whileLossShown;
        w.dialogs.whileMessageOpen = [&](const QString& text) {
            if (text.contains("the device was lost"))
                whileLossShown = line.Text();
        };
        gripper.reset();
        QVERIFY2(Serve([&] { return line.Text().contains("State: LOST"); }), qPrintable(line.Text()));
        QCOMPARE(line.State(), TState::Lost);
        QVERIFY(Serve([&] { return !w.dialogs.Messages().filter("the device was lost").isEmpty(); }));
        QVERIFY2(whileLossShown.contains("State: LOST"), qPrintable(whileLossShown + w.dialogs.Messages().join("|")));
        QVERIFY(QAccessible::queryAccessibleInterface(&line)->text(QAccessible::Description).contains("LOST"));

        // Back at the same link: the next command opens it again, no dialog.
        gripper = std::make_unique<TFakeGripper>(dir, 1);
        s.ReplyReceived = false;
        w.dialogs.Clear();
        QTest::keyRelease(&w.form, Qt::Key_F1);
        QVERIFY(Serve([&] { return s.ReplyReceived; }));
        QCOMPARE(line.State(), TState::Open);
        QCOMPARE(prompts_, 1);
    }

    void anotherPortAfterAlreadyInUseAndByTheAction()
    {
        sio::test::TPortDir dir;
        TFakeGripper first(dir, 1), second(dir, 2);
        // COM1 is held by someone else.
        sio::TSioComPort holder;
        holder.SetComNumber(1);
        holder.SetOpen(true);
        TWindow w;
        window_ = &w.form;
        QVERIFY(w.Activate());
        auto& s = w.form.State();

        QTest::keyRelease(&w.form, Qt::Key_F1);
        QCOMPARE(w.dialogs.Messages().size(), 1);
        QVERIFY2(w.dialogs.Messages()[0].contains("COM1") && w.dialogs.Messages()[0].contains("already in use"),
                 qPrintable(w.dialogs.Messages()[0]));
        QCOMPARE(w.form.PortStatus->State(), TState::NotChosen);
        // The next command offers the dialog again; this time COM2.
        choice_ = 2;
        QTest::keyRelease(&w.form, Qt::Key_F1);
        QCOMPARE(prompts_, 2);
        QVERIFY(Serve([&] { return s.ReplyReceived; }));
        QCOMPARE(second.Received(), std::string("STA;0\n\r"));
        QCOMPARE(first.Received(), std::string());
        QVERIFY(w.form.PortStatus->Text().contains("Port: COM2"));

        // Ctrl+P: the port closes (its dispatch log is written) and the next
        // command asks; COM1 is free by now.
        QFile::remove("SIO.LOG");
        holder.SetOpen(false);
        QFile::remove("SIO.LOG");
        QTest::keyClick(&w.form, Qt::Key_P, Qt::ControlModifier);
        QCOMPARE(w.form.ComPort->PortState(), sio::StateClosed);
        QCOMPARE(w.form.PortStatus->State(), TState::NotChosen);
        QVERIFY(QFile::exists("SIO.LOG"));
        choice_ = 1;
        s.ReplyReceived = false;
        QTest::keyRelease(&w.form, Qt::Key_F1);
        QCOMPARE(prompts_, 3);
        QVERIFY(Serve([&] { return s.ReplyReceived; }));
        QCOMPARE(first.Received(), std::string("STA;0\n\r"));
        QVERIFY(w.form.PortStatus->Text().contains("Port: COM1"));

        // The dialog said why it asked each time: a port is to be chosen at
        // the first command and after Ctrl+P (with COM2, used last, offered
        // first), the classic caption after the port that would not open.
        const QString choose = "No port has been chosen yet.";
        QCOMPARE(prompted_.size(), std::size_t(3));
        QCOMPARE(prompted_[0].line1, choose);
        QCOMPARE(prompted_[0].preselect, 0);
        QCOMPARE(prompted_[1].line1, QString("The configured serial port is not valid."));
        QCOMPARE(prompted_[1].line2, QString("Please choose another port."));
        QCOMPARE(prompted_[2].line1, choose);
        QCOMPARE(prompted_[2].preselect, 2);

        // Not while a sequence waits for its answers: the wait would never end.
        first.SetDelay(std::chrono::milliseconds(300));
        bool tried = false;
        bool offWhileRunning = false;
        QTimer::singleShot(50, [&] {
            tried = true;
            offWhileRunning = !w.form.PortChoice().Action().isEnabled();
            w.form.PortChoice().Choose();  // called directly, it is refused too
        });
        QTest::mouseClick(w.form.bRead, Qt::LeftButton);
        QVERIFY(tried);
        QVERIFY(offWhileRunning);
        QVERIFY(w.form.PortChoice().Action().isEnabled());
        QCOMPARE(w.form.PortStatus->State(), TState::Open);
        QCOMPARE(first.Frames().size(), 9u);  // STA + eight recalls
    }

private:
    tarnell::QtMessageQueue queue_;
    QTemporaryDir logDir_;
    int prompts_ = 0;
    int choice_ = 1;
    tarnell::TForm1* window_ = nullptr;
    std::vector<tarnell::TPortPrompt> prompted_;  // what the dialog was to say, each time
};

TARNELL_CONSOLE_TEST_MAIN(PortInViewTest)
#include "PortInViewTest.moc"
