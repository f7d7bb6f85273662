#include "Language.h"

#include <QAction>
#include <QActionGroup>
#include <QCoreApplication>
#include <QLocale>
#include <QMenu>
#include <QTranslator>

#include <array>
#include <memory>

namespace tarnell {

namespace {

// The translators in use; replaced as a whole by the next InstallLanguage.
std::array<std::unique_ptr<QTranslator>, 2> g_installed;
TLanguage g_choice = TLanguage::System;

std::unique_ptr<QTranslator> Load(const QString& file)
{
    auto translator = std::make_unique<QTranslator>();
    // Embedded at build time: a failure here is a broken build, and the
    // window then shows its English texts.
    if (!translator->load(file, QStringLiteral(":/i18n")))
        return nullptr;
    return translator;
}

}  // namespace

QString LanguageKey(TLanguage language)
{
    switch (language) {
    case TLanguage::German: return QStringLiteral("de");
    case TLanguage::English: return QStringLiteral("en");
    case TLanguage::System: break;
    }
    return QStringLiteral("system");
}

std::optional<TLanguage> LanguageFromKey(const QString& key)
{
    for (TLanguage l : {TLanguage::System, TLanguage::German, TLanguage::English})
        if (key == LanguageKey(l))
            return l;
    return std::nullopt;
}

bool DesktopIsGerman()
{
    // The first language the user reads; "de", "de-DE", "de-AT", "de-CH".
    const QStringList languages = QLocale::system().uiLanguages();
    return !languages.isEmpty() && QLocale(languages.first()).language() == QLocale::German;
}

bool IsGerman(TLanguage choice)
{
    return choice == TLanguage::German || (choice == TLanguage::System && DesktopIsGerman());
}

void InstallLanguage(TLanguage choice)
{
    for (auto& t : g_installed)
        if (t)
            QCoreApplication::removeTranslator(t.get());
    g_installed = {};
    g_choice = choice;
    if (!IsGerman(choice))
        return;
    g_installed = {Load(QStringLiteral("qtbase_de")), Load(QStringLiteral("tarnell_de"))};
    for (auto& t : g_installed)
        if (t)
            QCoreApplication::installTranslator(t.get());
}

TLanguage InstalledLanguage() { return g_choice; }

TLanguageMenu::TLanguageMenu(TLanguage running, QWidget& window) : QObject(&window), chosen_(running)
{
    menu_ = new QMenu(tr("&Language (from the next start)"), &window);
    menu_->setAccessibleName(tr("Language menu"));
    group_ = new QActionGroup(this);
    // Each language by its own name, so that it is found whatever the
    // window speaks now.
    actions_[int(TLanguage::System)] = menu_->addAction(tr("As the &system"));
    actions_[int(TLanguage::German)] = menu_->addAction(QStringLiteral("&Deutsch"));
    actions_[int(TLanguage::English)] = menu_->addAction(QStringLiteral("&English"));
    for (QAction* a : actions_) {
        a->setCheckable(true);
        group_->addAction(a);
    }
    Action(running).setChecked(true);
    for (TLanguage l : {TLanguage::System, TLanguage::German, TLanguage::English})
        connect(&Action(l), &QAction::triggered, this, [this, l] { Choose(l); });
}

QAction& TLanguageMenu::Action(TLanguage language) { return *actions_[int(language)]; }

void TLanguageMenu::Choose(TLanguage language)
{
    Action(language).setChecked(true);
    if (language == chosen_)
        return;
    chosen_ = language;
    emit chosenChanged();
}

}  // namespace tarnell
