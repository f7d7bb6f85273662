// Ending the program from outside closes the main window as the operator's
// close would: a waiting sequence ends, the port closes and its dispatch log
// is written. On Linux that is SIGTERM, SIGINT and SIGHUP (a desktop logout,
// Ctrl+C in a terminal); on Windows the console window it was started from
// being closed, Ctrl+C or Ctrl+Break there, and the end of the session.
// Without this the process would end on the spot and lose the log.
#pragma once

#include <functional>

class QWidget;

namespace tarnell {

// Installs the handlers; window is closed on the main thread when one of the
// events arrives. closeNow closes the port at once: it runs where the system
// ends the process as soon as the event is answered (Windows' session end
// and console close), before the window's own teardown could. Call once,
// after the application object exists.
void CloseOnTerminationSignal(QWidget* window, std::function<void()> closeNow = {});

}  // namespace tarnell
