// A window beside the main one (the bus panel, the status monitor): not
// modal, in the main window's font, shown and raised by an action of the
// main window's own.
#pragma once

#include <QDialog>
#include <QKeySequence>
#include <QString>

class QAction;

namespace tarnell {

class TForm1;

// An action of the main window's, with its shortcut and tooltip; the
// shortcut works wherever in the window the focus is.
QAction* NewFormAction(QWidget& form, const QString& text, const QKeySequence& key, const QString& tip);

class TBesideForm : public QDialog {
    Q_OBJECT
public:
    // The action that shows the window.
    QAction& Action() { return *action_; }

protected:
    // title is the caption and the name screen readers say.
    TBesideForm(TForm1& form, const QString& title, const QString& actionText, const QKeySequence& key,
                const QString& tip);

    TForm1& form_;

private:
    QAction* action_;
};

}  // namespace tarnell
