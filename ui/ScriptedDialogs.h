// A test double for the dialog seam: answers file dialogs from a queue set up
// in advance and records every dialog in the order it was opened. Installed
// for its lifetime; restores the previous dialogs when destroyed.
#pragma once

#include "Dialogs.h"

#include <QStringList>

#include <deque>
#include <functional>
#include <vector>

namespace tarnell {

class TScriptedDialogs final : public IDialogs {
public:
    enum class TKind { Message, Error, Open, Save };
    struct TShown {
        TKind kind;
        QString text;  // the message, or the file dialog's initial name
    };

    TScriptedDialogs();
    ~TScriptedDialogs() override;
    TScriptedDialogs(const TScriptedDialogs&) = delete;
    TScriptedDialogs& operator=(const TScriptedDialogs&) = delete;

    // The next file dialog returns this file; nullopt answers it with Cancel.
    // The default extension is applied as the real dialog does.
    void AnswerFile(std::optional<QString> file);

    // Runs while a message "is open" (the real box runs an event loop then).
    std::function<void(const QString&)> whileMessageOpen;

    const std::vector<TShown>& Shown() const { return shown_; }
    // Texts of the messages and error reports, in order.
    QStringList Messages() const;
    // File dialogs opened with no answer queued (answered with Cancel).
    int Unanswered() const { return unanswered_; }
    int PendingAnswers() const { return static_cast<int>(answers_.size()); }
    void Clear();

    void ShowMessage(QWidget* parent, const QString& text, TMessageKind kind) override;
    std::optional<QString> OpenFileName(QWidget* parent, const QString& initialName,
                                        const QString& defaultExt) override;
    std::optional<QString> SaveFileName(QWidget* parent, const QString& initialName,
                                        const QString& defaultExt) override;

private:
    std::optional<QString> NextFile(TKind kind, const QString& initialName, const QString& defaultExt);

    IDialogs* previous_;
    std::deque<std::optional<QString>> answers_;
    std::vector<TShown> shown_;
    int unanswered_ = 0;
};

}  // namespace tarnell
