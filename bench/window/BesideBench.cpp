// What the window's views beside the form cost: the bus scan of addresses
// 0..32 with one gripper, against tarnell-sim with wire timing on (every
// character takes its 1.15 ms at 9600 8E1), beside the wire time of the
// same frames; and the CPU share of the status monitor polling every
// 200 ms, beside the same window idle. Offscreen; the figures go to
// bench/RESULTS.md.
//   beside_bench [--scans N] [--seconds S]
#include "BusPanel.h"
#include "QtMessageQueue.h"
#include "ScriptedDialogs.h"
#include "StatusMonitor.h"
#include "TarnellApplication.h"
#include "Unit1.h"

#include <QLineEdit>
#include <QTreeWidget>
#include <QSpinBox>

#include "PtyPort.h"

#include "base/BaseComponent.h"
#include "selection/PortSelection.h"

#include <QFile>
#include <QProcess>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double CpuSeconds()
{
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Bytes on the wire in the simulator's log (rx and tx), LF CR included;
// the log writes \n, \r, \\ and \xNN for one byte each.
long WireBytes(const QString& logPath)
{
    QFile log(logPath);
    if (!log.open(QIODevice::ReadOnly))
        return -1;
    long bytes = 0;
    for (const QByteArray& line : log.readAll().split('\n')) {
        const int at = std::max(line.indexOf(" rx "), line.indexOf(" tx "));
        if (at < 0)
            continue;
        const QByteArray b = line.mid(at + 4);
        for (int i = 0; i < b.size(); ++i, ++bytes)
            if (b[i] == '\\')
                i += b.at(i + 1) == 'x' ? 3 : 1;
    }
    return bytes;
}

}  // namespace

int main(int argc, char** argv)
{
    int scans = 5, seconds = 30;
    for (int i = 1; i + 1 < argc; ++i) {
        if (!std::strcmp(argv[i], "--scans"))
            scans = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--seconds"))
            seconds = std::atoi(argv[++i]);
    }
    tarnell::TApplication app(argc, argv);
    tarnell::QtMessageQueue queue;
    sio::SetMessageQueue(&queue);
    tarnell::TScriptedDialogs dialogs;
    sio::SetPortChooser([](sio::TComSelectForm& form) {
        form.SetItemIndex(0);
        return sio::mrOk;
    });
    sio::test::TPortDir dir;
    const QString log = QString::fromStdString(dir.Path()) + "/sim.log";
    QProcess sim;
    sim.start(QStringLiteral(TARNELL_SIM_PATH),
              {"--dir", QString::fromStdString(dir.Path()), "--com", "1", "--address", "5", "--log", log});
    if (!sim.waitForStarted(5000) ||
        !sio::ServeMessagesUntil([&] { return QFile::exists(QString::fromStdString(dir.Entry(1))); }, 5000)) {
        std::fprintf(stderr, "tarnell-sim did not start\n");
        return 1;
    }
    int status = 0;
    {
        tarnell::TForm1 form;
        form.show();
        // The operator's command opens the port: a scan opens none.
        form.SendCommand("STA;5");
        if (!sio::ServeMessagesUntil([&] { return form.State().ReplyReceived; }, 5000)) {
            std::fprintf(stderr, "the gripper at 5 did not answer\n");
            return 1;
        }
        tarnell::TBusPanel& bus = form.Bus();
        bus.show();
        std::vector<double> scanMs;
        long wireBytes = 0;
        int found = 0;
        for (int i = 0; i <= scans; ++i) {
            QFile::resize(log, 0);
            bus.Scan();  // the first warms up: not counted
            if (i == 0)
                continue;
            scanMs.push_back(double(bus.LastDuration().count()));
            wireBytes = WireBytes(log);
            found = bus.List->topLevelItemCount();
        }
        // 11 bits a character at 9600 baud.
        const double wireMs = wireBytes * 11.0 * 1000.0 / 9600.0;
        std::printf("bus scan 0..32, one gripper (at 5), limit %d ticks, tarnell-sim with wire timing:\n",
                    bus.Ticks->value());
        std::printf("  scan: median %.0f ms over %d scans (%d found); wire time of its %ld bytes: %.0f ms;"
                    " 32 silent addresses x 3 ticks: %d ms\n",
                    Median(scanMs), scans, found, wireBytes, wireMs, 32 * 3 * 55);
        bus.hide();

        // The same window, idle, then with the monitor polling every 200 ms.
        const auto measure = [&](const char* what) {
            const double c0 = CpuSeconds();
            const auto t0 = Clock::now();
            sio::ServeMessagesUntil([] { return false; }, std::uint32_t(seconds * 1000));
            const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
            const double share = (CpuSeconds() - c0) / wall * 100.0;
            std::printf("  %-40s %.2f %% of a core over %.0f s\n", what, share, wall);
            return share;
        };
        std::printf("status monitor, CPU of the whole console process:\n");
        measure("window idle, port open");
        form.meAdresse->setText(QStringLiteral("5"));
        tarnell::TStatusMonitor& monitor = form.Monitor();
        monitor.show();
        const std::size_t before = monitor.Timeline->Samples().size();
        measure("monitor polling every 200 ms");
        const std::size_t polls = monitor.Timeline->Samples().size() - before;
        std::printf("  %zu polls answered in %d s (%.1f per second)\n", polls, seconds, double(polls) / seconds);
        monitor.hide();
        status = found == 1 ? 0 : 1;
    }
    sim.terminate();
    sim.waitForFinished();
    sio::SetPortChooser(nullptr);
    sio::SetMessageQueue(nullptr);
    return status;
}
