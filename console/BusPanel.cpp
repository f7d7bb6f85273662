#include "BusPanel.h"

#include "ConsoleStrings.h"
#include "GroupBoxes.h"
#include "GripperProtocol.h"
#include "ResultLabel.h"
#include "TarnellApplication.h"
#include "Unit1.h"

#include "base/BaseComponent.h"
#include "port/ComPort.h"

#include <QAction>
#include <QHideEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace tarnell {

namespace p = protocol;

namespace {

using Clock = std::chrono::steady_clock;

QString Text(const std::string& bytes) { return QString::fromLatin1(bytes.data(), qsizetype(bytes.size())); }

// A quiet line ends the wait at the latest after this: a line that never
// falls quiet is noise, which the answer's address check meets anyway.
constexpr std::uint32_t kMostSettleMs = 2000;

QSpinBox* NewSpin(int lo, int hi, int value, const QString& name, QWidget* parent)
{
    auto* spin = new QSpinBox(parent);
    spin->setRange(lo, hi);
    spin->setValue(value);
    spin->setAccessibleName(name);
    return spin;
}

}  // namespace

TBusPanel::TBusPanel(TForm1& form)
    : TBesideForm(form, tr("Grippers on the bus"), tr("&Bus…"),
                  QKeySequence(Qt::CTRL | Qt::Key_B), tr("Find the grippers on the bus (Ctrl+B)"))
{
    From = NewSpin(0, 99, 0, tr("First address"), this);
    To = NewSpin(0, 99, 32, tr("Last address"), this);
    Ticks = NewSpin(1, p::kReplyTimeoutTicks, 3, tr("Time limit per address in ticks"), this);
    Ticks->setSuffix(tr(" ticks"));
    Ticks->setToolTip(tr("How long a silent address is waited for, in ticks of 55 ms"));
    ScanButton = new QPushButton(tr("&Scan"), this);
    ScanButton->setAccessibleName(tr("Scan"));
    ScanButton->setDefault(true);
    CancelButton = new QPushButton(tr("&Cancel"), this);
    CancelButton->setAccessibleName(tr("Cancel scan"));
    CancelButton->setEnabled(false);
    UseButton = new QPushButton(tr("&Use this gripper"), this);
    UseButton->setAccessibleName(tr("Use this gripper"));
    UseButton->setEnabled(false);
    Progress = new QProgressBar(this);
    Progress->setAccessibleName(tr("Scan progress"));
    Progress->setValue(0);
    Summary = new QLabel(tr("Not scanned yet."), this);
    NameResultLabel(Summary, tr("Scan result"));
    List = new QTreeWidget(this);
    List->setAccessibleName(tr("Grippers found"));
    List->setRootIsDecorated(false);
    List->setHeaderLabels({tr("Address"), tr("Model"), tr("Type"),
                           tr("Version"), tr("Status"), tr("Status bits")});
    List->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    List->header()->setStretchLastSection(true);

    auto* range = new QHBoxLayout;
    for (auto [text, field] :
         {std::pair{tr("&From"), From}, std::pair{tr("&to"), To}, std::pair{tr("&Limit"), Ticks}}) {
        auto* label = new QLabel(text, this);
        label->setBuddy(field);
        range->addWidget(label);
        range->addWidget(field);
    }
    range->addStretch();
    range->addWidget(ScanButton);
    range->addWidget(CancelButton);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(Summary, 1);
    bottom->addWidget(UseButton);
    auto* box = new QVBoxLayout(this);
    box->addLayout(range);
    box->addWidget(Progress);
    box->addWidget(List, 1);
    box->addLayout(bottom);
    resize(640, 420);

    connect(ScanButton, &QPushButton::clicked, this, Guarded([this] { Scan(); }));
    connect(CancelButton, &QPushButton::clicked, this, [this] { Cancel(); });
    connect(UseButton, &QPushButton::clicked, this, Guarded([this] { Choose(List->currentItem()); }));
    connect(List, &QTreeWidget::itemActivated, this, Guarded([this](QTreeWidgetItem* item) { Choose(item); }));
    connect(List, &QTreeWidget::currentItemChanged, this,
            [this](QTreeWidgetItem* item) { UseButton->setEnabled(item != nullptr && !form_.SequenceRunning()); });
    // Another sequence owns the line meanwhile, and keeps its gripper: the
    // choice of another rests too.
    connect(&form, &TForm1::sequenceChanged, this, [this](bool running) {
        ScanButton->setEnabled(!running);
        UseButton->setEnabled(!running && List->currentItem() != nullptr);
    });
}

void TBusPanel::hideEvent(QHideEvent* event)
{
    // Closed, or Escape: a scan under way ends at the next address.
    Cancel();
    QDialog::hideEvent(event);
}

bool TBusPanel::SettleLine()
{
    // Quiet since the last byte that arrived: a silent address's whole
    // limit usually was, and then nothing is left to wait for.
    const auto quiet = std::chrono::milliseconds(p::QuietTimeMs(form_.ComPort->Baud()));
    const auto end = Clock::now() + std::chrono::milliseconds(kMostSettleMs);
    for (;;) {
        const auto now = Clock::now();
        const auto quietEnd = std::min(lastArrival_ + quiet, end);
        if (now >= quietEnd || !isVisible())
            return true;
        const std::uint64_t seen = arrivals_;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(quietEnd - now).count() + 1;
        sio::ServeMessagesUntil([&] { return arrivals_ != seen; }, static_cast<std::uint32_t>(left));
    }
}

