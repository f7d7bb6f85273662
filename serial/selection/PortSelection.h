// Port selection: which serial ports are present, the list the operator
// chooses from, and the seam through which the operator is asked.
//
// The serial layer has no widgets. TComSelectForm is the dialog's model: it
// probes and fills the list and turns the chosen item into a port number.
// Showing it goes through a process-wide chooser hook: the console installs
// the Qt dialog (ui/SelectComDialog), tests install a function that answers
// in advance. Without a hook, ShowModal answers Cancel.
//
// Port numbers map to devices like this on Linux: when SIO_PORT_DIR names a
// folder, port n is its entry COMn and there are no other ports; otherwise
// COM1..32 are /dev/ttyS0..31, COM33..40 /dev/ttyUSB0..7, COM41..48
// /dev/ttyACM0..7. On Windows port n is the device "\\.\COMn" itself.
// An entry COMn that is a symbolic link to "rfc2217://HOST:PORT" or
// "tcp://HOST:PORT" is a network port (where the build has them).
//
// Everything here runs on the main thread, except the path helpers, which
// any thread may call.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace sio {

// Modal results, numbered as the dialog's buttons report them.
inline constexpr int mrNone = 0;
inline constexpr int mrOk = 1;
inline constexpr int mrCancel = 2;
inline constexpr int mrAbort = 3;

// Highest port number the selection lists.
inline constexpr int MaxSelectablePort = 50;

// The toolkit's integer conversion error: the text of the selected item,
// with "COM" cut off, is not a number (an empty list confirmed with OK).
class EConvertError : public std::runtime_error {
public:
    explicit EConvertError(const std::string& text);
};

// StrToInt as the dialog uses it: optional sign and decimal digits, nothing
// else; anything that is not a 32-bit integer raises EConvertError.
int StrToInt(const std::string& text);

// The device path behind port n, or "" when n maps to nothing.
std::string PortDevicePath(int n);

// The device name the serial layer shows and logs for port n ("\\.\COM3").
std::string PortDeviceName(int n);

// Port number of a device name "\\.\COMn" (or "COMn"); 0 when it is none.
int PortNumberFromName(const std::string& name);

// Linux: a port counts as present when its device exists and has a driver
// behind it. The probe never opens the device: opening a tty raises DTR and
// RTS, which resets some devices and can switch an RS-485 transceiver to
// send. Windows: the port is opened and closed again at once, as Windows
// has no other general way to ask; a refused open (error 5) counts as
// present. A port held by another program is present.
bool IsPortAvailable(int n);

// What the operator sees beside the list: the device behind port n and,
// for a USB adapter, its manufacturer and product text from sysfs
// ("/dev/ttyUSB0 (FTDI FT232R USB UART)"). "" when n maps to nothing.
std::string DescribePort(int n);

// Lets tests point the probes at a fake /dev and /sys tree ("" restores
// the real ones). Not for production code.
void SetDeviceRootsForTesting(const std::string& devRoot, const std::string& sysRoot);

class TComSelectForm;

// The chooser shows the form modally and returns its modal result; it
// stores the operator's choice in the form's ItemIndex.
using TPortChooser = std::function<int(TComSelectForm& form)>;

// Installs the process-wide chooser and returns the one it replaces.
TPortChooser SetPortChooser(TPortChooser chooser);

// The dialog's model, one per prompt.
class TComSelectForm {
public:
    // FormCreate: probes COM1..COM50 and fills Items, first item selected.
    TComSelectForm();

    // Re-probes and refills (what the create handler does).
    void FormCreate();

    // Asks the installed chooser; mrCancel when none is installed.
    int ShowModal();

    // The number of the selected port: the selected item's text without its
    // first three characters, as a decimal integer; EConvertError when the
    // list is empty or the text is no number.
    int SelectedPort() const;

    const std::vector<std::string>& Items() const { return items_; }
    int ItemIndex() const { return itemIndex_; }
    // Out-of-range indexes select nothing (-1), as a combo box does.
    void SetItemIndex(int index);

    // The port number of item i (0 when out of range); for the view.
    int PortOfItem(int i) const;

    static constexpr const char* Caption = "Select Port";
    static constexpr const char* Label1Caption = "The configured serial port is not valid.";
    static constexpr const char* Label2Caption = "Please choose another port.";

private:
    std::vector<std::string> items_;
    std::vector<int> ports_;
    int itemIndex_ = -1;
};

}  // namespace sio
