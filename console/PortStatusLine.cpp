#include "PortStatusLine.h"

#include "port/ComPort.h"
#include "selection/PortSelection.h"
#include "dispatch/Dispatcher.h"

#include <QAction>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QToolButton>

#include <algorithm>

namespace tarnell {

namespace {

QChar ParityLetter(sio::TParity p)
{
    switch (p) {
    case sio::pNone: return QLatin1Char('N');
    case sio::pOdd: return QLatin1Char('O');
    case sio::pEven: return QLatin1Char('E');
    case sio::pMark: return QLatin1Char('M');
    case sio::pSpace: return QLatin1Char('S');
    }
    return QLatin1Char('?');
}

// The line has room beside its buttons for the short form only; the long
// one, which says what the next command does, is its tooltip and what a
// screen reader says.
QString StateText(TPortStatusLine::TState s, bool full)
{
    switch (s) {
    case TPortStatusLine::TState::NotChosen:
        return full ? TPortStatusLine::tr("not yet chosen (the next command asks)")
                    : TPortStatusLine::tr("not yet chosen");
    case TPortStatusLine::TState::Open: return TPortStatusLine::tr("open");
    case TPortStatusLine::TState::Closed: return TPortStatusLine::tr("closed");
    case TPortStatusLine::TState::Lost:
        return full ? TPortStatusLine::tr("LOST (the next command opens it again)") : TPortStatusLine::tr("LOST");
    }
    return {};
}

}  // namespace

TPortStatusLine::TPortStatusLine(sio::TSioCustomComPort& port, QAction& choose, QWidget* parent)
    : QFrame(parent), port_(port), choose_(choose)
{
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    setAccessibleName(tr("Port status"));
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(4, 0, 2, 0);
    label_ = new QLabel(this);
    label_->setAccessibleName(tr("Port status"));
    label_->setTextInteractionFlags(Qt::NoTextInteraction);
    // The label takes the room its buttons leave, whatever its text.
    label_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    button_ = new QToolButton(this);
    button_->setDefaultAction(&choose_);
    button_->setToolButtonStyle(Qt::ToolButtonTextOnly);
    button_->setAutoRaise(true);
    button_->setFocusPolicy(Qt::StrongFocus);
    layout->addWidget(label_, 1);
    layout->addWidget(button_);

    setContextMenuPolicy(Qt::CustomContextMenu);
    connect(this, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        QMenu menu(this);
        menu.setAccessibleName(tr("Port menu"));
        for (QAction* a : actions_)
            menu.addAction(a);
        menu.addSeparator();
        menu.addAction(&choose_);
        if (!menus_.isEmpty())
            menu.addSeparator();
        for (QMenu* m : menus_)
            menu.addMenu(m);
        menu.exec(mapToGlobal(at));
    });

    // Told on the main thread: opened, closing, closed and lost.
    port_.AddUserCallback(this, [this](sio::TSioCustomComPort*, sio::TPortCallbackKind) { Refresh(); });
    Refresh();
}

QToolButton* TPortStatusLine::AddAction(QAction& action, QMenu* menu)
{
    auto* b = new QToolButton(this);
    b->setDefaultAction(&action);
    b->setToolButtonStyle(Qt::ToolButtonTextOnly);
    b->setAutoRaise(true);
    b->setFocusPolicy(Qt::StrongFocus);
    b->setAccessibleName(action.text().remove(QLatin1Char('&')));
    if (menu) {
        b->setMenu(menu);
        b->setPopupMode(QToolButton::MenuButtonPopup);
    }
    auto* box = static_cast<QHBoxLayout*>(layout());
    box->insertWidget(box->indexOf(button_), b);
    actions_.append(&action);
    return b;
}

TPortStatusLine::~TPortStatusLine() { port_.RemoveUserCallback(this); }

void TPortStatusLine::resizeEvent(QResizeEvent* e)
{
    QFrame::resizeEvent(e);
    Refresh();
}

void TPortStatusLine::showEvent(QShowEvent* e)
{
    QFrame::showEvent(e);
    Refresh();
}

TPortStatusLine::TState TPortStatusLine::State() const
{
    if (port_.DeviceLost())
        return TState::Lost;
    if (port_.PortState() == sio::StateOpen)
        return TState::Open;
    return port_.ComNumber() == 0 ? TState::NotChosen : TState::Closed;
}

QString TPortStatusLine::LineSettings(const sio::TSioCustomComPort& port)
{
    return QStringLiteral("%1 %2%3%4")
        .arg(port.Baud())
        .arg(port.DataBits())
        .arg(ParityLetter(port.Parity()))
        .arg(port.StopBits());
}

QString TPortStatusLine::Text() const { return label_->text(); }

QString TPortStatusLine::Device(const sio::TSioCustomComPort& port)
{
    if (port.ComNumber() == 0)
        return {};
    std::string location = port.Dispatcher() ? port.Dispatcher()->DeviceLocation() : std::string();
    if (location.empty())
        location = sio::PortDevicePath(port.ComNumber());
    return QString::fromLocal8Bit(location.c_str());
}

QString TPortStatusLine::PortLabel(const sio::TSioCustomComPort& port)
{
    if (port.ComNumber() == 0)
        return {};
    const QString name = QStringLiteral("COM%1").arg(port.ComNumber());
    const QString device = Device(port);
    return device.isEmpty() ? name : name + QStringLiteral(" (") + device + QLatin1Char(')');
}

void TPortStatusLine::Refresh()
{
    const TState state = State();
    QString port = tr("none");
    QString device = QStringLiteral("-");
    if (port_.ComNumber() != 0) {
        port = QStringLiteral("COM%1").arg(port_.ComNumber());
        device = Device(port_);
    }
    const QString line = tr("Port: %1   Device: %2   Line: %3   State: %4");
    const QString settings = LineSettings(port_);
    QString text = line.arg(port, device, settings, StateText(state, false));
    const QString full = line.arg(port, device, settings, StateText(state, true));
    // A device with a long name (a network address) gives up its middle
    // where the line has no room; the tooltip names it whole.
    const QFontMetrics fm(label_->font());
    const int room = label_->contentsRect().width();
    if (label_->isVisible() && fm.horizontalAdvance(text) > room) {
        const int rest = fm.horizontalAdvance(line.arg(port, QString(), settings, StateText(state, false)));
        text = line.arg(port, fm.elidedText(device, Qt::ElideMiddle, std::max(0, room - rest)), settings,
                        StateText(state, false));
    }
    if (text == label_->text() && full == label_->toolTip())
        return;
    label_->setText(text);
    label_->setToolTip(full);
    // A screen reader hears the new state as the line's description.
    setAccessibleDescription(full);
    label_->setAccessibleDescription(full);
}

}  // namespace tarnell