void TBusPanel::Scan()
{
    if (scanning_ || form_.SequenceRunning())
        return;
    // A scan opens no port: only the operator's command does.
    if (!form_.Line().PortOpen()) {
        Summary->setText(strings::Tr(strings::kNoPortOpen));
        return;
    }
    const int from = std::min(From->value(), To->value());
    const int to = std::max(From->value(), To->value());
    const int ticks = Ticks->value();
    List->clear();
    Progress->setRange(0, to - from + 1);
    Progress->setValue(0);
    Summary->setText(tr("Scanning %1..%2…").arg(from).arg(to));
    if (!form_.BeginSequence())
        return;
    scanning_ = true;
    cancel_ = false;
    ScanButton->setEnabled(false);
    CancelButton->setEnabled(true);
    const auto started = std::chrono::steady_clock::now();
    int asked = 0;
    struct TEnd {
        TBusPanel& panel;
        ~TEnd()
        {
            panel.scanning_ = false;
            panel.CancelButton->setEnabled(false);
            panel.form_.EndSequence();
            panel.ScanButton->setEnabled(!panel.form_.SequenceRunning());
        }
    } end{*this};

    // Every byte that arrives is noted, so that the line's quiet is known.
    lastArrival_ = Clock::now();
    form_.ComPort->SetOnTriggerAvail([this](sio::TSioCustomComPort*, std::uint16_t) {
        lastArrival_ = Clock::now();
        ++arrivals_;
    });
    struct TRestore {
        TForm1& form;
        ~TRestore() { form.ComPort->SetOnTriggerAvail(nullptr); }
    } restore{form_};

    TConsoleState& s = form_.State();
    bool unsettled = false;
    for (int a = from; a <= to && !cancel_; ++a) {
        // After a silence, a late answer may still be on its way.
        if (unsettled && !SettleLine())
            return;
        unsettled = false;
        // A network link's round trip is the line's, not the gripper's.
        if (!form_.QuietExchange(p::StatusCommand(a), ticks + p::LinkTicks(form_.ComPort->LinkRoundTripMs())))
            return;
        ++asked;
        Progress->setValue(asked);
        if (s.TimedOut) {
            unsettled = true;
            continue;
        }
        const std::string status = s.LastReply;
        // It answered, so it is there: its version gets a command's limit.
        if (!form_.QuietExchange(p::VersionCommand(a), p::kReplyTimeoutTicks))
            return;
        if (s.TimedOut)
            unsettled = true;
        AddGripper(a, status, s.TimedOut ? std::string() : s.LastReply);
    }
    lastDuration_ = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    Summary->setText(tr("%1 %2 address(es) from %3 in %4 s: %5 gripper(s) found.")
                         .arg(cancel_ ? tr("Cancelled after") : tr("Asked"))
                         .arg(asked)
                         .arg(from)
                         .arg(lastDuration_.count() / 1000.0, 0, 'f', 1)
                         .arg(List->topLevelItemCount()));
    if (List->topLevelItemCount() > 0 && !List->currentItem())
        List->setCurrentItem(List->topLevelItem(0));
}

void TBusPanel::AddGripper(int address, const std::string& status, const std::string& version)
{
    auto* item = new QTreeWidgetItem;
    item->setText(colAddress, QString::number(address));
    item->setData(colAddress, Qt::UserRole, address);
    item->setData(colType, Qt::UserRole, -1);
    if (std::optional<p::TGripperModel> m = p::DetectModel(p::VersionCommand(address), version)) {
        item->setText(colModel, QString::fromLatin1(m->identifier));
        item->setText(colType, QString::fromLatin1(m->typeName));
        item->setData(colType, Qt::UserRole, m->typeIndex);
    } else {
        item->setText(colModel, QStringLiteral("?"));
        item->setText(colType, version.empty() ? tr("no answer to VER") : tr("unknown"));
    }
    // What follows the address: "KV0050;V1.07".
    const std::string shown = p::Trimmed(version);
    const std::size_t colon = shown.find(':');
    item->setText(colVersion, Text(colon == std::string::npos ? shown : shown.substr(colon + 1)));
    try {
        const int value = p::StatusValue(status);
        item->setText(colStatus, QString::number(value));
        QStringList bits;
        for (int i = 0; i < 8; ++i)
            if (value >= 0 && ((value >> i) & 1))
                // As the window's status boxes name them.
                bits << QCoreApplication::translate("tarnell::TForm1", p::kStatusBits[i]);
        item->setText(colBits, bits.join(QStringLiteral(", ")));
    } catch (const p::EConvertError&) {
        item->setText(colStatus, QStringLiteral("?"));
        item->setText(colBits, Text(p::Trimmed(status)));
    }
    List->addTopLevelItem(item);
}

void TBusPanel::Choose(QTreeWidgetItem* item)
{
    // A sequence under way keeps the gripper it began with (a double click
    // reaches here even so).
    if (!item || form_.SequenceRunning())
        return;
    form_.meAdresse->setText(QString::number(item->data(colAddress, Qt::UserRole).toInt()));
    const int type = item->data(colType, Qt::UserRole).toInt();
    if (type >= 0)
        form_.rgGripperType->SetItemIndex(type);
    Summary->setText(tr("Address %1 is now the window's gripper.").arg(item->text(colAddress)));
}

}  // namespace tarnell
