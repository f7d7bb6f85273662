// Program entry: the application object, the serial layer's hooks into it,
// the main window, and the message loop until the window is closed.
#include "OperatorSetup.h"
#include "PortChoice.h"
#include "QtMessageQueue.h"
#include "SelectComDialog.h"
#include "StartFolder.h"
#include "TarnellApplication.h"
#include "TerminationSignals.h"
#include "Unit1.h"

#include "base/MessageQueue.h"
#include "base/BaseComponent.h"
#include "port/ComPort.h"

#include <QDir>
#include <QIcon>

#include <cstdio>
#include <cstring>

namespace {

// --help and --version are answered before the application object exists,
// so that they work without a display (the man page is made from them).
constexpr const char kHelp[] =
    "Usage: tarnell-console [QT-OPTION]...\n"
    "Set up and drive electric servo grippers on an RS-485 or RS-232 bus: send\n"
    "commands to the gripper at an address and read its replies, watch its eight\n"
    "status bits, and read, edit, send and store the parameters of its eight\n"
    "storage places, in a window.\n"
    "\n"
    "The first command asks for the serial port. The line is 9600 baud, 8 data\n"
    "bits, even parity (switchable to none), 1 stop bit.\n"
    "\n"
    "Options:\n"
    "  --own-folder      work in Documents/Tarnell Console (created when needed;\n"
    "                    XDG's documents folder) instead of the current folder:\n"
    "                    SIO.LOG goes there and the file dialogs start there.\n"
    "                    The desktop menu's entry starts the console so.\n"
    "  --help            print this help and exit\n"
    "  --version         print the version and exit\n"
    "  -platform NAME    Qt's platform plugin: xcb, wayland, offscreen, ...\n"
    "  -display DISPLAY  the X display to use\n"
    "and Qt's other options, as for every Qt program.\n";

}  // namespace


int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::puts("tarnell-console " TARNELL_VERSION);
        return 0;
    }

    // No application display name: Qt's X11 platform would append it to
    // every window title, and the main window's caption is to stand alone.
    tarnell::TApplication app(argc, argv);
    // A portable copy keeps its set-up and its files beside itself.
    const QString portable = tarnell::PortableFolder();
    tarnell::LeaveProgramFolder(QCoreApplication::arguments().contains(QStringLiteral("--own-folder")), portable);
    if (!portable.isEmpty())
        tarnell::TOperatorSetup::KeepIn(QDir(portable).filePath(QLatin1String(tarnell::kPortableSetup)));
    // The windows are built in the language of the desktop or the one the
    // operator chose; a new choice applies at the next start.
    tarnell::InstallLanguage(tarnell::TOperatorSetup::KeptLanguage());
    // The installed desktop entry and icon: a desktop shows them for the window.
    QGuiApplication::setDesktopFileName(QStringLiteral("com.tarnell.Console"));
    QGuiApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("tarnell-console")));

    // The serial threads reach the main thread through this queue, and ask
    // the operator for a port through the selection dialog.
    tarnell::QtMessageQueue queue;
    sio::SetMessageQueue(&queue);
    tarnell::InstallPortChooser();

    int result = 0;
    // The Windows handlers may still call closeNow after the window and its
    // set-up have gone (a console event during the last deliveries below).
    bool formAlive = true;
    {
        tarnell::TForm1 form;  // owns the port component: closed before the queue goes
        // The dialog says why it asks, and offers the port used last first.
        tarnell::InstallPortChooser([&form] { return form.PortChoice().Prompt(); });
        // The operator's set-up of the last run, written again on every
        // change and once more at the end.
        tarnell::TOperatorSetup setup(form);
        struct TGone {
            bool& alive;
            ~TGone() { alive = false; }
        } gone{formAlive};  // destroyed before setup and form
        tarnell::CloseOnTerminationSignal(&form, [&form, &setup, &formAlive] {
            if (!formAlive)
                return;  // saved and closed by their destructors already
            // The process ends now: the set-up first, it is the quicker.
            setup.Flush();
            try {
                form.ComPort->SetOpen(false);
            } catch (...) {
                // A close that fails has nobody left to tell.
            }
        });
        setup.Load();
        form.show();
        setup.Reopen();
        setup.Watch();
        result = app.exec();
        setup.Save();
        tarnell::InstallPortChooser();
    }
    // A close still waiting for its threads, and collectors' managers whose
    // release was deferred, finish through the queue: serve it until they
    // have (a close waits at most a few seconds for its threads).
    // The wait sleeps between messages.
    sio::ServeMessagesUntil([&queue] { return queue.PendingCount() == 0; }, 10000);
    sio::SetMessageQueue(nullptr);
    return result;
}
