#include "SioExcept.h"

#include "SioMisc.h"
#include "SioStrMap.h"

namespace sio {

ESioException::ESioException(std::int32_t code) : std::runtime_error(ErrorMessage(code)), errorCode_(code) {}
ESioException::ESioException(const std::string& text) : std::runtime_error(text), errorCode_(0) {}
EInOutError::EInOutError(const std::string& message, std::int32_t errorCode)
    : std::runtime_error(message), errorCode_(errorCode) {}
const char* EOutOfMemory::what() const noexcept { return "Out of memory"; }
void RaiseForCode(std::int32_t code)
{
    if (code < 0) throw ESioException("Sio exception");
}
std::int32_t RaiseOnError(const TSioBaseComponent* component, std::int32_t code)
{
    if (code >= 0 || (component && component->IsLoading())) return code;
    RaiseForCode(code);
    return code;
}

}  // namespace sio
