// The main window: the parameter area (grids, parity and type selectors,
// address, file and gripper buttons), the command line, the output area
// (output window, status boxes, function-key table) and the status line.
//
// The controls keep the names the operator's documentation uses, so that a
// behaviour can be traced to its control and handler. The grids' checking,
// the parameter file and the hint display live in modules of their own.
#pragma once

#include "ConsoleState.h"
#include "ExchangeLine.h"
#include "ParameterFile.h"
#include "ParameterGrids.h"
#include "StatusHints.h"

#include <QWidget>

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace sio {
class TSioComPort;
class TSioDataPacket;
class TSioCustomComPort;
class TSioBaseComponent;
}  // namespace sio

class QFrame;
class QKeyEvent;
class QGroupBox;
class QLineEdit;
class QPushButton;

namespace tarnell {

class TCheckGroup;
class TComboBox;
class TMemo;
class TOutputMenu;
class TPortChoice;
class TPortStatusLine;
class TRadioGroup;
class TStringGrid;
class TVerify;
class TBusPanel;
class TStatusMonitor;
class TLanguageMenu;

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

    // Command transmission: an operator's command, through the window's
    // line. Opens the port at the first command (asking the operator for
    // one); waits first for the answer to an exchange still on the wire.
    void SendCommand(const std::string& s);
    void bSenden2Click();
    void FormKeyUp(QKeyEvent& key);
    void rgParityClick();

    // Replies, time-outs and line errors.
    void ComDataPacketStringPacket(sio::TSioBaseComponent* Sender, const std::string& Data);
    void ComDataPacketTimeout(sio::TSioBaseComponent* Sender);
    void ComPortTriggerLineError(sio::TSioCustomComPort* CP, std::uint16_t Error, bool LineBreak);

    // The storage places: read all eight from the gripper, write the grids
    // to it. Each waits for the answer to one place before the next.
    void bReadClick();
    void bSendenClick();
    // Whether Readout or Send is waiting for an answer right now.
    bool SequenceRunning() const { return sequenceRunning_; }
    // What the last Send wrote: to which gripper, the rows as checked at its
    // click, which places went out and how many of them were answered.
    struct TSent {
        int address = 0;
        protocol::TPlaces places;
        std::vector<int> sent;
        int answered = 0;
    };
    const TSent& LastSend() const { return lastSend_; }

    // For the modules beside the form (Verify, the bus panel, the monitor):
    // they use the same line and waits as Readout and Send.
    // A sequence of their own: false if one runs already, or if the window
    // closed while the answer to a command sent before was awaited.
    bool BeginSequence();
    void EndSequence();
    // SendCommand, then the sequence's wait; false when the window closes.
    bool SequenceExchange(const std::string& command);
    // The same, but neither shown in the output nor answered by the time-out
    // message; ticks is the time limit, and an answer naming another
    // address than the command's is no answer. The answer is in LastReply.
    bool QuietExchange(const std::string& command, int ticks);
    // A quiet command that does not wait: done gets the answer, or nothing
    // at the time-out. Any other command before then drops done.
    void SendQuiet(const std::string& command, int ticks, std::function<void(std::optional<std::string>)> done);
    // A command went out and neither its answer nor its time-out came yet.
    bool AnswerOwed() const { return line_->Busy(); }
    // The conversation on the port: every exchange goes through it.
    TExchangeLine& Line() { return *line_; }

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
    // Below the form: the port in use and its state.
    TPortStatusLine* PortStatus = nullptr;

    // The output window's context menu and the choice of another port.
    TOutputMenu& OutputMenu() { return *outputMenu_; }
    TPortChoice& PortChoice() { return *portChoice_; }
    // Verify, beside the form: its actions sit on the port line.
    TVerify& Verify() { return *verify_; }
    // The grippers on the bus, and the status over time: windows of their own.
    TBusPanel& Bus() { return *bus_; }
    TStatusMonitor& Monitor() { return *monitor_; }
    // The window's language, offered by the port line's and the output
    // window's context menus.
    TLanguageMenu& Language() { return *language_; }

    // The window keeps the place it was given instead of centring itself.
    void KeepPosition() { centred_ = true; }
    // Whether a window beside the form was open: now, or when the form
    // closed (which closes them on some platforms).
    bool WasOpen(const QWidget& window) const { return window.isVisible() || openAtClose_.contains(&window); }

    // The designed size of the form, and the height of the port line below it.
    static constexpr int kFormWidth = 1016;
    static constexpr int kFormHeight = 741;
    static constexpr int kPortLineHeight = 24;
    // While Readout or Send runs, the output shows new lines at most this often.
    static constexpr int kSequenceOutputPeriodMs = 40;

    // The serial port and its reply collector. The port opens at the first
    // command and stays open until the window goes.
    std::unique_ptr<sio::TSioComPort> ComPort;
    std::unique_ptr<sio::TSioDataPacket> ComDataPacket;

signals:
    // A sequence (Readout, Send or one of the modules') began or ended.
    void sequenceChanged(bool running);
    // The window's gripper (the address in "Tarnell Adress") is another now.
    void gripperChanged(int address);

protected:
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void CreateControls();
    // Places the controls for the window's size: at the designed size as
    // designed; the output window takes what is more, the grids and the
    // command line the extra width, the status boxes and key table the
    // extra height.
    void LayoutControls();
    void SetTabOrder();
    void BindEvents();
    void CreatePort();
    void ArmLineErrorTrigger();
    // Waits, serving the window, until the command just sent has its answer
    // or its time-out; false when the window is closing instead.
    bool WaitForAnswer();
    // The same for the answer to an exchange still on the wire (a poll, a
    // command sent just before) before a sequence or a command starts; the
    // sending controls rest meanwhile.
    bool WaitForOwedAnswer();
    // Sending controls are off while a sequence waits for its answers.
    void SetSequenceRunning(bool running);
    // A port failure as the operator is told it: the port and its device in
    // front of the serial layer's text, and next (if any) after it.
    std::exception_ptr NamingPort(std::exception_ptr error, const char* next = "") const;
    friend class TExchangeLine;

    TConsoleState state_;
    std::unique_ptr<TParameterGrids> grids_;
    std::unique_ptr<TParameterFile> file_;
    std::unique_ptr<TStatusHints> hints_;
    TOutputMenu* outputMenu_ = nullptr;
    TPortChoice* portChoice_ = nullptr;
    TVerify* verify_ = nullptr;
    TBusPanel* bus_ = nullptr;
    TStatusMonitor* monitor_ = nullptr;
    TLanguageMenu* language_ = nullptr;
    bool centred_ = false;
    QList<const QWidget*> openAtClose_;
    bool sequenceRunning_ = false;
    bool sequenceShown_ = false;  // the buttons and output as for a sequence
    bool closing_ = false;
    std::unique_ptr<TExchangeLine> line_;
    TSent lastSend_;
};

}  // namespace tarnell
