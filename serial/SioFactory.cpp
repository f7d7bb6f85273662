#include "SioFactory.h"

#include "SioUser.h"

namespace sio {

std::uint8_t SupportedDeviceLayers()
{
    return 1u << dlWin32;
}

std::unique_ptr<TSioBaseDispatcher> CreateDispatcherFor(TDeviceLayer layer, TSioCustomComPort* owner)
{
    switch (layer) {
    case dlWin32:
        return CreateLocalDispatcher(owner);
    case dlWinsock:
        break;
    }
    return nullptr;
}

}  // namespace sio
