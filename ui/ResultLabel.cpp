#include "ResultLabel.h"

#include <QAccessibleWidget>
#include <QLabel>

namespace tarnell {

namespace {

constexpr const char* kWhat = "tarnellResultName";

class TResultLabelAccessible final : public QAccessibleWidget {
public:
    explicit TResultLabelAccessible(QLabel* label) : QAccessibleWidget(label, QAccessible::StaticText) {}

    QString text(QAccessible::Text t) const override
    {
        if (t != QAccessible::Name)
            return QAccessibleWidget::text(t);
        const auto* label = static_cast<const QLabel*>(widget());
        const QString what = label->property(kWhat).toString();
        const QString shown = label->text();
        return shown.isEmpty() ? what : what + QStringLiteral(": ") + shown;
    }
};

// Asked before Qt's own factory for labels (the last installed is asked first).
QAccessibleInterface* ResultLabels(const QString& className, QObject* object)
{
    if (className == QLatin1String("QLabel") && object && object->property(kWhat).isValid())
        return new TResultLabelAccessible(static_cast<QLabel*>(object));
    return nullptr;
}

}  // namespace

void NameResultLabel(QLabel* label, const QString& what)
{
    static const bool installed = [] {
        QAccessible::installFactory(ResultLabels);
        return true;
    }();
    (void)installed;
    label->setProperty(kWhat, what);
    // Qt may have made the label its plain interface already (when it was
    // created): that one goes, the next query gets ours.
    QAccessibleInterface* made = QAccessible::queryAccessibleInterface(label);
    if (made && !dynamic_cast<TResultLabelAccessible*>(made))
        QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(made));
    // An accessible name of its own would win, and QLabel announces a new
    // text only while it has none.
    label->setAccessibleName(QString());
}

}  // namespace tarnell
