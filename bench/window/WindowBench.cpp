// The main window's own work between a reply and the next frame, measured on
// the real window shown in an X server (run it under Xvfb; run-window-bench.sh
// does, with a screen reader's accessibility bus off and then on).
//
//  - Turn: a far end in this process answers each recall at once and notes
//    when its reply's last byte was handed to the pseudo-terminal and when
//    the next frame's first byte arrived. Within a Readout that gap is the
//    window's turn (serial layer included). Measured for the window as it
//    ships (output changes after the next frame), for the window with its
//    output changed at once (as it was), and for the serial layer alone
//    driven the same way without a window: the reference in the same run.
//  - Readout at 9600 8E1 against tarnell-sim, which times every character on
//    the line, beside the wire time of the characters sent and received; the
//    port open, as between an operator's Readouts, and its opening timed
//    on its own.
//
//   window_bench [--readouts N] [--wire-readouts M]
#include "Percentile.h"
#include "GripperBus.h"
#include "PtyPort.h"

#include "Dialogs.h"
#include "GripperPort.h"
#include "Memo.h"
#include "PortChoice.h"
#include "QtMessageQueue.h"
#include "ScriptedDialogs.h"
#include "TarnellApplication.h"
#include "Unit1.h"

#include "base/BaseComponent.h"
#include "packet/DataPacket.h"
#include "port/ComPort.h"
#include "selection/PortSelection.h"

#include <QAccessible>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QWindow>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

using tarnell::bench::Percentile;

