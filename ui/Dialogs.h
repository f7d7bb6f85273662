// The one way in which the console opens a message box or a file dialog.
//
// Every modal dialog of the console goes through Dialogs(), so that a test can
// install a double (TScriptedDialogs) that answers in advance and records what
// was shown; no test then blocks on a dialog that waits for a person.
// Main thread only.
#pragma once

#include <QString>

#include <functional>
#include <optional>

class QWidget;

namespace tarnell {

enum class TMessageKind { Information, Error };

class IDialogs {
public:
    virtual ~IDialogs() = default;

    // A modal message with an OK button; returns when it has been closed.
    virtual void ShowMessage(QWidget* parent, const QString& text, TMessageKind kind) = 0;

    // File dialogs, started with initialName (a pattern such as "*.gri" lists
    // only matching files). A name chosen without an extension gets
    // defaultExt. Returns the chosen file, or nothing when cancelled. The save
    // dialog does not ask before replacing a file.
    virtual std::optional<QString> OpenFileName(QWidget* parent, const QString& initialName,
                                                const QString& defaultExt) = 0;
    virtual std::optional<QString> SaveFileName(QWidget* parent, const QString& initialName,
                                                const QString& defaultExt) = 0;
};

// The installed dialogs; Qt's own until SetDialogs installs others.
IDialogs& Dialogs();
// Installs dialogs (nullptr: back to Qt's). The caller keeps ownership.
void SetDialogs(IDialogs* dialogs);

// The folder the file dialogs open in ("": the current folder); a file
// chosen in them makes its folder the next one.
QString FileFolder();
void SetFileFolder(const QString& folder);
// Runs whenever the folder changes (one observer: the kept set-up's).
void OnFileFolderChanged(std::function<void()> observer);

// The modal information message of the active window.
void ShowMessage(const QString& text);

// Adds "." + defaultExt to a file name whose last part has no extension.
QString WithDefaultExtension(const QString& fileName, const QString& defaultExt);

}  // namespace tarnell
