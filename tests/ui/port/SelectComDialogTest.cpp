// The port selection dialog on pseudo-terminals.
#include "SelectComDialog.h"

#include "PtyPort.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>

class SelectComDialogTest : public QObject {
    Q_OBJECT
private:
    // Runs action once the modal dialog is up, then returns ShowModal's result.
    static int ShowAndDo(tarnell::SelectComDialog& d, std::function<void()> action)
    {
        QTimer::singleShot(0, &d, [&d, action] {
            QVERIFY(QTest::qWaitForWindowExposed(&d, 5000));
            action();
        });
        // If the action does not end the dialog, end it so the test fails
        // instead of hanging.
        QTimer::singleShot(10000, &d, [&d] { d.done(99); });
        return d.ShowModal();
    }

    std::unique_ptr<sio::test::TPortDir> dir;
    std::unique_ptr<sio::test::TPtyPort> com2, com5;

private slots:
    void init()
    {
        dir = std::make_unique<sio::test::TPortDir>();
        com2 = std::make_unique<sio::test::TPtyPort>(*dir, 2);
        com5 = std::make_unique<sio::test::TPtyPort>(*dir, 5);
    }
    void cleanup()
    {
        sio::SetPortChooser(nullptr);
        com5.reset();
        com2.reset();
        dir.reset();
    }

    void showsTheListTextsAndTheDevice()
    {
        sio::TComSelectForm form;
        tarnell::SelectComDialog d(form);
        QCOMPARE(d.windowTitle(), QString("Select Port"));
        QCOMPARE(d.findChild<QLabel*>("Label1")->text(), QString("The configured serial port is not valid."));
        QCOMPARE(d.findChild<QLabel*>("Label2")->text(), QString("Please choose another port."));
        QComboBox* box = d.PortsComboBox();
        QCOMPARE(box->count(), 2);
        QCOMPARE(box->itemText(0), QString("COM2"));
        QCOMPARE(box->itemText(1), QString("COM5"));
        QCOMPARE(box->currentIndex(), 0);
        QVERIFY(!box->isEditable());
        QCOMPARE(d.DeviceLabel()->text(), QString::fromStdString(com2->SlavePath()));
        box->setCurrentIndex(1);
        QCOMPARE(d.DeviceLabel()->text(), QString::fromStdString(com5->SlavePath()));
        QCOMPARE(d.OkBtn()->text(), QString("OK"));
        QVERIFY(d.OkBtn()->isDefault());
        QCOMPARE(d.AbortBtn()->text(), QString("Cancel"));
    }

    void enterConfirmsTheSelectedPort()
    {
        sio::TComSelectForm form;
        tarnell::SelectComDialog d(form);
        int r = ShowAndDo(d, [&] {
            d.PortsComboBox()->setCurrentIndex(1);
            QTest::keyClick(&d, Qt::Key_Return);
        });
        QCOMPARE(r, sio::mrOk);
        QCOMPARE(form.SelectedPort(), 5);
    }

    void escapeDoesNothingAndCancelAborts()
    {
        sio::TComSelectForm form;
        tarnell::SelectComDialog d(form);
        bool visibleAfterEscape = false;
        int r = ShowAndDo(d, [&] {
            QTest::keyClick(&d, Qt::Key_Escape);
            QTest::keyClick(d.PortsComboBox(), Qt::Key_Escape);
            visibleAfterEscape = d.isVisible();
            QTest::mouseClick(d.AbortBtn(), Qt::LeftButton);
        });
        QVERIFY(visibleAfterEscape);
        QCOMPARE(r, sio::mrAbort);
    }

    void closingByTheTitleBarIsACancel()
    {
        sio::TComSelectForm form;
        tarnell::SelectComDialog d(form);
        int r = ShowAndDo(d, [&] { d.close(); });
        QCOMPARE(r, sio::mrCancel);
    }

    void theInstalledChooserShowsTheDialog()
    {
        tarnell::InstallPortChooser();
        sio::TComSelectForm form;
        QTimer::singleShot(0, [] {
            QTRY_VERIFY_WITH_TIMEOUT(QApplication::activeModalWidget() != nullptr, 5000);
            auto* d = qobject_cast<tarnell::SelectComDialog*>(QApplication::activeModalWidget());
            QVERIFY(d);
            d->PortsComboBox()->setCurrentIndex(1);
            QTest::mouseClick(d->OkBtn(), Qt::LeftButton);
        });
        QCOMPARE(form.ShowModal(), sio::mrOk);
        QCOMPARE(form.SelectedPort(), 5);
    }

    void thePromptSetsTheCaptionAndThePortOfferedFirst()
    {
        tarnell::TPortPrompt prompt{"No port has been chosen yet.", "Please choose the gripper port.", 5};
        tarnell::InstallPortChooser([&] { return prompt; });
        for (int round = 0; round < 2; ++round) {
            sio::TComSelectForm form;
            QString line1;
            QTimer::singleShot(0, [&] {
                QTRY_VERIFY_WITH_TIMEOUT(QApplication::activeModalWidget() != nullptr, 5000);
                auto* d = qobject_cast<tarnell::SelectComDialog*>(QApplication::activeModalWidget());
                QVERIFY(d);
                line1 = d->findChild<QLabel*>("Label1")->text();
                QTest::keyClick(d, Qt::Key_Return);
            });
            QCOMPARE(form.ShowModal(), sio::mrOk);
            // A port no longer listed leaves the first one selected.
            QCOMPARE(form.SelectedPort(), round == 0 ? 5 : 2);
            QCOMPARE(line1, QString("No port has been chosen yet."));
            prompt.preselect = 7;
        }
    }

    void anEmptyListStillShows()
    {
        com2.reset();
        com5.reset();
        sio::TComSelectForm form;
        tarnell::SelectComDialog d(form);
        QCOMPARE(d.PortsComboBox()->count(), 0);
        QVERIFY(d.DeviceLabel()->text().isEmpty());
        int r = ShowAndDo(d, [&] { QTest::keyClick(&d, Qt::Key_Enter); });
        QCOMPARE(r, sio::mrOk);
        QVERIFY_THROWS_EXCEPTION(sio::EConvertError, form.SelectedPort());
    }
};

QTEST_MAIN(SelectComDialogTest)
#include "SelectComDialogTest.moc"
