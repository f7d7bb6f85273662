// tarnell-sim as a process of the window tests, on COM1 of a port folder.
#pragma once

#include "PtyPort.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QStringList>

namespace tarnell::test {

// Starts tarnell-sim on COM1 of dir; it runs until the process object goes.
// Ready once it says where it serves: its link is in place then, whereas a
// link that a killed simulator left behind may point anywhere.
inline bool StartSim(QProcess& sim, sio::test::TPortDir& dir, const QStringList& options)
{
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim.start(TARNELL_SIM, QStringList{"--dir", QString::fromStdString(dir.Path()), "--com", "1"} + options);
    QByteArray said;
    QDeadlineTimer deadline(30000);
    while (!said.contains("gripper bus on") && sim.waitForReadyRead(int(deadline.remainingTime())))
        said += sim.readAllStandardOutput();
    return said.contains("gripper bus on");
}

}  // namespace tarnell::test
