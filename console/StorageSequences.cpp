// Reading and writing the eight storage places: one command per place, each
// sent only after the answer to the one before.
#include "Unit1.h"

#include "ConsoleErrors.h"
#include "ConsoleStrings.h"
#include "Dialogs.h"
#include "GroupBoxes.h"
#include "GripperProtocol.h"
#include "Memo.h"
#include "PortChoice.h"
#include "StringGrid.h"

#include "base/BaseComponent.h"

#include <QAction>
#include <QPushButton>

#include <functional>

namespace tarnell {

namespace {

QString Text(const std::string& bytes) { return QString::fromLatin1(bytes.data(), qsizetype(bytes.size())); }

// Runs its call when the scope ends, however it ends.
struct TAtExit {
    std::function<void()> call;
    ~TAtExit() { call(); }
};

}  // namespace

void TForm1::SetSequenceRunning(bool running)
{
    sequenceRunning_ = running;
    if (sequenceShown_ == running)
        return;
    sequenceShown_ = running;
    emit sequenceChanged(running);
    // A second sequence, a free command or a file loaded into the grids in
    // the middle of one would mix two exchanges or two sets of values.
    for (QPushButton* b : {bRead, bSenden, bSenden2, bOpen, bClearStringGrid})
        b->setEnabled(!running);
    // The grids and the type rest too: Send writes what it checked at the
    // click, and Readout's replies must not meet an operator's edit in a
    // cell. An editor open now is closed; its text is in its cell already.
    for (TStringGrid* grid : {StringGrid1, StringGrid2})
        grid->SetEditing(!running);
    rgGripperType->setEnabled(!running);
    // A sequence keeps the gripper of its click: what would change it rests
    // (the bus window's choice listens to sequenceChanged).
    meAdresse->setEnabled(!running);
    // Answers come fast: the output gathers their lines and changes (and
    // repaints) right after a frame has gone out, now and then.
    Memo1->SetHold(running ? kSequenceOutputPeriodMs : 0);
    // Another port now would leave the sequence waiting on a closed one.
    portChoice_->Action().setEnabled(!running);
}

bool TForm1::WaitForAnswer()
{
    // Sleeps between messages: the reply and time-out handlers run inside.
    sio::ServeMessagesUntil([this] { return state_.TimedOut || state_.ReplyReceived || closing_; }, sio::kWaitForever);
    return !closing_;
}

bool TForm1::WaitForOwedAnswer()
{
    // An exchange whose answer is still on its way (a function key's, a
    // poll's): that answer would be taken for the next command's, and the
    // next command's input flush would cut the ones after it.
    if (!line_->Busy())
        return !closing_;
    if (sequenceRunning_ && sequenceShown_)
        return line_->AwaitFree();
    // Operator input runs during this wait: what would send rests, so that
    // no second command overtakes this one.
    const bool own = !sequenceRunning_;
    sequenceRunning_ = true;
    SetSequenceRunning(true);
    const bool free = line_->AwaitFree();
    if (own)
        SetSequenceRunning(false);
    return free;
}

void TForm1::bReadClick()
{
    if (sequenceRunning_)
        return;
    // Until the first frame is out nothing serves operator input, so the
    // buttons change after it, while the line carries it.
    sequenceRunning_ = true;
    TAtExit done{[this] { SetSequenceRunning(false); }};
    // The gripper of the click, for every place.
    const int address = state_.GripperAddress;
    if (!WaitForOwedAnswer())
        return;
    for (int n = 1; n <= protocol::kPlaceCount; ++n) {
        SendCommand(protocol::RecallCommand(address, n));
        if (n == 1)
            SetSequenceRunning(true);
        if (!WaitForAnswer() || state_.TimedOut)
            return;
        std::optional<protocol::TRecallFields> f;
        try {
            f = protocol::ParseRecall(state_.LastReply);
        } catch (const protocol::EConvertError& e) {
            throw EConvertError(strings::Tr(strings::kConvertError).arg(Text(e.Text())));
        }
        // Only a reply naming a storage place fills a row; place 0 would
        // otherwise overwrite the grid's headings.
        if (!f || !protocol::IsStoragePlace(f->place))
            continue;
        if (f->place == protocol::kReferencePlace) {
            StringGrid2->SetCell(1, 1, Text(f->grip));
            StringGrid2->SetCell(2, 1, Text(f->provision));
        } else {
            StringGrid1->SetCell(1, f->place, Text(f->grip));
            StringGrid1->SetCell(2, f->place, Text(f->provision));
            StringGrid1->SetCell(3, f->place, Text(f->force));
        }
    }
}

void TForm1::bSendenClick()
{
    if (sequenceRunning_)
        return;
    // What goes out is what is checked here, at the click: the waits below
    // serve the window, and nothing done meanwhile may reach the gripper
    // unchecked or half of it.
    const std::vector<std::string> lines = file_->Lines();
    // Everything that would go out is checked before the first frame: a
    // value the grids' own checks never saw (loaded from a file, or typed
    // and sent without leaving the cell) must not reach the gripper.
    if (std::optional<TSendProblem> problem = FirstUnsendableCell(lines, rgGripperType->ItemIndex())) {
        Dialogs().ShowMessage(this, SendRefusedMessage(*problem), TMessageKind::Error);
        return;
    }
    const protocol::TPlaces places = protocol::PlacesFromLines(lines);
    // The gripper too is the click's: every place goes to it.
    const int address = state_.GripperAddress;
    lastSend_ = TSent{address, places, {}, 0};
    sequenceRunning_ = true;  // the buttons change after the first frame
    TAtExit done{[this] { SetSequenceRunning(false); }};
    if (!WaitForOwedAnswer())
        return;
    // One place: sent, then its answer awaited; false if the window closes.
    auto store = [&](int n, const std::string& command) {
        SendCommand(command);
        lastSend_.sent.push_back(n);
        SetSequenceRunning(true);
        if (!WaitForAnswer())
            return false;
        if (state_.ReplyReceived)
            ++lastSend_.answered;
        return true;
    };
    for (int n = 1; n < protocol::kReferencePlace; ++n) {
        const protocol::TPlaceTexts& row = places[std::size_t(n - 1)];
        if (row.grip.empty() || row.provision.empty() || row.force.empty())
            continue;
        if (!store(n, protocol::StoreCommand(address, n, row.grip, row.provision, row.force)))
            return;
        if (state_.TimedOut)
            break;  // the rest is skipped, the reference row still goes
    }
    const protocol::TPlaceTexts& reference = places[std::size_t(protocol::kReferencePlace - 1)];
    if (reference.grip.empty() || reference.provision.empty())
        return;
    store(protocol::kReferencePlace, protocol::ReferenceStoreCommand(address, reference.grip, reference.provision));
}

}  // namespace tarnell
