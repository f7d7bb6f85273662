// SIGTERM, SIGINT and SIGHUP close the main window as the operator's close
// would: a waiting sequence ends, the port closes and its dispatch log is
// written. Without this a desktop logout or Ctrl+C in a terminal would end
// the process on the spot and lose the log.
#pragma once

class QWidget;

namespace tarnell {

// Installs the handlers; window is closed on the main thread when one of the
// signals arrives. Call once, after the application object exists.
void CloseOnTerminationSignal(QWidget* window);

}  // namespace tarnell
