#include "StatusMonitor.h"

#include "ConsoleStrings.h"
#include "Dialogs.h"
#include "GroupBoxes.h"
#include "GripperProtocol.h"
#include "ParameterFile.h"
#include "ResultLabel.h"
#include "TarnellApplication.h"
#include "Unit1.h"

#include <QAction>
#include <QDateTime>
#include <QFile>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QSpinBox>
#include <QVBoxLayout>

namespace tarnell {

namespace p = protocol;

namespace {

// A day of polls at 200 ms; the oldest go first.
constexpr std::size_t kMostSamples = 432000;

}  // namespace

TStatusTimeline::TStatusTimeline(QWidget* parent) : QWidget(parent)
{
    setAccessibleName(tr("Status timeline"));
    setMinimumSize(kNameWidth + 200, 8 * kLaneHeight + 24);
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Base);
}

void TStatusTimeline::Add(const TStatusSample& s)
{
    samples_.push_back(s);
    if (samples_.size() > kMostSamples)
        samples_.pop_front();
    update();
}

void TStatusTimeline::Clear()
{
    samples_.clear();
    update();
}

void TStatusTimeline::paintEvent(QPaintEvent*)
{
    QPainter g(this);
    const int right = width() - 4;
    const int plot = right - kNameWidth;
    const int axis = 8 * kLaneHeight;
    const QColor on(40, 140, 60), off(225, 225, 225), error(200, 60, 40);
    // Lanes and their names, bit 0 at the top as the status boxes show them.
    for (int bit = 0; bit < 8; ++bit) {
        const int y = bit * kLaneHeight;
        g.setPen(palette().color(QPalette::Text));
        g.drawText(QRect(4, y, kNameWidth - 8, kLaneHeight), Qt::AlignVCenter | Qt::AlignLeft,
                   // As the window's status boxes name them.
                   QCoreApplication::translate("tarnell::TForm1", p::kStatusBits[bit]));
        g.fillRect(kNameWidth, y + 3, plot, kLaneHeight - 6, off);
    }
    if (samples_.empty())
        return;
    // Newest at the right edge; a sample lasts until the next one.
    const qint64 newest = samples_.back().ms;
    auto x = [&](qint64 ms) { return right - int((newest - ms) * kPixelsPerSecond / 1000); };
    for (std::size_t i = samples_.size(); i-- > 0;) {
        const TStatusSample& s = samples_[i];
        const int x0 = std::max(x(s.ms), kNameWidth);
        const int x1 = i + 1 < samples_.size() ? x(samples_[i + 1].ms) : right;
        if (x1 <= kNameWidth)
            break;
        for (int bit = 0; bit < 8; ++bit) {
            const QRect r(x0, bit * kLaneHeight + 3, std::max(1, x1 - x0), kLaneHeight - 6);
            if (s.status < 0)
                g.fillRect(r, QBrush(Qt::gray, Qt::BDiagPattern));
            else if ((s.status >> bit) & 1)
                g.fillRect(r, bit <= 4 ? error : on);
        }
    }
    // Time marks every 5 s, counted back from the newest sample.
    g.setPen(palette().color(QPalette::Text));
    g.drawLine(kNameWidth, axis + 2, right, axis + 2);
    for (int sec = 0;; sec += 5) {
        const int xs = right - sec * kPixelsPerSecond;
        if (xs < kNameWidth)
            break;
        g.drawLine(xs, axis, xs, axis + 6);
        // The newest mark's label keeps inside the right edge.
        if (sec == 0)
            g.drawText(QRect(xs - 80, axis + 6, 80, 16), Qt::AlignRight | Qt::AlignTop, tr("now"));
        else
            g.drawText(QRect(xs - 40, axis + 6, 80, 16), Qt::AlignHCenter | Qt::AlignTop,
                       tr("-%1 s").arg(sec));
    }
}

