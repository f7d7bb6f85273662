#include "SioSelCom.h"

#include "SioFactory.h"
#include "SioPosix.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <mutex>

namespace sio {

namespace {

std::mutex g_lock;  // guards the chooser and the test roots
TPortChooser g_chooser;
std::string g_devRoot = "/dev";
std::string g_sysRoot = "/sys";

std::string DevRoot()
{
    std::lock_guard lock(g_lock);
    return g_devRoot;
}

std::string SysRoot()
{
    std::lock_guard lock(g_lock);
    return g_sysRoot;
}

const char* PortDir()
{
    const char* dir = std::getenv("SIO_PORT_DIR");
    return (dir && *dir) ? dir : nullptr;
}

bool IsCharDevice(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

bool Exists(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::string ReadFirstLine(const std::string& path)
{
    std::ifstream in(path);
    std::string line;
    if (in)
        std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    return line;
}

std::string BaseName(const std::string& path)
{
    auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ResolvedPath(const std::string& path)
{
    char buf[PATH_MAX];
    if (::realpath(path.c_str(), buf))
        return buf;
    return path;
}

// The tty's name in /sys/class/tty. A SIO_PORT_DIR entry is a link to the
// real device; a /dev name is the tty itself.
std::string TtyName(int n)
{
    std::string path = PortDevicePath(n);
    if (path.empty())
        return {};
    return BaseName(PortDir() ? ResolvedPath(path) : path);
}

}  // namespace

EConvertError::EConvertError(const std::string& text)
    : std::runtime_error("'" + text + "' ist kein gültiger Integerwert")
{
}

int StrToInt(const std::string& text)
{
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i == text.size())
        throw EConvertError(text);
    long long value = 0;
    for (; i < text.size(); ++i) {
        char c = text[i];
        if (c < '0' || c > '9')
            throw EConvertError(text);
        value = value * 10 + (c - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            throw EConvertError(text);
    }
    if (negative)
        value = -value;
    if (value > INT_MAX || value < INT_MIN)
        throw EConvertError(text);
    return static_cast<int>(value);
}

std::string PortDevicePath(int n) { return PosixPortPath(n, DevRoot()); }

std::string PortDeviceName(int n) { return "\\\\.\\COM" + std::to_string(n); }

int PortNumberFromName(const std::string& name)
{
    std::string rest = name;
    if (rest.rfind("\\\\.\\", 0) == 0)
        rest = rest.substr(4);
    if (rest.size() < 4 || rest.compare(0, 3, "COM") != 0)
        return 0;
    int n = 0;
    for (std::size_t i = 3; i < rest.size(); ++i) {
        if (rest[i] < '0' || rest[i] > '9' || n > 100000)
            return 0;
        n = n * 10 + (rest[i] - '0');
    }
    return n;
}

bool IsPortAvailable(int n)
{
    if (n <= 0)
        return false;
    // A link to a network address: present, without a look at the network
    // (a probe must neither wait nor disturb a server's only connection).
    if (!NetworkPortAddress(n).empty())
        return true;
    std::string path = PortDevicePath(n);
    if (path.empty() || !IsCharDevice(path))
        return false;
    // Any character device that the folder points to counts.
    if (PortDir())
        return true;
    // A /dev/ttySn node exists for every possible 8250 line; only those
    // with a driver behind them and a known UART type are real ports.
    std::string cls = SysRoot() + "/class/tty/" + BaseName(path);
    if (!Exists(cls + "/device"))
        return false;
    if (Exists(cls + "/type") && ReadFirstLine(cls + "/type") == "0")
        return false;
    return true;
}

std::string DescribePort(int n)
{
    if (std::string address = NetworkPortAddress(n); !address.empty())
        return "network port " + address;
    std::string path = PortDevicePath(n);
    if (path.empty() || !Exists(path))
        return {};
    std::string shown = PortDir() ? ResolvedPath(path) : path;
    std::string dev = SysRoot() + "/class/tty/" + TtyName(n) + "/device";
    if (!Exists(dev))
        return shown;
    // The USB device's own folder, a few levels above the tty's interface,
    // holds the product text.
    std::string dir = ResolvedPath(dev);
    for (int level = 0; level < 5 && dir.size() > 1; ++level) {
        if (Exists(dir + "/product")) {
            std::string product = ReadFirstLine(dir + "/product");
            std::string maker = ReadFirstLine(dir + "/manufacturer");
            std::string text = maker.empty() ? product : maker + " " + product;
            return text.empty() ? shown : shown + " (" + text + ")";
        }
        auto slash = dir.find_last_of('/');
        if (slash == std::string::npos || slash == 0)
            break;
        dir.resize(slash);
    }
    return shown;
}

void SetDeviceRootsForTesting(const std::string& devRoot, const std::string& sysRoot)
{
    std::lock_guard lock(g_lock);
    g_devRoot = devRoot.empty() ? "/dev" : devRoot;
    g_sysRoot = sysRoot.empty() ? "/sys" : sysRoot;
}

TPortChooser SetPortChooser(TPortChooser chooser)
{
    std::lock_guard lock(g_lock);
    TPortChooser old = std::move(g_chooser);
    g_chooser = std::move(chooser);
    return old;
}

TComSelectForm::TComSelectForm() { FormCreate(); }

void TComSelectForm::FormCreate()
{
    items_.clear();
    ports_.clear();
    for (int n = 1; n <= MaxSelectablePort; ++n) {
        if (IsPortAvailable(n)) {
            items_.push_back("COM" + std::to_string(n));
            ports_.push_back(n);
        }
    }
    itemIndex_ = items_.empty() ? -1 : 0;
}

int TComSelectForm::ShowModal()
{
    TPortChooser chooser;
    {
        std::lock_guard lock(g_lock);
        chooser = g_chooser;
    }
    return chooser ? chooser(*this) : mrCancel;
}

int TComSelectForm::SelectedPort() const
{
    std::string text;
    if (itemIndex_ >= 0 && itemIndex_ < static_cast<int>(items_.size()))
        text = items_[static_cast<std::size_t>(itemIndex_)];
    // Everything from the fourth character on, at most 255 characters.
    text = text.size() > 3 ? text.substr(3, 255) : std::string();
    return StrToInt(text);
}

void TComSelectForm::SetItemIndex(int index)
{
    itemIndex_ = (index >= 0 && index < static_cast<int>(items_.size())) ? index : -1;
}

int TComSelectForm::PortOfItem(int i) const
{
    return (i >= 0 && i < static_cast<int>(ports_.size())) ? ports_[static_cast<std::size_t>(i)] : 0;
}

}  // namespace sio
