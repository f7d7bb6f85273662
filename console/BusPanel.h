// "Bus…": a window beside the main one that asks every address of a range
// for its status (STA) and, where one answers, its version (VER), and lists
// the grippers as they answer: address, model, type, version text, status
// and its bits. A silent address costs one short time limit (3 ticks by
// default, settable), not the 25 of a command. After a silence the line
// must fall quiet before the next address is asked, and an answer naming
// another address is no answer, so a late reply is never taken for the
// next address's. Choosing a gripper in the list puts its address into
// "Tarnell Adress" and its type into "Gripper Type".
//
// The scan is a sequence of the window's, through the window's line as
// Readout; the sending controls rest while it runs. It opens no port: with
// none open it says so. While any sequence runs, the choice of a gripper
// rests, as the address field does.
#pragma once

#include "BesideForm.h"

#include <chrono>
#include <cstdint>

class QLabel;
class QProgressBar;
class QPushButton;
class QSpinBox;
class QTreeWidget;
class QTreeWidgetItem;

namespace tarnell {

// Action(): "Bus…", Ctrl+B, shows the panel.
class TBusPanel final : public TBesideForm {
    Q_OBJECT
public:
    explicit TBusPanel(TForm1& form);

    // Scans from..to with the set limit, listing what answers; returns when
    // done, cancelled or the window closes.
    void Scan();
    void Cancel() { cancel_ = true; }
    bool Scanning() const { return scanning_; }
    // How long the last scan took.
    std::chrono::milliseconds LastDuration() const { return lastDuration_; }

    // Takes the gripper of a list row into the main window.
    void Choose(QTreeWidgetItem* item);

    QSpinBox* From;
    QSpinBox* To;
    QSpinBox* Ticks;
    QPushButton* ScanButton;
    QPushButton* CancelButton;
    QPushButton* UseButton;
    QProgressBar* Progress;
    QTreeWidget* List;
    QLabel* Summary;

    // Columns of the list.
    enum TColumn { colAddress, colModel, colType, colVersion, colStatus, colBits, colCount };

protected:
    void hideEvent(QHideEvent* event) override;

private:
    // Waits until no byte has arrived for a quiet time; false if the window closes.
    bool SettleLine();
    void AddGripper(int address, const std::string& status, const std::string& version);

    bool scanning_ = false;
    bool cancel_ = false;
    std::chrono::milliseconds lastDuration_{0};
    // The last byte's arrival during a scan, and a count that wakes waits.
    std::chrono::steady_clock::time_point lastArrival_;
    std::uint64_t arrivals_ = 0;
};

}  // namespace tarnell
