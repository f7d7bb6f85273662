#include "ScriptedDialogs.h"

namespace tarnell {

TScriptedDialogs::TScriptedDialogs() : previous_(&Dialogs())
{
    SetDialogs(this);
}

TScriptedDialogs::~TScriptedDialogs()
{
    // Dialogs() falls back to Qt's when nothing was installed before.
    SetDialogs(nullptr);
    if (previous_ != &Dialogs())
        SetDialogs(previous_);
}

void TScriptedDialogs::AnswerFile(std::optional<QString> file) { answers_.push_back(std::move(file)); }

QStringList TScriptedDialogs::Messages() const
{
    QStringList texts;
    for (const TShown& s : shown_)
        if (s.kind == TKind::Message || s.kind == TKind::Error)
            texts << s.text;
    return texts;
}

void TScriptedDialogs::Clear()
{
    shown_.clear();
    answers_.clear();
    unanswered_ = 0;
}

void TScriptedDialogs::ShowMessage(QWidget*, const QString& text, TMessageKind kind)
{
    shown_.push_back({kind == TMessageKind::Error ? TKind::Error : TKind::Message, text});
    if (whileMessageOpen)
        whileMessageOpen(text);
}

std::optional<QString> TScriptedDialogs::OpenFileName(QWidget*, const QString& initialName,
                                                      const QString& defaultExt)
{
    return NextFile(TKind::Open, initialName, defaultExt);
}

std::optional<QString> TScriptedDialogs::SaveFileName(QWidget*, const QString& initialName,
                                                      const QString& defaultExt)
{
    return NextFile(TKind::Save, initialName, defaultExt);
}

std::optional<QString> TScriptedDialogs::NextFile(TKind kind, const QString& initialName,
                                                  const QString& defaultExt)
{
    shown_.push_back({kind, initialName});
    if (answers_.empty()) {
        ++unanswered_;
        return std::nullopt;
    }
    std::optional<QString> answer = std::move(answers_.front());
    answers_.pop_front();
    if (answer)
        return WithDefaultExtension(*answer, defaultExt);
    return answer;
}

}  // namespace tarnell
