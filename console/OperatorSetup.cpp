#include "OperatorSetup.h"

#include "BusPanel.h"
#include "ComboBox.h"
#include "Dialogs.h"
#include "GroupBoxes.h"
#include "OutputMenu.h"
#include "PortStatusLine.h"
#include "StatusMonitor.h"
#include "StringGrid.h"
#include "Unit1.h"
#include "VerifyAction.h"

#include "SioPort.h"
#include "SioSelCom.h"

#include <QAction>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QSettings>
#include <QSpinBox>

#include <algorithm>
#include <cstdio>
#include <optional>

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

}  // namespace

QString TOperatorSetup::FilePath()
{
    return QSettings(Format(), QSettings::UserScope, QLatin1String(kOrganisation), QLatin1String(kApplication))
        .fileName();
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
    Dialogs().ShowMessage(nullptr,
                          QStringLiteral("The saved set-up in %1 %2, so the window starts with its defaults.\n%3")
                              .arg(path, why,
                                   moved ? QStringLiteral("The file was set aside as %1.").arg(aside)
                                         : QStringLiteral("It could not be set aside and will be replaced.")),
                          TMessageKind::Information);
}

void TOperatorSetup::Load()
{
    if (!QFileInfo::exists(FilePath()))
        return;
    QSettings::Status status;
    bool ours;
    {
        const QSettings s(Format(), QSettings::UserScope, QLatin1String(kOrganisation), QLatin1String(kApplication));
        status = s.status();
        ours = IntIn(s, kFormatKey, kFormat, kFormat).has_value();
    }
    if (status == QSettings::AccessError)
        PutAside(QStringLiteral("cannot be read"));
    else if (status != QSettings::NoError || !ours)
        PutAside(QStringLiteral("is not a set-up of this program or is damaged"));
    else
        Apply();
}

void TOperatorSetup::Apply()
{
    const QSettings s(Format(), QSettings::UserScope, QLatin1String(kOrganisation), QLatin1String(kApplication));
    TForm1& f = form_;

    // The type first: it loads its built-in command list, which the kept
    // list then replaces.
    if (auto type = IntIn(s, "gripperType", 0, protocol::kTypeCount - 1))
        f.rgGripperType->SetItemIndex(*type);
    if (auto parity = IntIn(s, "parity", 0, 1))
        f.rgParity->SetItemIndex(*parity);
    if (auto address = IntIn(s, "address", 0, 99))
        f.meAdresse->setText(QString::number(*address));
    // A port that is no longer there is not taken: the first command asks.
    if (auto port = IntIn(s, "port", 1, sio::MaxSelectablePort); port && sio::IsPortAvailable(*port)) {
        f.ComPort->SetComNumber(static_cast<std::uint16_t>(*port));
        f.PortStatus->Refresh();
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
}

bool TOperatorSetup::Save()
{
    QSettings s(Format(), QSettings::UserScope, QLatin1String(kOrganisation), QLatin1String(kApplication));
    TForm1& f = form_;
    s.clear();
    s.setValue(QLatin1String(kFormatKey), kFormat);
    if (f.ComPort->ComNumber() != 0)
        s.setValue(QStringLiteral("port"), int(f.ComPort->ComNumber()));
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
    s.setValue(QStringLiteral("timeStamps"), f.OutputMenu().TimeStampAction().isChecked());
    s.setValue(QStringLiteral("verifyAfterSend"), f.Verify().AfterSendAction().isChecked());
    s.setValue(QStringLiteral("busFrom"), f.Bus().From->value());
    s.setValue(QStringLiteral("busTo"), f.Bus().To->value());
    s.setValue(QStringLiteral("busTicks"), f.Bus().Ticks->value());
    s.setValue(QStringLiteral("monitorInterval"), f.Monitor().Interval->value());
    if (!FileFolder().isEmpty())
        s.setValue(QStringLiteral("lastFolder"), FileFolder());
    s.setValue(QStringLiteral("geometry"), f.saveGeometry());
    s.sync();
    if (s.status() != QSettings::NoError) {
        std::fprintf(stderr, "tarnell-console: the set-up could not be saved in %s\n",
                     QFile::encodeName(s.fileName()).constData());
        return false;
    }
    return true;
}

}  // namespace tarnell
