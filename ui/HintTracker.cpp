#include "HintTracker.h"

#include <QCoreApplication>
#include <QEvent>
#include <QVariant>
#include <QWidget>

namespace tarnell {

namespace {
const char* const kHintProperty = "tarnellHint";
}

void SetHint(QWidget* widget, const QString& hint)
{
    widget->setProperty(kHintProperty, hint);
    // Hints go to the status line only, never to a tooltip.
    widget->setToolTip(QString());
}

QString HintOf(const QWidget* widget)
{
    for (const QWidget* w = widget; w; w = w->parentWidget()) {
        QString hint = w->property(kHintProperty).toString();
        if (!hint.isEmpty())
            return hint;
    }
    return QString();
}

THintTracker::THintTracker(QObject* parent) : QObject(parent)
{
    QCoreApplication::instance()->installEventFilter(this);
}

void THintTracker::PointAt(QWidget* widget)
{
    QString hint = HintOf(widget);
    if (hint == hint_)
        return;
    hint_ = hint;
    emit hintChanged(hint_);
}

bool THintTracker::eventFilter(QObject* watched, QEvent* event)
{
    // A control with a hint of its own shows no tooltip: a tool button takes
    // its action's tooltip back whenever the action changes. A part of it
    // without a hint of its own (a grid cell's tooltip) keeps its tooltip.
    if (event->type() == QEvent::ToolTip && !watched->property(kHintProperty).toString().isEmpty())
        return true;
    if (event->type() == QEvent::Enter || event->type() == QEvent::Leave) {
        if (watched->isWidgetType()) {
            auto* widget = static_cast<QWidget*>(watched);
            // Leaving a child puts the mouse on its parent; entering a
            // sibling follows at once and corrects it.
            if (event->type() == QEvent::Enter)
                PointAt(widget);
            else
                PointAt(widget->isWindow() ? nullptr : widget->parentWidget());
        }
    }
    return QObject::eventFilter(watched, event);
}

}  // namespace tarnell
