#include "SelectComDialog.h"

#include <QApplication>
#include <QComboBox>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

namespace tarnell {

namespace {
constexpr int ListWidth = 220;    // the classic dialog's client width
constexpr int DeviceWidth = 230;  // the column that names the device
constexpr int ClientHeight = 131;
}  // namespace

SelectComDialog::SelectComDialog(sio::TComSelectForm& form, const TPortPrompt& prompt, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      form_(form)
{
    setObjectName("ComSelectForm");
    setWindowTitle(SerialText(sio::TComSelectForm::Caption));
    setFixedSize(ListWidth + DeviceWidth, ClientHeight);

    QFont font;
    font.setFamilies({"MS Sans Serif", "Liberation Sans", "DejaVu Sans"});
    font.setPixelSize(11);
    setFont(font);
    QPalette pal = palette();
    pal.setColor(QPalette::WindowText, Qt::black);
    setPalette(pal);

    bevel_ = new QFrame(this);
    bevel_->setObjectName("Bevel1");
    bevel_->setFrameStyle(QFrame::Box | QFrame::Sunken);
    bevel_->setGeometry(8, 8, 201, 42);

    label1_ = new QLabel(prompt.line1, this);
    label1_->setObjectName("Label1");
    label1_->setGeometry(18, 14, 190, 13);
    label2_ = new QLabel(prompt.line2, this);
    label2_->setObjectName("Label2");
    label2_->setGeometry(18, 30, 180, 13);

    ports_ = new QComboBox(this);
    ports_->setObjectName("PortsComboBox");
    ports_->setEditable(false);
    ports_->setGeometry(8, 64, 201, 21);
    for (const std::string& item : form_.Items())
        ports_->addItem(QString::fromStdString(item));
    for (int i = 0; prompt.preselect > 0 && i < ports_->count(); ++i)
        if (form_.PortOfItem(i) == prompt.preselect)
            form_.SetItemIndex(i);
    ports_->setCurrentIndex(form_.ItemIndex());

    device_ = new QLabel(this);
    device_->setObjectName("DeviceLabel");
    device_->setGeometry(ListWidth, 56, DeviceWidth - 8, 36);
    device_->setWordWrap(true);
    device_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    device_->setTextInteractionFlags(Qt::TextSelectableByMouse);

    ok_ = new QPushButton(tr("OK"), this);
    ok_->setObjectName("OkBtn");
    ok_->setGeometry(8, 95, 85, 27);
    ok_->setDefault(true);
    abort_ = new QPushButton(tr("Cancel"), this);
    abort_->setObjectName("AbortBtn");
    abort_->setGeometry(124, 95, 85, 27);
    abort_->setAutoDefault(false);

    // Tab order: OK, Cancel, then the list.
    setTabOrder(ok_, abort_);
    setTabOrder(abort_, ports_);

    connect(ok_, &QPushButton::clicked, this, [this] {
        form_.SetItemIndex(ports_->currentIndex());
        done(sio::mrOk);
    });
    connect(abort_, &QPushButton::clicked, this, [this] { done(sio::mrAbort); });
    connect(ports_, &QComboBox::currentIndexChanged, this, &SelectComDialog::ShowDevice);
    ShowDevice(ports_->currentIndex());
}

int SelectComDialog::ShowModal()
{
    int result = exec();
    // The title bar's close button rejects with 0: that is a cancel.
    return result == QDialog::Rejected ? sio::mrCancel : result;
}

void SelectComDialog::keyPressEvent(QKeyEvent* e)
{
    // No button is bound to Escape; the dialog stays open.
    if (e->key() == Qt::Key_Escape && e->modifiers() == Qt::NoModifier) {
        e->accept();
        return;
    }
    QDialog::keyPressEvent(e);
}

void SelectComDialog::showEvent(QShowEvent* e)
{
    QDialog::showEvent(e);
    if (QScreen* screen = this->screen()) {
        QRect r = frameGeometry();
        r.moveCenter(screen->availableGeometry().center());
        move(r.topLeft());
    }
    ok_->setFocus();
}

void SelectComDialog::ShowDevice(int index)
{
    std::string text = sio::DescribePort(form_.PortOfItem(index));
    QString shown = text.empty() ? QString() : QString::fromStdString(text);
    device_->setText(shown);
    device_->setToolTip(shown);
}

void InstallPortChooser(std::function<TPortPrompt()> prompt)
{
    sio::SetPortChooser([prompt = std::move(prompt)](sio::TComSelectForm& form) {
        SelectComDialog dialog(form, prompt ? prompt() : TPortPrompt{}, QApplication::activeWindow());
        return dialog.ShowModal();
    });
}

}  // namespace tarnell