TStatusMonitor::TStatusMonitor(TForm1& form)
    : TBesideForm(form, tr("Status over time"), tr("&Monitor"),
                  QKeySequence(Qt::CTRL | Qt::Key_M), tr("Watch the status bits over time (Ctrl+M)"))
{
    Interval = new QSpinBox(this);
    Interval->setRange(50, 60000);
    Interval->setSingleStep(50);
    Interval->setValue(200);
    Interval->setSuffix(QStringLiteral(" ms"));
    Interval->setAccessibleName(tr("Poll interval"));
    auto* intervalLabel = new QLabel(tr("&Every"), this);
    intervalLabel->setBuddy(Interval);
    PauseButton = new QPushButton(tr("&Pause"), this);
    PauseButton->setCheckable(true);
    PauseButton->setAccessibleName(tr("Pause"));
    ClearButton = new QPushButton(tr("C&lear"), this);
    ClearButton->setAccessibleName(tr("Clear"));
    CsvButton = new QPushButton(tr("Save &CSV…"), this);
    CsvButton->setAccessibleName(tr("Save as CSV"));
    PngButton = new QPushButton(tr("Save P&NG…"), this);
    PngButton->setAccessibleName(tr("Save as PNG"));
    Info = new QLabel(this);
    NameResultLabel(Info, tr("Monitor state"));
    Timeline = new TStatusTimeline(this);

    auto* bar = new QHBoxLayout;
    bar->addWidget(intervalLabel);
    bar->addWidget(Interval);
    bar->addWidget(PauseButton);
    bar->addWidget(ClearButton);
    bar->addStretch();
    bar->addWidget(CsvButton);
    bar->addWidget(PngButton);
    auto* box = new QVBoxLayout(this);
    box->addLayout(bar);
    box->addWidget(Timeline, 1);
    box->addWidget(Info);
    resize(760, 300);

    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, Guarded([this] { Poll(); }));
    connect(Interval, &QSpinBox::valueChanged, this, [this](int ms) { timer_.setInterval(ms); });
    connect(PauseButton, &QPushButton::toggled, this, [this](bool on) { SetPaused(on); });
    connect(ClearButton, &QPushButton::clicked, this, [this] { Timeline->Clear(); });
    connect(CsvButton, &QPushButton::clicked, this, Guarded([this] {
                if (auto name = Dialogs().SaveFileName(this, QStringLiteral("*.csv"), QStringLiteral("csv")))
                    SaveCsv(*name);
            }));
    connect(PngButton, &QPushButton::clicked, this, Guarded([this] {
                if (auto name = Dialogs().SaveFileName(this, QStringLiteral("*.png"), QStringLiteral("png")))
                    SavePng(*name);
            }));
    clock_.start();
}

void TStatusMonitor::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    timer_.start(Interval->value());
}

void TStatusMonitor::hideEvent(QHideEvent* event)
{
    timer_.stop();
    QDialog::hideEvent(event);
}

void TStatusMonitor::SetPaused(bool paused)
{
    paused_ = paused;
    if (PauseButton->isChecked() != paused)
        PauseButton->setChecked(paused);
    Info->setText(paused ? tr("Paused.") : QString());
}

void TStatusMonitor::Poll()
{
    // sending_: the port dialog of a first command runs its own loop.
    if (paused_ || sending_)
        return;
    // The line belongs to a sequence, or to a command still awaiting its
    // answer (the last poll's included): this poll rests. A poll overtaken
    // by the operator's command is simply not answered.
    if (form_.SequenceRunning() || form_.AnswerOwed()) {
        ++skipped_;
        return;
    }
    // No port: a poll opens none (only the operator does, by a command of
    // his own), so the polls wait for one and say why.
    if (!form_.Line().PortOpen()) {
        ++skipped_;
        Info->setText(strings::Tr(strings::kNoPortOpen) + tr(" Polls go on then."));
        return;
    }
    sending_ = true;
    struct TDone {
        bool& flag;
        ~TDone() { flag = false; }
    } done{sending_};
    try {
        form_.SendQuiet(p::StatusCommand(form_.State().GripperAddress), p::kReplyTimeoutTicks,
                        [this](std::optional<std::string> reply) { Answered(std::move(reply)); });
    } catch (...) {
        // No port (the dialog cancelled, or it would not open): pause rather
        // than ask again at every tick.
        SetPaused(true);
        throw;
    }
}

void TStatusMonitor::Answered(std::optional<std::string> reply)
{
    int status = -1;
    if (reply) {
        try {
            status = p::StatusValue(*reply);
        } catch (const p::EConvertError&) {
        }
    }
    Timeline->Add({clock_.elapsed(), QDateTime::currentMSecsSinceEpoch(), status});
    if (status >= 0)
        form_.cgStatus->SetValue(status);
    if (!paused_)
        Info->setText(status >= 0 ? tr("Address %1: status %2.").arg(form_.State().GripperAddress).arg(status)
                                  : tr("Address %1: no answer.").arg(form_.State().GripperAddress));
}

QString TStatusMonitor::Csv() const
{
    QString text = QStringLiteral("time,status");
    for (const char* name : p::kStatusBits)
        text += QLatin1Char(',') + QString::fromLatin1(name);
    text += QLatin1Char('\n');
    for (const TStatusSample& s : Timeline->Samples()) {
        text += QDateTime::fromMSecsSinceEpoch(s.epochMs, Qt::UTC).toString(Qt::ISODateWithMs);
        if (s.status < 0) {
            text += QStringLiteral(",,,,,,,,,\n");
            continue;
        }
        text += QLatin1Char(',') + QString::number(s.status);
        for (int bit = 0; bit < 8; ++bit)
            text += (s.status >> bit) & 1 ? QStringLiteral(",1") : QStringLiteral(",0");
        text += QLatin1Char('\n');
    }
    return text;
}

void TStatusMonitor::SaveCsv(const QString& fileName)
{
    const QByteArray data = Csv().toLatin1();
    WriteFileReplacing(QFile::encodeName(fileName).toStdString(), std::string_view(data.constData(), data.size()));
}

void TStatusMonitor::SavePng(const QString& fileName)
{
    if (!Timeline->grab().save(fileName, "PNG"))
        throw std::runtime_error(tr("The picture could not be written to %1").arg(fileName).toStdString());
}

}  // namespace tarnell
