#include "BesideForm.h"

#include "Unit1.h"

#include <QAction>

namespace tarnell {

QAction* NewFormAction(QWidget& form, const QString& text, const QKeySequence& key, const QString& tip)
{
    auto* action = new QAction(text, &form);
    action->setShortcut(key);
    action->setShortcutContext(Qt::WindowShortcut);
    action->setToolTip(tip);
    form.addAction(action);
    return action;
}

TBesideForm::TBesideForm(TForm1& form, const QString& title, const QString& actionText, const QKeySequence& key,
                         const QString& tip)
    : QDialog(&form), form_(form), action_(NewFormAction(form, actionText, key, tip))
{
    setWindowTitle(title);
    setAccessibleName(title);
    setModal(false);
    setFont(form.font());
    connect(action_, &QAction::triggered, this, [this] {
        show();
        raise();
        activateWindow();
    });
}

}  // namespace tarnell
