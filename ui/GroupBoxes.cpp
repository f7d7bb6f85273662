#include "GroupBoxes.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QProxyStyle>
#include <QRadioButton>
#include <QVBoxLayout>

namespace tarnell {

namespace {
// Items share the box's height evenly below its caption.
QVBoxLayout* ItemLayout(QGroupBox* box, int left)
{
    auto* layout = new QVBoxLayout(box);
    layout->setContentsMargins(left, 2, 0, 2);
    layout->setSpacing(0);
    return layout;
}
// Check boxes with their caption closer to the box.
class TCompactCheckStyle final : public QProxyStyle {
public:
    int pixelMetric(PixelMetric metric, const QStyleOption* option, const QWidget* widget) const override
    {
        if (metric == PM_CheckBoxLabelSpacing)
            return 3;
        return QProxyStyle::pixelMetric(metric, option, widget);
    }
};

}  // namespace

TRadioGroup::TRadioGroup(const QString& caption, const QStringList& items, QWidget* parent)
    : QGroupBox(caption, parent), group_(new QButtonGroup(this))
{
    QVBoxLayout* layout = ItemLayout(this, 8);
    for (int i = 0; i < items.size(); ++i) {
        auto* button = new QRadioButton(items[i], this);
        button->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);
        group_->addButton(button, i);
        layout->addWidget(button);
        buttons_.push_back(button);
    }
    connect(group_, &QButtonGroup::idToggled, this, [this](int, bool checked) {
        if (checked && OnClick)
            OnClick();
    });
}

int TRadioGroup::ItemIndex() const { return group_->checkedId(); }

void TRadioGroup::SetItemIndex(int index)
{
    if (index < 0 || index >= static_cast<int>(buttons_.size()) || index == ItemIndex())
        return;
    buttons_[static_cast<std::size_t>(index)]->setChecked(true);
}

QRadioButton* TRadioGroup::Button(int index) const { return buttons_.at(static_cast<std::size_t>(index)); }

TCheckGroup::TCheckGroup(const QString& caption, const QStringList& items, QWidget* parent)
    : QGroupBox(caption, parent)
{
    // Narrow boxes: the longest caption ("Overcurrent Err.") must fit, to
    // its last pixel.
    QVBoxLayout* layout = ItemLayout(this, 2);
    auto* style = new TCompactCheckStyle;
    style->setParent(this);
    for (const QString& item : items) {
        auto* box = new QCheckBox(item, this);
        box->setStyle(style);
        box->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);
        layout->addWidget(box);
        boxes_.push_back(box);
    }
}

void TCheckGroup::SetValue(int value)
{
    value_ = value;
    for (std::size_t i = 0; i < boxes_.size(); ++i)
        boxes_[i]->setChecked(value >= 0 && i < 31 && (value & (1 << i)) != 0);
}

int TCheckGroup::Value() const { return value_; }

QCheckBox* TCheckGroup::Box(int index) const { return boxes_.at(static_cast<std::size_t>(index)); }

}  // namespace tarnell
