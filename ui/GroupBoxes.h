// A radio group (a captioned box of exclusive choices with an item index) and
// a check-box group whose value is a bit mask, box i showing bit i.
#pragma once

#include <QGroupBox>
#include <QStringList>

#include <functional>
#include <vector>

class QButtonGroup;
class QCheckBox;
class QRadioButton;

namespace tarnell {

class TRadioGroup final : public QGroupBox {
    Q_OBJECT
public:
    TRadioGroup(const QString& caption, const QStringList& items, QWidget* parent = nullptr);

    int ItemIndex() const;
    // Selects an item; like a click, it runs OnClick when the selection changes.
    void SetItemIndex(int index);
    QRadioButton* Button(int index) const;

    // Runs whenever another item becomes selected, by click or by program.
    std::function<void()> OnClick;

private:
    QButtonGroup* group_;
    std::vector<QRadioButton*> buttons_;
};

class TCheckGroup final : public QGroupBox {
    Q_OBJECT
public:
    TCheckGroup(const QString& caption, const QStringList& items, QWidget* parent = nullptr);

    // Box i is ticked exactly when bit i of value is set; a negative value
    // clears every box, bits without a box are ignored.
    void SetValue(int value);
    int Value() const;
    QCheckBox* Box(int index) const;
    int Count() const { return static_cast<int>(boxes_.size()); }

private:
    std::vector<QCheckBox*> boxes_;
    int value_ = -1;
};

}  // namespace tarnell
