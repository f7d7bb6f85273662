#include "PortChoice.h"

#include "TarnellApplication.h"

#include "port/ComPort.h"

#include <QAction>
#include <QWidget>

namespace tarnell {

TPortChoice::TPortChoice(sio::TSioCustomComPort& port, QWidget& window, std::function<bool()> allowed,
                         std::function<void()> changed)
    : QObject(&window), port_(port), allowed_(std::move(allowed)), changed_(std::move(changed))
{
    action_ = new QAction(tr("Choose another port…"), &window);
    action_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_P));
    action_->setShortcutContext(Qt::WindowShortcut);
    action_->setToolTip(tr("Close the port; the next command asks for a port (Ctrl+P)"));
    window.addAction(action_);
    connect(action_, &QAction::triggered, this, Guarded([this] { Choose(); }));
}

void TPortChoice::Choose()
{
    // A sequence waiting for its answer would wait for ever on a closed port.
    if (allowed_ && !allowed_())
        return;
    // The number goes even if the close reports a failure: the operator
    // asked for another port.
    struct TForget {
        TPortChoice& self;
        ~TForget() { self.LetGo(false); }
    } forget{*this};
    port_.SetOpen(false);
}

void TPortChoice::Forget() { LetGo(true); }

void TPortChoice::LetGo(bool failed)
{
    if (port_.PortState() != sio::StateClosed)
        return;
    // A port that would not open is no one to offer first next time.
    const int number = port_.ComNumber();
    if (!failed && number != 0)
        lastPort_ = number;
    else if (failed && number == lastPort_)
        lastPort_ = 0;
    failed_ = failed;
    port_.SetComNumber(0);
    if (changed_)
        changed_();
}

int TPortChoice::LastPort() const { return port_.ComNumber() != 0 ? port_.ComNumber() : lastPort_; }

TPortPrompt TPortChoice::Prompt() const
{
    TPortPrompt prompt;
    prompt.preselect = lastPort_;
    if (!failed_) {
        prompt.line1 = tr("No port has been chosen yet.");
        prompt.line2 = tr("Please choose the gripper port.");
    }
    return prompt;
}

}  // namespace tarnell
