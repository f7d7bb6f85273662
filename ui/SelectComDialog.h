// The port selection dialog's view: shows a sio::TComSelectForm (the list
// of present ports) and writes the operator's choice back into it.
//
// OK is the default button (Enter) and ends with result 1; Cancel ends with
// 3. No button answers Escape, and closing by the title bar ends with the
// dialog's plain rejection, which the caller treats as a cancel. Beside the
// list the dialog shows which device is behind the selected port.
#pragma once

#include "selection/PortSelection.h"

#include <QDialog>
#include <QString>

#include "SerialTexts.h"

#include <functional>

class QComboBox;
class QFrame;
class QLabel;
class QPushButton;

namespace tarnell {

// What the dialog says above the list, and the port it selects first.
struct TPortPrompt {
    // The classic caption: for a port that would not open.
    QString line1 = SerialText(sio::TComSelectForm::Label1Caption);
    QString line2 = SerialText(sio::TComSelectForm::Label2Caption);
    // Selected when listed; otherwise (and with 0) the first port is.
    int preselect = 0;
};

class SelectComDialog final : public QDialog {
    Q_OBJECT
public:
    explicit SelectComDialog(sio::TComSelectForm& form, const TPortPrompt& prompt = {}, QWidget* parent = nullptr);

    // Shows the dialog modally and returns its modal result in the serial
    // layer's numbering: sio::mrOk, sio::mrAbort (Cancel) or sio::mrCancel
    // (closed by the window manager).
    int ShowModal();

    QComboBox* PortsComboBox() const { return ports_; }
    QPushButton* OkBtn() const { return ok_; }
    QPushButton* AbortBtn() const { return abort_; }
    QLabel* DeviceLabel() const { return device_; }

protected:
    void keyPressEvent(QKeyEvent* e) override;
    void showEvent(QShowEvent* e) override;

private:
    void ShowDevice(int index);

    sio::TComSelectForm& form_;
    QFrame* bevel_ = nullptr;
    QLabel* label1_ = nullptr;
    QLabel* label2_ = nullptr;
    QComboBox* ports_ = nullptr;
    QLabel* device_ = nullptr;
    QPushButton* ok_ = nullptr;
    QPushButton* abort_ = nullptr;
};

// Makes the dialog the serial layer's port chooser (see sio::SetPortChooser).
// prompt, if given, is asked at every prompt what the dialog is to say.
void InstallPortChooser(std::function<TPortPrompt()> prompt = {});

}  // namespace tarnell