// A gripper at the far end of a pseudo-terminal that answers at once and
// times the gaps between its replies and the frames that follow them.
class TTimedGripper {
public:
    TTimedGripper(const sio::test::TPortDir& dir, int com) : pty_(dir, com)
    {
        bus_.AddGripper(0, "KV0050");
        thread_ = std::thread([this] { Run(); });
    }
    ~TTimedGripper()
    {
        stop_ = true;
        thread_.join();
    }
    // Gaps (µs) before the frames 2..8 of each Readout since the last call.
    std::vector<double> TakeTurns()
    {
        std::lock_guard lock(m_);
        return std::exchange(turns_, {});
    }

private:
    void Run()
    {
        std::string frame;
        Clock::time_point frameStart{}, replied{};
        bool haveReply = false;
        while (!stop_) {
            pollfd p{pty_.Master(), POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            const Clock::time_point arrived = Clock::now();
            if (!(p.revents & POLLIN)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                continue;
            }
            const std::string chunk = pty_.ReadAvailable();
            for (char c : chunk) {
                if (frame.empty())
                    frameStart = arrived;
                frame += c;
                if (frame.size() < 2 || frame.compare(frame.size() - 2, 2, "\n\r") != 0)
                    continue;
                const std::string text = frame.substr(0, frame.size() - 2);
                frame.clear();
                // "RCL;0;1" starts a Readout; the others follow a reply.
                if (haveReply && text.rfind("RCL;", 0) == 0 && text.back() != '1') {
                    std::lock_guard lock(m_);
                    turns_.push_back(Micros(frameStart - replied));
                }
                const std::string reply = bus_.Answer(text);
                pty_.Write(reply);
                replied = Clock::now();
                haveReply = true;
            }
        }
    }

    sio::test::TPtyPort pty_;
    tarnell::sim::GripperBus bus_;
    std::mutex m_;
    std::vector<double> turns_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The serial layer alone, set up and driven as the window drives it: send,
// wait serving messages, send the next.
class TBarePort {
public:
    explicit TBarePort(int com)
    {
        tarnell::portsetup::SetUpGripperPort(port_, packet_, {});
        port_.SetComNumber(static_cast<std::uint16_t>(com));
        packet_.OnStringPacket = [this](sio::TSioDataPacket*, const std::string& data) {
            if (data == frame_) {
                packet_.SetEnabled(true);
                return;
            }
            replied_ = true;
            chars_ += data.size();
            packet_.SetTimeOut(0);
            packet_.SetEnabled(true);
        };
        packet_.OnTimeout = [this](sio::TSioBaseComponent*) { timedOut_ = true; };
    }
    bool Readout()
    {
        for (int n = 1; n <= 8; ++n) {
            port_.FlushInput();
            port_.FlushOutput();
            replied_ = timedOut_ = false;
            frame_ = "RCL;0;" + std::to_string(n) + "\n\r";
            packet_.SetEnabled(false);
            packet_.SetTimeOut(25);
            packet_.SetEnabled(true);
            port_.WriteString(frame_);
            chars_ += frame_.size();
            sio::ServeMessagesUntil([this] { return replied_ || timedOut_; }, 5000);
            if (!replied_)
                return false;
        }
        return true;
    }

    sio::TSioComPort& Port() { return port_; }
    // Characters sent and received since the last call.
    std::size_t TakeChars() { return std::exchange(chars_, 0); }

private:
    std::size_t chars_ = 0;
    sio::TSioComPort port_;
    sio::TSioDataPacket packet_;
    std::string frame_;
    bool replied_ = false, timedOut_ = false;
};

int g_wantedPort = 1;

// Stands in for a screen reader on the accessibility bus: registers for the
// events one listens to, so that the window's bridge sends them (it sends
// only what someone has registered for). Returns what it registered.
QStringList ListenLikeAScreenReader()
{
    QStringList registered;
    const QDBusMessage address = QDBusConnection::sessionBus().call(
        QDBusMessage::createMethodCall("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress"));
    if (address.type() != QDBusMessage::ReplyMessage)
        return registered;
    QDBusConnection bus = QDBusConnection::connectToBus(address.arguments().value(0).toString(), "screen-reader");
    for (const char* event : {"object:", "focus:", "window:"}) {
        QDBusMessage call = QDBusMessage::createMethodCall("org.a11y.atspi.Registry", "/org/a11y/atspi/registry",
                                                           "org.a11y.atspi.Registry", "RegisterEvent");
        call << QString::fromLatin1(event);
        if (bus.call(call).type() == QDBusMessage::ReplyMessage)
            registered << QString::fromLatin1(event);
    }
    return registered;
}

// Lets the window paint what the last Readout left, as an operator's screen would.
void LetItPaint() { sio::ServeMessagesUntil([] { return false; }, 5); }

struct TTurnRow {
    const char* what;
    std::vector<double> turns;
    int failed = 0;
};

void PrintTurn(const TTurnRow& r, const char* a11y)
{
    std::printf("| Turn: %s | %s | %.0f | %.0f | %.0f | %zu |%s\n", r.what, a11y, Percentile(r.turns, 0.5),
                Percentile(r.turns, 0.9), Percentile(r.turns, 0.99), r.turns.size(),
                r.failed ? " (some Readouts failed)" : "");
}

void Run(int readouts, int wireReadouts, const char* a11y);

}  // namespace

int main(int argc, char** argv)
{
    int readouts = 300, wireReadouts = 10;
    bool screenReader = false;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--screen-reader"))
            screenReader = true;
        if (!std::strcmp(argv[i], "--readouts") && i + 1 < argc)
            readouts = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--wire-readouts") && i + 1 < argc)
            wireReadouts = std::atoi(argv[++i]);
    }
    tarnell::TApplication app(argc, argv);
    tarnell::QtMessageQueue queue;
    sio::SetMessageQueue(&queue);
    tarnell::TScriptedDialogs dialogs;  // no dialog may wait for a person
    sio::SetPortChooser([](sio::TComSelectForm& form) {
        for (int i = 0; i < static_cast<int>(form.Items().size()); ++i)
            if (form.PortOfItem(i) == g_wantedPort)
                form.SetItemIndex(i);
        return sio::mrOk;
    });
    if (screenReader) {
        const QStringList events = ListenLikeAScreenReader();
        std::printf("screen reader stand-in registered for: %s\n", qPrintable(events.join(" ")));
        // Give the bridge its turn to learn of the listeners.
        sio::ServeMessagesUntil([] { return false; }, 500);
    }
    const char* a11y = screenReader ? "on, listener" : "on";
    const char* tmp = std::getenv("TMPDIR");
    const std::string logDir = std::string(tmp ? tmp : "/tmp");
    QDir::setCurrent(QString::fromStdString(logDir));
    Run(readouts, wireReadouts, a11y);
    sio::SetPortChooser(nullptr);
    sio::SetMessageQueue(nullptr);
    return 0;
}

