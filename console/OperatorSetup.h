// The operator's set-up, kept per user between runs: the port last used,
// the address, the parity, the gripper type, the function-key table, the
// command list, the view choices (time stamps, Verify after Send, the bus
// panel's range and limit, the monitor's interval), the
// window's size and position, those of the bus and monitor windows and
// whether they were open, the last folder of parameter files and the
// window's language.
//
// The window itself keeps nothing between runs; the program loads the set-up
// after creating the window and, once it watches, writes it shortly after
// every change, so that an ending that leaves no time (SIGKILL, a power cut,
// a Windows logoff) finds it on disk. The file is an INI file in the user's
// configuration folder (QSettings, user scope: ~/.config/tarnell/console.ini
// on Linux, %APPDATA%\tarnell\console.ini on Windows), or one named with
// KeepIn (the portable zip's, beside the program). A file that is not ours
// or cannot be read is set aside beside itself with a message, and the
// window starts as it always does; a value that makes no sense is left out.
#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include "Language.h"

class QWidget;

namespace tarnell {

class TForm1;

class TOperatorSetup final {
public:
    explicit TOperatorSetup(TForm1& form);
    ~TOperatorSetup();
    TOperatorSetup(const TOperatorSetup&) = delete;
    TOperatorSetup& operator=(const TOperatorSetup&) = delete;

    // Applies the kept set-up to the window; nothing when there is none.
    void Load();
    // Shows the windows beside the form that were open at the last save;
    // once the form is shown, so that they come up over it.
    void Reopen();
    // Writes the window's set-up; false (and a line on stderr) if it could
    // not be written.
    bool Save();

    // From now on every change of a kept value is written, a burst of them
    // (a window dragged) at most every kWriteDelayMs. Call after Load.
    void Watch();
    // Writes the set-up now, a change waiting for its turn included: for an
    // ending that lets the process go as soon as it is answered.
    void Flush();
    static constexpr int kWriteDelayMs = 300;

    // The settings file.
    static QString FilePath();
    // The language the operator chose (System when the file keeps none or
    // is not ours): read before the windows are built, which take it.
    static TLanguage KeptLanguage();
    // Keeps the set-up in file instead of the user's configuration folder
    // (""): the portable zip's, beside the program. Call before Load.
    static void KeepIn(const QString& file);
    // Where the last broken file was set aside ("" if none was).
    const QString& SetAside() const { return setAside_; }

private:
    void Apply();
    void PutAside(const QString& why);
    void Changed();

    // Sees the windows move, resize, show and hide.
    class TWatcher final : public QObject {
    public:
        explicit TWatcher(TOperatorSetup& setup) : setup_(setup) {}
        bool eventFilter(QObject* watched, QEvent* event) override;

    private:
        TOperatorSetup& setup_;
    };

    TForm1& form_;
    QString setAside_;
    QList<QWidget*> reopen_;
    QTimer writeTimer_;
    TWatcher watcher_{*this};
    bool watching_ = false;
};

}  // namespace tarnell
