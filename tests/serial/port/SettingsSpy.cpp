#include "SettingsSpy.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>

int TSettingsSpy::Ioctl(int fd, unsigned long request, void* arg)
{
    if (request == TCSETS2) {
        const auto& t = *static_cast<const termios2*>(arg);
        TWrittenSettings s;
        s.Parity = t.c_cflag & PARENB;
        s.OddParity = t.c_cflag & PARODD;
        s.MarkSpace = t.c_cflag & CMSPAR;
        s.TwoStopBits = t.c_cflag & CSTOPB;
        switch (t.c_cflag & CSIZE) {
        case CS5: s.DataBits = 5; break;
        case CS6: s.DataBits = 6; break;
        case CS7: s.DataBits = 7; break;
        default: s.DataBits = 8; break;
        }
        s.Baud = t.c_ospeed;
        s.RtsCts = t.c_cflag & CRTSCTS;
        std::lock_guard lock(m_);
        written_.push_back(s);
    }
    return sio::sys::TSysCalls::Ioctl(fd, request, arg);
}

std::size_t TSettingsSpy::Count()
{
    std::lock_guard lock(m_);
    return written_.size();
}

TWrittenSettings TSettingsSpy::Last()
{
    std::lock_guard lock(m_);
    return written_.empty() ? TWrittenSettings{} : written_.back();
}
