// The platform-neutral part of port selection: the list, the chooser hook
// and the number conversion. Which ports exist is the platform's
// (PortProbePosix.cpp, PortProbeWin32.cpp).
#include "selection/PortSelection.h"

#include <climits>
#include <mutex>

namespace sio {

namespace {

std::mutex g_lock;  // guards the chooser
TPortChooser g_chooser;

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
