// The window's language: German or English. It follows the desktop
// (QLocale::system(): the locale on Linux, the user's display language on
// Windows) unless the operator chose one in the language menu; the choice is
// kept with the operator's set-up and takes effect at the next start, when
// the windows are built in it.
//
// English is the source language: with it no translator is installed. For
// German the console's texts and Qt's own (the file dialogs, the message
// boxes' buttons) come from the translations embedded in the program.
#pragma once

#include <QObject>
#include <QString>

#include <optional>

class QAction;
class QActionGroup;
class QMenu;
class QWidget;

namespace tarnell {

enum class TLanguage { System, German, English };

// How the set-up file keeps a choice: "system", "de", "en".
QString LanguageKey(TLanguage language);
std::optional<TLanguage> LanguageFromKey(const QString& key);

// Whether the desktop asks for German: its first user-interface language.
bool DesktopIsGerman();
// Whether choice comes to German on this desktop.
bool IsGerman(TLanguage choice);

// Installs the translations for choice on the application (none for
// English), replacing any installed before. The application must exist.
void InstallLanguage(TLanguage choice);
// The choice installed last (System before any).
TLanguage InstalledLanguage();

// The menu that offers German, English and the desktop's language. Its
// title says that a new choice applies at the next start.
class TLanguageMenu final : public QObject {
    Q_OBJECT
public:
    // running: the choice the windows were built with.
    TLanguageMenu(TLanguage running, QWidget& window);

    QMenu& Menu() { return *menu_; }
    QAction& Action(TLanguage language);
    TLanguage Chosen() const { return chosen_; }
    // Marks a kept choice as chosen, as a click would.
    void Choose(TLanguage language);

signals:
    void chosenChanged();

private:
    QMenu* menu_;
    QActionGroup* group_;
    QAction* actions_[3];
    TLanguage chosen_;
};

}  // namespace tarnell
