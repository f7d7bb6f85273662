// The port in view: a line below the window's form that shows the port in
// use, its device, the line settings and its state, and offers the choice of
// another port. It follows the port component's own notifications, so a loss
// shows the moment the serial layer reports it.
#pragma once

#include <QFrame>

class QAction;
class QLabel;
class QMenu;
class QToolButton;

namespace sio {
class TSioCustomComPort;
}

namespace tarnell {

class TPortStatusLine final : public QFrame {
    Q_OBJECT
public:
    enum class TState { NotChosen, Open, Closed, Lost };

    // choose is the "another port" action, offered by the button and the
    // context menu of the line.
    TPortStatusLine(sio::TSioCustomComPort& port, QAction& choose, QWidget* parent = nullptr);
    ~TPortStatusLine() override;

    // Reads the port again; the notifications call it, and so does whoever
    // changes a setting the line shows (the parity).
    void Refresh();

    TState State() const;
    QString Text() const;
    QToolButton* ChooseButton() const { return button_; }
    // A button for an action of the window beside the port's, before the
    // port's own; with a menu, the button's arrow opens it. The line's
    // context menu lists the action too.
    QToolButton* AddAction(QAction& action, QMenu* menu = nullptr);
    // A menu of the window's that the line's context menu offers too.
    void AddMenu(QMenu& menu) { menus_.append(&menu); }

    // "9600 8E1": baud, data bits, parity letter, stop bits.
    static QString LineSettings(const sio::TSioCustomComPort& port);
    // The device behind the port ("/dev/pts/3", a network address), and
    // "COM1 (/dev/pts/3)" as messages name a port; "" when none is chosen.
    static QString Device(const sio::TSioCustomComPort& port);
    static QString PortLabel(const sio::TSioCustomComPort& port);

protected:
    // The text is fitted to the room the line has.
    void resizeEvent(QResizeEvent* e) override;
    void showEvent(QShowEvent* e) override;

private:
    sio::TSioCustomComPort& port_;
    QAction& choose_;
    QLabel* label_;
    QToolButton* button_;
    QList<QAction*> actions_;
    QList<QMenu*> menus_;
};

}  // namespace tarnell
