// The main window: the parameter area (grids, parity and type selectors,
// address, file and gripper buttons), the command line, the output area
// (output window, status boxes, function-key table) and the status line.
//
// The controls keep the names the operator's documentation uses, so that a
// behaviour can be traced to its control and handler. The grids' checking,
// the parameter file and the hint display live in modules of their own.
#pragma once

#include "ConsoleState.h"
#include "ParameterFile.h"
#include "ParameterGrids.h"
#include "StatusHints.h"

#include <QWidget>

#include <memory>

class QFrame;
class QGroupBox;
class QLineEdit;
class QPushButton;

namespace tarnell {

class TCheckGroup;
class TComboBox;
class TMemo;
class TRadioGroup;
class TStringGrid;

class TForm1 final : public QWidget {
    Q_OBJECT
public:
    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    // The state shared by all handlers of the window.
    TConsoleState& State() { return state_; }

    // Start-up, run once by the constructor.
    void FormCreate();
    void SetupStorageGrid(const QString& h0, const QString& h1, const QString& h2, const QString& h3);
    // The application's hint changed.
    void ApplicationHint(const QString& hint);
    // "<< Delete": empties the output window.
    void bClearClick();

    // Parameter grids and selectors.
    void StringGrid1KeyPress(QChar& key);
    void StringGrid1SetEditText(int col, int row);
    void StringGrid1Click();
    void StringGrid2Click();
    void rgGripperTypeClick();
    void meAdresseChange();

    // Parameter file.
    void bSaveClick();
    void bOpenClick();
    void bClearStringGridClick();

    // Controls.
    QFrame* Panel1;
    QFrame* Panel4;
    TStringGrid* StringGrid2;
    TStringGrid* StringGrid1;
    TRadioGroup* rgParity;
    TRadioGroup* rgGripperType;
    QGroupBox* gbAdresse;
    QLineEdit* meAdresse;
    QPushButton* bOpen;
    QPushButton* bSave;
    QPushButton* bClearStringGrid;
    QPushButton* bRead;
    QPushButton* bSenden;
    QFrame* Panel2;
    TComboBox* cbCommands;
    QPushButton* bSenden2;
    QFrame* Panel3;
    TMemo* Memo1;
    QPushButton* bClear;
    TCheckGroup* cgStatus;
    TStringGrid* StringGrid3;
    TMemo* mStatus;

    // The serial port ComPort and its reply collector ComDataPacket join the
    // window with command transmission; until then Readout, Send, the command
    // line's Send and the function keys do nothing.

protected:
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void CreateControls();
    void BindEvents();

    TConsoleState state_;
    std::unique_ptr<TParameterGrids> grids_;
    std::unique_ptr<TParameterFile> file_;
    std::unique_ptr<TStatusHints> hints_;
    bool centred_ = false;
};

}  // namespace tarnell
