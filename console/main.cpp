// Program entry: the application object, the serial layer's hooks into it,
// the main window, and the message loop until the window is closed.
#include "QtMessageQueue.h"
#include "SelectComDialog.h"
#include "TarnellApplication.h"
#include "TerminationSignals.h"
#include "Unit1.h"

#include "SioMessageQueue.h"
#include "SioMisc.h"


int main(int argc, char** argv)
{
    // No application display name: Qt's X11 platform would append it to
    // every window title, and the main window's caption is to stand alone.
    tarnell::TApplication app(argc, argv);

    // The serial threads reach the main thread through this queue, and ask
    // the operator for a port through the selection dialog.
    tarnell::QtMessageQueue queue;
    sio::SetMessageQueue(&queue);
    tarnell::InstallPortChooser();

    int result = 0;
    {
        tarnell::TForm1 form;  // owns the port component: closed before the queue goes
        tarnell::CloseOnTerminationSignal(&form);
        form.show();
        result = app.exec();
    }
    // A close still waiting for its threads, and collectors' managers whose
    // release was deferred, finish through the queue: serve it until they
    // have (a close waits at most a few seconds for its threads).
    // The wait sleeps between messages.
    sio::ServeMessagesUntil([&queue] { return queue.PendingCount() == 0; }, 10000);
    sio::SetMessageQueue(nullptr);
    return result;
}
