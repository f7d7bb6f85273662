// "Monitor": a window beside the main one that asks the gripper at the
// window's address for its status (STA) at a chosen interval and draws the
// eight status bits over time, one lane per bit with its name, newest at
// the right, with time marks. Pause, Clear, and Save as CSV (time, the
// status number, the eight bits) or PNG.
//
// A poll is a quiet command on the window's port: not shown in the output,
// no time-out message (a time-out is a gap in the lanes). Polls rest while
// Readout, Send, Verify or a bus scan runs, or while another command waits
// for its answer, and go on after. A poll opens no port: without an open
// one the polls wait for the operator's next command.
#pragma once

#include "BesideForm.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

#include <deque>
#include <optional>
#include <string>

class QLabel;
class QPushButton;
class QSpinBox;

namespace tarnell {

class TForm1;

// One poll's outcome: the status, or -1 for no (readable) answer.
struct TStatusSample {
    qint64 ms;        // since the monitor's start
    qint64 epochMs;   // wall clock, for the CSV
    int status;
};

// The lanes: eight rows, a bit's row filled where the bit was set, hatched
// grey where no answer came; the right edge is the newest sample.
class TStatusTimeline final : public QWidget {
    Q_OBJECT
public:
    explicit TStatusTimeline(QWidget* parent = nullptr);

    void Add(const TStatusSample& s);
    void Clear();
    const std::deque<TStatusSample>& Samples() const { return samples_; }
    // Pixels per second of the time axis.
    static constexpr int kPixelsPerSecond = 40;
    static constexpr int kNameWidth = 130;
    static constexpr int kLaneHeight = 22;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::deque<TStatusSample> samples_;
};

// Action(): "Monitor", Ctrl+M, shows the window and starts polling.
class TStatusMonitor final : public TBesideForm {
    Q_OBJECT
public:
    explicit TStatusMonitor(TForm1& form);

    // One poll, as the timer runs it: skipped while the line is busy.
    void Poll();
    void SetPaused(bool paused);
    bool Paused() const { return paused_; }
    // The samples as CSV text, and written to a file.
    QString Csv() const;
    void SaveCsv(const QString& fileName);
    void SavePng(const QString& fileName);
    // Polls skipped because the line was busy or no port was open.
    int Skipped() const { return skipped_; }

    QSpinBox* Interval;
    QPushButton* PauseButton;
    QPushButton* ClearButton;
    QPushButton* CsvButton;
    QPushButton* PngButton;
    QLabel* Info;
    TStatusTimeline* Timeline;

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void Answered(std::optional<std::string> reply);

    QTimer timer_;
    QElapsedTimer clock_;
    bool paused_ = false;
    bool sending_ = false;  // a poll is being sent
    int skipped_ = 0;
};

}  // namespace tarnell
