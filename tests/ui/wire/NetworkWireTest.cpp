// The console on a network port: the real window, headless, with COM5 of
// the port folder linked to a ser2net accepter in front of tarnell-sim.
// The operator picks COM5 in the port dialog, which shows its address; F1,
// Readout and the parity switch go over RFC 2217.
#include "BusPanel.h"
#include "ConsoleFixture.h"
#include "DelayRelay.h"
#include "PtyPort.h"
#include "Ser2net.h"

#include "QtMessageQueue.h"
#include "SelectComDialog.h"

#include "base/BaseComponent.h"
#include "devices/network/NetworkDispatcher.h"
#include "port/ComPort.h"
#include "selection/PortSelection.h"

#include <QComboBox>
#include <QSpinBox>
#include <QTreeWidget>
#include <QLabel>
#include <QTemporaryDir>

#include <filesystem>

using tarnell::test::TWindow;

class NetworkWireTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        sio::SetMessageQueue(&queue_);
        QVERIFY(work_.isValid());
        QDir::setCurrent(work_.path());
    }
    void cleanupTestCase()
    {
        sio::SetPortChooser(nullptr);
        sio::SetMessageQueue(nullptr);
    }

    void f1ReadoutAndParityGoOverRfc2217ToTheSimulator()
    {
        namespace fs = std::filesystem;
        sio::test::TPortDir dir;
        sio::test::TProcess sim({TARNELL_SIM, "--dir", dir.Path(), "--com", "1", "--no-wire-timing"},
                                dir.Path() + "/sim.out");
        QVERIFY(sio::test::AwaitSign([&] { return fs::exists(dir.Entry(1)); }));
        sio::test::TSer2net server(dir.Path(), {{"telnet(rfc2217)", fs::canonical(dir.Entry(1)).string()}});
        // The simulator's own link goes: the operator has only the network port.
        fs::rename(dir.Entry(1), dir.Path() + "/sim-pty");
        fs::create_symlink(server.Url(0), dir.Entry(5));

        // The port dialog lists COM5 and shows its address beside it.
        QString shown;
        int prompts = 0;
        sio::SetPortChooser([&](sio::TComSelectForm& form) {
            ++prompts;
            tarnell::SelectComDialog dialog(form);
            shown = dialog.findChild<QLabel*>("DeviceLabel")->text();
            [&] { QCOMPARE(dialog.PortsComboBox()->currentText(), QString("COM5")); }();
            form.SetItemIndex(0);
            return sio::mrOk;
        });

        TWindow w;
        QVERIFY(w.Activate());
        QTest::keyRelease(&w.form, Qt::Key_F1);
        QVERIFY(sio::ServeMessagesUntil([&] { return w.form.State().ReplyReceived; }, 5000));
        QCOMPARE(prompts, 1);
        QCOMPARE(shown, QString::fromStdString("network port " + server.Url(0)));
        QCOMPARE(w.form.Memo1->Line(0), QString("->Rx: STA;0:192;"));
        QCOMPARE(w.form.ComPort->DeviceLayer(), sio::dlWinsock);

        QTest::mouseClick(w.form.bRead, Qt::LeftButton);
        for (int row = 1; row <= 7; ++row)
            QCOMPARE(w.form.StringGrid1->Cell(1, row), QString::number(100 + 50 * (row - 1)));
        QCOMPARE(w.form.StringGrid2->Cell(2, 1), QString("15"));

        // Parity none in the window: ser2net answers SET-PARITY with it.
        auto* d = dynamic_cast<sio::TSioNetworkDispatcher*>(w.form.ComPort->Dispatcher());
        QVERIFY(d);
        QTest::mouseClick(w.form.rgParity->Button(1), Qt::LeftButton);
        QVERIFY(sio::test::AwaitSign(
            [&] { return d->ServerValue(sio::telnet::cpSetParity) == sio::telnet::cpParityNone; }));
        w.form.State().ReplyReceived = false;
        QTest::keyRelease(&w.form, Qt::Key_F1);
        QVERIFY(sio::ServeMessagesUntil([&] { return w.form.State().ReplyReceived; }, 5000));
        QVERIFY(w.dialogs.Messages().isEmpty());
    }

    // A slow link (60 ms each way) between the window and ser2net: the
    // frame waits a round trip for the purge answers before it leaves, and
    // the answer needs another. The scan with its defaults still finds
    // every gripper, as it does on a local port.
    void theBusScanWithItsDefaultsFindsEveryGripperOverASlowLink()
    {
        namespace fs = std::filesystem;
        sio::test::TPortDir dir;
        sio::test::TProcess sim({TARNELL_SIM, "--dir", dir.Path(), "--com", "1", "--no-wire-timing", "--address",
                                 "3:KV0050", "--address", "17:KV0150"},
                                dir.Path() + "/sim.out");
        QVERIFY(sio::test::AwaitSign([&] { return fs::exists(dir.Entry(1)); }));
        sio::test::TSer2net server(dir.Path(), {{"telnet(rfc2217)", fs::canonical(dir.Entry(1)).string()}});
        sio::test::TDelayRelay link("127.0.0.1", server.Port(0), 60);
        fs::rename(dir.Entry(1), dir.Path() + "/sim-pty");
        fs::create_symlink(link.Url(), dir.Entry(5));
        sio::SetPortChooser([&](sio::TComSelectForm& form) {
            form.SetItemIndex(0);
            return sio::mrOk;
        });

        TWindow w;
        QVERIFY(w.Activate());
        // The operator opens the port: a readout of the gripper at 3.
        w.form.meAdresse->setText("3");
        QTest::mouseClick(w.form.bRead, Qt::LeftButton);
        QVERIFY2(w.dialogs.Messages().isEmpty(), qPrintable(w.dialogs.Messages().join("|")));
        QCOMPARE(w.form.StringGrid1->Cell(1, 1), QString("100"));
        QVERIFY(w.form.ComPort->LinkRoundTripMs() >= 120);

        tarnell::TBusPanel& bus = w.form.Bus();
        QTest::keyClick(&w.form, Qt::Key_B, Qt::ControlModifier);
        QVERIFY(bus.isVisible());
        QCOMPARE(bus.From->value(), 0);
        QCOMPARE(bus.To->value(), 32);
        QCOMPARE(bus.Ticks->value(), 3);
        QTest::mouseClick(bus.ScanButton, Qt::LeftButton);
        QStringList found;
        for (int i = 0; i < bus.List->topLevelItemCount(); ++i)
            found << bus.List->topLevelItem(i)->text(0);
        QCOMPARE(found, QStringList({"3", "17"}));
        QVERIFY2(bus.Summary->text().contains("2 gripper(s) found"), qPrintable(bus.Summary->text()));
        QVERIFY(w.dialogs.Messages().isEmpty());
        sio::SetPortChooser(nullptr);
    }

private:
    tarnell::QtMessageQueue queue_;
    QTemporaryDir work_;
};

TARNELL_CONSOLE_TEST_MAIN(NetworkWireTest)
#include "NetworkWireTest.moc"
