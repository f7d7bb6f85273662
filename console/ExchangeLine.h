// The conversation on the window's gripper port.
//
// The line has one owner. A gripper bus is half-duplex, and a reply says
// nothing of the command it answers beyond the address: so every exchange
// (the frame, the address it was built for, the collector armed for it, its
// reply or its time-out) goes through TExchangeLine, one at a time, and its
// reply reaches only the one that asked. The operator's commands (function
// keys, the command line), Readout and Send, Verify, the bus scan and the
// monitor's polls are all its clients; none writes to the port or arms the
// collector itself. A command that finds an exchange on the wire waits for
// its answer or its time-out before it is sent. A multi-frame action fixes
// its gripper at its start. Only an operator's command opens the port (and
// so may show the port dialog); a background exchange needs an open port.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace tarnell {

class TForm1;

// One exchange as its asker hands it over.
struct TExchange {
    std::string command;  // as it goes out, the address in it
    // The limit of the collector armed for it, in ticks; 0 for none.
    int ticks = 0;
    // An operator's command is shown ("Tx: ", "->Rx: "), its time-out is a
    // message, and its reply may set the type and the status boxes. A quiet
    // one is not shown: its answer (or nothing, at the time-out) goes to done.
    bool quiet = false;
    // Not the operator's (a poll, a scan): never opens a port.
    bool background = false;
    std::function<void(std::optional<std::string>)> done;
};

class TExchangeLine {
public:
    explicit TExchangeLine(TForm1& form);

    // Sends the exchange: the port opens first unless the exchange is a
    // background one. The line must be free (Busy() false); throws what the
    // port throws, or EPortError for a background exchange without a port.
    void Start(TExchange exchange);
    // A frame is out and neither its answer nor its time-out has come.
    bool Busy() const;
    // The gripper the exchange on the wire was built for, if it names one.
    std::optional<int> Address() const { return address_; }
    // The port is open and its device there: what a background exchange needs.
    bool PortOpen() const;
    // Serves the window until the line is free: at most the exchange's own
    // limit and a grace, after which it counts as unanswered. False when
    // the window closes meanwhile.
    bool AwaitFree();
    // The exchange on the wire will get no answer (the port closed under
    // it, or its asker stopped waiting): it ends as timed out, quietly, and
    // nobody is handed what may still come for it.
    void GiveUp();

    // The collector's events: the packet or the time-out goes to the
    // exchange it belongs to.
    void Packet(const std::string& data);
    void Timeout();

private:
    void QuietReply(const std::string& data);

    TForm1& form_;
    bool owed_ = false;   // a frame went out; its answer or time-out ends the wait
    bool quiet_ = false;  // the exchange under way is quiet
    int ticks_ = 0;
    std::optional<int> address_;
    std::function<void(std::optional<std::string>)> done_;
};

}  // namespace tarnell
