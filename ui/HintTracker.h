// Hints without tooltips: every control may carry a hint text, and the
// application keeps the hint of the control under the mouse. A control
// without a hint of its own shows its parent's (a grid's cell editor, a combo
// box's line edit), so the hint changes only when the mouse moves to a
// control whose hint differs, including one without any. A control with a
// hint of its own shows no tooltip.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

class QWidget;

namespace tarnell {

void SetHint(QWidget* widget, const QString& hint);
// The hint of widget, or of its nearest parent that has one; empty if none.
QString HintOf(const QWidget* widget);

class THintTracker final : public QObject {
    Q_OBJECT
public:
    // Watches every widget of the application for the mouse entering and
    // leaving it.
    explicit THintTracker(QObject* parent = nullptr);

    QString Hint() const { return hint_; }

    // The mouse is now over widget (nullptr: over nothing of ours).
    void PointAt(QWidget* widget);

signals:
    // The current hint changed; runs on the main thread.
    void hintChanged(const QString& hint);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QString hint_;
};

}  // namespace tarnell
