// Choosing another port: the action closes the port (its dispatch log is
// written then, as at every close) and forgets its number, so that the next
// command asks with the port dialog. A port that failed to open (in use,
// missing) is forgotten the same way, so the operator is offered the dialog
// again instead of the same failing number.
#pragma once

#include "SelectComDialog.h"

#include <QObject>

#include <functional>

class QAction;
class QWidget;

namespace sio {
class TSioCustomComPort;
}

namespace tarnell {

class TPortChoice final : public QObject {
    Q_OBJECT
public:
    // allowed: whether the port may be changed now (not while a sequence
    // waits for its answers); changed: run after the port was let go.
    TPortChoice(sio::TSioCustomComPort& port, QWidget& window, std::function<bool()> allowed,
                std::function<void()> changed);

    // "Choose another port…", Ctrl+P in the whole window.
    QAction& Action() { return *action_; }

    void Choose();
    // After an opening that failed: the next command asks again.
    void Forget();

    // What the port dialog says now: that a port is to be chosen (at the
    // first command, after Choose), or that the port would not open; with
    // the port used last selected, where it is still listed.
    TPortPrompt Prompt() const;

private:
    void LetGo(bool failed);

    sio::TSioCustomComPort& port_;
    int lastPort_ = 0;     // the port last let go of by the operator's choice
    bool failed_ = false;  // the last port let go of would not open
    std::function<bool()> allowed_;
    std::function<void()> changed_;
    QAction* action_;
};

}  // namespace tarnell
