// The operator's set-up, kept per user between runs: the port last used,
// the address, the parity, the gripper type, the function-key table, the
// command list, the view choices (time stamps, Verify after Send, the bus
// panel's range and limit, the monitor's interval), the
// window's size and position and the last folder of parameter files.
//
// The window itself keeps nothing between runs; the program loads the set-up
// after creating the window and saves it when the window has closed. The
// file is an INI file in the user's configuration folder (QSettings, user
// scope: ~/.config/tarnell/console.ini on Linux). A file that is not ours
// or cannot be read is set aside beside itself with a message, and the
// window starts as it always does; a value that makes no sense is left out.
#pragma once

#include <QString>

namespace tarnell {

class TForm1;

class TOperatorSetup final {
public:
    explicit TOperatorSetup(TForm1& form) : form_(form) {}

    // Applies the kept set-up to the window; nothing when there is none.
    void Load();
    // Writes the window's set-up; false (and a line on stderr) if it could
    // not be written.
    bool Save();

    // The settings file.
    static QString FilePath();
    // Where the last broken file was set aside ("" if none was).
    const QString& SetAside() const { return setAside_; }

private:
    void Apply();
    void PutAside(const QString& why);

    TForm1& form_;
    QString setAside_;
};

}  // namespace tarnell