namespace {

void Run(int readouts, int wireReadouts, const char* a11y)
{
    sio::test::TPortDir dir;
    TTimedGripper windowEnd(dir, 1), bareEnd(dir, 2);
    tarnell::TForm1 form;
    form.show();
    sio::ServeMessagesUntil([&] { return form.isVisible() && form.windowHandle() && form.windowHandle()->isExposed(); },
                            5000);
    LetItPaint();

    // Interleaved rounds, so that a busy spell of the shared machine hits all three alike.
    TTurnRow shipped{"window (output after the next frame)", {}}, immediate{"window (output changed at once)", {}},
        bare{"serial layer alone, no window (reference)", {}};
    TBarePort barePort(2);
    const int rounds = 5;
    for (int round = 0; round < rounds; ++round) {
        for (TTurnRow* row : {&shipped, &immediate, &bare}) {
            const bool isBare = row == &bare;
            form.Memo1->SetDeferred(row == &shipped);
            TTimedGripper& end = isBare ? bareEnd : windowEnd;
            end.TakeTurns();
            for (int i = 0; i < readouts / rounds; ++i) {
                try {
                    if (isBare) {
                        if (!barePort.Readout())
                            ++row->failed;
                    } else {
                        form.bReadClick();
                        if (form.State().TimedOut)
                            ++row->failed;
                    }
                } catch (const std::exception& e) {
                    std::fprintf(stderr, "readout failed: %s\n", e.what());
                    ++row->failed;
                }
                LetItPaint();
                if (!isBare && form.Memo1->LineCount() > 2000)
                    form.Memo1->Clear();
            }
            LetItPaint();
            std::vector<double> t = end.TakeTurns();
            row->turns.insert(row->turns.end(), t.begin(), t.end());
        }
    }
    form.Memo1->SetDeferred(true);

    // A Readout at 9600 8E1: tarnell-sim times every character on the line.
    // The window and the serial layer alone each have their own simulated
    // bus, so that both ports stay open as an operator's does between
    // Readouts; the opening is timed on its own.
    std::vector<double> wireMs, readoutMs, bareMs, bareWireMs;
    double openMs = -1;
    {
        QProcess windowSim, bareSim;
        const auto startSim = [&](QProcess& sim, int com) {
            sim.start(QStringLiteral(TARNELL_SIM_PATH), {"--dir", QString::fromStdString(dir.Path()), "--com",
                                                        QString::number(com), "--baud", "9600", "--parity", "even"});
            return sim.waitForStarted(5000) &&
                   sio::ServeMessagesUntil([&] { return QFile::exists(QString::fromStdString(dir.Entry(com))); }, 5000);
        };
        if (!startSim(windowSim, 3) || !startSim(bareSim, 4)) {
            std::fprintf(stderr, "tarnell-sim did not start: %s %s\n", qPrintable(windowSim.errorString()),
                         qPrintable(bareSim.errorString()));
        } else {
            g_wantedPort = 3;
            form.PortChoice().Choose();
            TBarePort bareWire(4);
            const auto o0 = Clock::now();
            bareWire.Port().SetOpen(true);
            openMs = Micros(Clock::now() - o0) / 1000.0;
            // One Readout each first, untimed: the window's opens its port.
            bareWire.Readout();
            form.bReadClick();
            LetItPaint();
            for (int i = 0; i < wireReadouts; ++i) {
                // The serial layer alone first, then the window.
                bareWire.TakeChars();
                const auto b0 = Clock::now();
                const bool ok = bareWire.Readout();
                const double bms = Micros(Clock::now() - b0) / 1000.0;
                if (ok) {
                    bareMs.push_back(bms);
                    bareWireMs.push_back(static_cast<double>(bareWire.TakeChars()) * 11.0 * 1000.0 / 9600.0);
                }
                form.Memo1->Clear();
                const auto t0 = Clock::now();
                try {
                    form.bReadClick();
                } catch (const std::exception& e) {
                    std::fprintf(stderr, "readout failed: %s\n", e.what());
                    continue;
                }
                const double ms = Micros(Clock::now() - t0) / 1000.0;
                if (form.State().TimedOut)
                    continue;
                // Every frame and reply with its LF CR, 11 bits a character at 9600 8E1.
                std::size_t chars = 0;
                for (const QString& line : form.Memo1->Lines()) {
                    if (line.startsWith("Tx: "))
                        chars += line.size() - 4 + 2;
                    else if (line.startsWith("->Rx: "))
                        chars += line.size() - 6 + 2;
                }
                readoutMs.push_back(ms);
                wireMs.push_back(static_cast<double>(chars) * 11.0 * 1000.0 / 9600.0);
                LetItPaint();
            }
            bareWire.Port().SetOpen(false);
            windowSim.terminate();
            bareSim.terminate();
            windowSim.waitForFinished(5000);
            bareSim.waitForFinished(5000);
        }
    }

    // The bridge switches accessibility on once it has reached the bus.
    if (!QAccessible::isActive())
        a11y = "off";
    std::printf("\nwindow_bench: accessibility %s (QAccessible::isActive), platform %s, %d Readouts per turn row in "
                "%d interleaved rounds\n\n",
                a11y, qPrintable(QGuiApplication::platformName()), readouts, rounds);
    std::printf("| Measure | Accessibility | Median (µs) | p90 (µs) | p99 (µs) | Samples |\n|---|---|---|---|---|---|\n");
    PrintTurn(shipped, a11y);
    PrintTurn(immediate, a11y);
    PrintTurn(bare, a11y);
    const double shippedMedian = Percentile(shipped.turns, 0.5), bareMedian = Percentile(bare.turns, 0.5);
    std::printf("\nWindow's own share of the turn (median, shipped - serial layer alone): %.0f µs; "
                "goal for the turn: median <= 200 µs: %s\n",
                shippedMedian - bareMedian, shippedMedian <= 200 ? "met" : "NOT met");
    if (!readoutMs.empty()) {
        const double r = Percentile(readoutMs, 0.5), w = Percentile(wireMs, 0.5);
        std::printf("Readout at 9600 8E1 against tarnell-sim (accessibility %s): median %.1f ms over %zu, "
                    "wire time %.1f ms, ratio %.3fx; goal <= 1.02x: %s\n",
                    a11y, r, readoutMs.size(), w, r / w, r / w <= 1.02 ? "met" : "NOT met");
        if (!bareMs.empty()) {
            const double br = Percentile(bareMs, 0.5), bw = Percentile(bareWireMs, 0.5);
            std::printf("Readout at 9600 8E1, serial layer alone in the same run (reference): median %.1f ms over %zu, "
                        "wire time %.1f ms, ratio %.3fx\n",
                        br, bareMs.size(), bw, br / bw);
        }
    } else {
        std::printf("Readout at 9600 8E1: not measured (no Readout completed)\n");
    }
    if (openMs >= 0)
        std::printf("Opening the port at 9600 8E1 (serial layer alone; not in the Readout figures): %.1f ms\n", openMs);
}

}  // namespace
