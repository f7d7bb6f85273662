#include "OperatorSetup.h"

#include "BusPanel.h"
#include "ComboBox.h"
#include "ConsoleStrings.h"
#include "Dialogs.h"
#include "GroupBoxes.h"
#include "OutputMenu.h"
#include "PortChoice.h"
#include "PortStatusLine.h"
#include "StatusMonitor.h"
#include "StringGrid.h"
#include "Unit1.h"
#include "VerifyAction.h"

#include "port/ComPort.h"
#include "selection/PortSelection.h"

#include <QAbstractItemModel>
#include <QAction>
#include <QDateTime>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLineEdit>
#include <QRadioButton>
#include <QSettings>
#include <QSpinBox>

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>
#include <utility>

namespace tarnell {

namespace {

constexpr const char* kOrganisation = "tarnell";
constexpr const char* kApplication = "console";
// Written first, checked first: a file without it is not ours.
constexpr const char* kFormatKey = "format";
constexpr int kFormat = 1;
// No command, key text or folder comes near this; longer is not ours.
constexpr int kMostText = 4096;
constexpr int kMostCommands = 1000;

QSettings::Format Format() { return QSettings::IniFormat; }

// The portable zip's file; "" for the user's configuration folder.
QString g_keptIn;

// A text the window can hold: one byte per character, no line end.
bool Plausible(const QString& text)
{
    if (text.size() > kMostText || text.contains(QLatin1Char('\n')) || text.contains(QLatin1Char('\r')))
        return false;
    for (QChar c : text)
        if (c.unicode() > 0xFF)
            return false;
    return true;
}

std::optional<int> IntIn(const QSettings& s, const char* key, int lo, int hi)
{
    bool ok = false;
    const int v = s.value(QLatin1String(key)).toInt(&ok);
    if (!s.contains(QLatin1String(key)) || !ok || v < lo || v > hi)
        return std::nullopt;
    return v;
}

std::optional<bool> Bool(const QSettings& s, const char* key)
{
    const QString v = s.value(QLatin1String(key)).toString();
    if (v == QLatin1String("true"))
        return true;
    if (v == QLatin1String("false"))
        return false;
    return std::nullopt;
}

// The windows beside the form, by the prefix of their keys.
std::array<std::pair<QString, QWidget*>, 2> SideWindows(TForm1& f)
{
    return {{{QStringLiteral("bus"), &f.Bus()}, {QStringLiteral("monitor"), &f.Monitor()}}};
}

}  // namespace

QString TOperatorSetup::FilePath()
{
    if (!g_keptIn.isEmpty())
        return g_keptIn;
    return QSettings(Format(), QSettings::UserScope, QLatin1String(kOrganisation), QLatin1String(kApplication))
        .fileName();
}

void TOperatorSetup::KeepIn(const QString& file) { g_keptIn = file; }

TLanguage TOperatorSetup::KeptLanguage()
{
    if (!QFileInfo::exists(FilePath()))
        return TLanguage::System;
    const QSettings s(FilePath(), Format());
    if (s.status() != QSettings::NoError || !IntIn(s, kFormatKey, kFormat, kFormat))
        return TLanguage::System;
    return LanguageFromKey(s.value(QStringLiteral("language")).toString()).value_or(TLanguage::System);
}

TOperatorSetup::TOperatorSetup(TForm1& form) : form_(form)
{
    writeTimer_.setSingleShot(true);
    writeTimer_.setInterval(kWriteDelayMs);
    QObject::connect(&writeTimer_, &QTimer::timeout, &watcher_, [this] { Save(); });
}

TOperatorSetup::~TOperatorSetup()
{
    if (!watching_)
        return;
    form_.ComPort->RemoveUserCallback(this);
    OnFileFolderChanged({});
    for (auto [key, window] : SideWindows(form_))
        window->removeEventFilter(&watcher_);
    form_.removeEventFilter(&watcher_);
}

void TOperatorSetup::Changed()
{
    // Not restarted by each change: a window dragged for a while is still
    // written every kWriteDelayMs.
    if (!writeTimer_.isActive())
        writeTimer_.start();
}

void TOperatorSetup::Flush()
{
    writeTimer_.stop();
    Save();
}

bool TOperatorSetup::TWatcher::eventFilter(QObject*, QEvent* event)
{
    switch (event->type()) {
    case QEvent::Move:
    case QEvent::Resize:
    case QEvent::Show:
    case QEvent::Hide:
        setup_.Changed();
        break;
    default:
        break;
    }
    return false;
}

void TOperatorSetup::Watch()
{
    if (std::exchange(watching_, true))
        return;
    TForm1& f = form_;
    auto changed = [this] { Changed(); };
    QObject* ctx = &watcher_;
    QObject::connect(f.meAdresse, &QLineEdit::textChanged, ctx, changed);
    for (TRadioGroup* group : {f.rgParity, f.rgGripperType})
        for (QRadioButton* button : group->findChildren<QRadioButton*>())
            QObject::connect(button, &QAbstractButton::toggled, ctx, changed);
    QObject::connect(f.StringGrid3->model(), &QAbstractItemModel::dataChanged, ctx, changed);
    QAbstractItemModel* commands = f.cbCommands->model();
    QObject::connect(commands, &QAbstractItemModel::dataChanged, ctx, changed);
    QObject::connect(commands, &QAbstractItemModel::rowsInserted, ctx, changed);
    QObject::connect(commands, &QAbstractItemModel::rowsRemoved, ctx, changed);
    QObject::connect(commands, &QAbstractItemModel::modelReset, ctx, changed);
    QObject::connect(&f.OutputMenu().TimeStampAction(), &QAction::toggled, ctx, changed);
    QObject::connect(&f.Verify().AfterSendAction(), &QAction::toggled, ctx, changed);
    QObject::connect(&f.Language(), &TLanguageMenu::chosenChanged, ctx, changed);
    for (QSpinBox* spin : {f.Bus().From, f.Bus().To, f.Bus().Ticks, f.Monitor().Interval})
        QObject::connect(spin, &QSpinBox::valueChanged, ctx, changed);
    OnFileFolderChanged(changed);
    // Opened (a port chosen) or let go of (Ctrl+P).
    f.ComPort->AddUserCallback(this, [this](sio::TSioCustomComPort*, sio::TPortCallbackKind) { Changed(); });
    f.installEventFilter(&watcher_);
    for (auto [key, window] : SideWindows(f))
        window->installEventFilter(&watcher_);
    // The session ends (X11 session manager; Windows' WM_QUERYENDSESSION):
    // the process may go without the window ever closing.
    if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        QObject::connect(app, &QGuiApplication::commitDataRequest, ctx, [this] { Flush(); });
}

void TOperatorSetup::PutAside(const QString& why)
{
    const QString path = FilePath();
    const QString aside =
        path + QStringLiteral(".broken-") + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmss"));
    QFile::remove(aside);
    const bool moved = QFile::rename(path, aside);
    if (moved)
        setAside_ = aside;
    const QString what = moved ? strings::Tr(QT_TRANSLATE_NOOP("Console", "The file was set aside as %1.")).arg(aside)
                               : strings::Tr(QT_TRANSLATE_NOOP("Console", "It could not be set aside and will be replaced."));
    Dialogs().ShowMessage(nullptr,
                          strings::Tr(QT_TRANSLATE_NOOP(
                                          "Console", "The saved set-up in %1 %2, so the window starts with its defaults.\n%3"))
                              .arg(path, why, what),
                          TMessageKind::Information);
}

void TOperatorSetup::Load()
{
    if (!QFileInfo::exists(FilePath()))
        return;
    QSettings::Status status;
    bool ours;
    {
        const QSettings s(FilePath(), Format());
        status = s.status();
        ours = IntIn(s, kFormatKey, kFormat, kFormat).has_value();
    }
    if (status == QSettings::AccessError)
        PutAside(strings::Tr(QT_TRANSLATE_NOOP("Console", "cannot be read")));
    else if (status != QSettings::NoError || !ours)
        PutAside(strings::Tr(QT_TRANSLATE_NOOP("Console", "is not a set-up of this program or is damaged")));
    else
        Apply();
}

void TOperatorSetup::Apply()
{
    const QSettings s(FilePath(), Format());
    TForm1& f = form_;

    // The type first: it loads its built-in command list, which the kept
    // list then replaces.
    if (auto type = IntIn(s, "gripperType", 0, protocol::kTypeCount - 1))
        f.rgGripperType->SetItemIndex(*type);
    if (auto parity = IntIn(s, "parity", 0, 1))
        f.rgParity->SetItemIndex(*parity);
    if (auto address = IntIn(s, "address", 0, 99))
        f.meAdresse->setText(QString::number(*address));
    // A port that is no longer there is not taken: the first command asks,
    // offering it first should it be back, and it stays kept until another
    // is chosen.
    if (auto port = IntIn(s, "port", 1, sio::MaxSelectablePort)) {
        f.PortChoice().Remember(*port);
        if (sio::IsPortAvailable(*port)) {
            f.ComPort->SetComNumber(static_cast<std::uint16_t>(*port));
            f.PortStatus->Refresh();
        }
    }

    const QStringList keys = s.value(QStringLiteral("functionKeys")).toStringList();
    if (keys.size() == f.StringGrid3->RowCount() && std::all_of(keys.begin(), keys.end(), Plausible))
        for (int r = 0; r < keys.size(); ++r)
            f.StringGrid3->SetCell(1, r, keys[r]);
    const QStringList commands = s.value(QStringLiteral("commands")).toStringList();
    if (s.contains(QStringLiteral("commands")) && commands.size() <= kMostCommands &&
        std::all_of(commands.begin(), commands.end(), Plausible)) {
        f.cbCommands->clear();
        for (const QString& c : commands)
            f.cbCommands->AddSorted(c);
        f.cbCommands->setEditText(QString());
    }

    if (auto language = LanguageFromKey(s.value(QStringLiteral("language")).toString()))
        f.Language().Choose(*language);
    if (auto on = Bool(s, "timeStamps"))
        f.OutputMenu().TimeStampAction().setChecked(*on);
    if (auto on = Bool(s, "verifyAfterSend"))
        f.Verify().AfterSendAction().setChecked(*on);
    // The views beside the form: the bus panel's range and limit, the
    // monitor's interval, each within what its field takes.
    for (auto [key, spin] : {std::pair{"busFrom", f.Bus().From}, std::pair{"busTo", f.Bus().To},
                             std::pair{"busTicks", f.Bus().Ticks}, std::pair{"monitorInterval", f.Monitor().Interval}})
        if (auto v = IntIn(s, key, spin->minimum(), spin->maximum()))
            spin->setValue(*v);
    const QString folder = s.value(QStringLiteral("lastFolder")).toString();
    if (Plausible(folder) && QFileInfo(folder).isDir())
        SetFileFolder(folder);
    const QByteArray geometry = s.value(QStringLiteral("geometry")).toByteArray();
    if (!geometry.isEmpty() && f.restoreGeometry(geometry))
        f.KeepPosition();
    for (auto [key, window] : SideWindows(f)) {
        const QByteArray place = s.value(key + QStringLiteral("Geometry")).toByteArray();
        if (!place.isEmpty())
            window->restoreGeometry(place);
        const QString open = key + QStringLiteral("Open");
        if (Bool(s, open.toLatin1().constData()).value_or(false))
            reopen_.append(window);
    }
}

void TOperatorSetup::Reopen()
{
    // The monitor polls as soon as it shows: without a port it would ask for
    // one before the operator did anything, so it comes up paused then.
    if (reopen_.contains(&form_.Monitor()) && form_.ComPort->ComNumber() == 0)
        form_.Monitor().SetPaused(true);
    for (QWidget* window : std::exchange(reopen_, {}))
        window->show();
}

bool TOperatorSetup::Save()
{
    writeTimer_.stop();
    QSettings s(FilePath(), Format());
    TForm1& f = form_;
    s.clear();
    s.setValue(QLatin1String(kFormatKey), kFormat);
    // The port chosen last, even if it was let go of (Ctrl+P) since.
    if (f.PortChoice().LastPort() != 0)
        s.setValue(QStringLiteral("port"), f.PortChoice().LastPort());
    s.setValue(QStringLiteral("address"), f.State().GripperAddress);
    s.setValue(QStringLiteral("parity"), f.rgParity->ItemIndex());
    s.setValue(QStringLiteral("gripperType"), f.rgGripperType->ItemIndex());
    QStringList keys;
    for (int r = 0; r < f.StringGrid3->RowCount(); ++r)
        keys << f.StringGrid3->Cell(1, r);
    s.setValue(QStringLiteral("functionKeys"), keys);
    QStringList commands;
    for (int i = 0; i < f.cbCommands->count(); ++i)
        commands << f.cbCommands->itemText(i);
    s.setValue(QStringLiteral("commands"), commands);
    s.setValue(QStringLiteral("language"), LanguageKey(f.Language().Chosen()));
    s.setValue(QStringLiteral("timeStamps"), f.OutputMenu().TimeStampAction().isChecked());
    s.setValue(QStringLiteral("verifyAfterSend"), f.Verify().AfterSendAction().isChecked());
    s.setValue(QStringLiteral("busFrom"), f.Bus().From->value());
    s.setValue(QStringLiteral("busTo"), f.Bus().To->value());
    s.setValue(QStringLiteral("busTicks"), f.Bus().Ticks->value());
    s.setValue(QStringLiteral("monitorInterval"), f.Monitor().Interval->value());
    if (!FileFolder().isEmpty())
        s.setValue(QStringLiteral("lastFolder"), FileFolder());
    s.setValue(QStringLiteral("geometry"), f.saveGeometry());
    for (auto [key, window] : SideWindows(f)) {
        // One never shown nor placed has no place of its own yet: it comes
        // up centred on the form.
        if (window->isVisible() || window->windowHandle() || window->testAttribute(Qt::WA_Moved))
            s.setValue(key + QStringLiteral("Geometry"), window->saveGeometry());
        s.setValue(key + QStringLiteral("Open"), f.WasOpen(*window));
    }
    s.sync();
    if (s.status() != QSettings::NoError) {
        std::fprintf(stderr, "tarnell-console: the set-up could not be saved in %s\n",
                     QFile::encodeName(s.fileName()).constData());
        return false;
    }
    return true;
}

}  // namespace tarnell
