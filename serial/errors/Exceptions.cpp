#include "errors/Exceptions.h"

#include "base/BaseComponent.h"
#include "errors/ErrorTexts.h"

namespace sio {

namespace {

std::int32_t Magnitude(std::int32_t code)
{
    const std::int64_t wide = code;
    return static_cast<std::int32_t>(wide < 0 ? -wide : wide);
}

}  // namespace

ESioException::ESioException(std::int32_t code) : std::runtime_error(ErrorMessage(Magnitude(code))), errorCode_(code) {}

ESioException::ESioException(const std::string& text) : std::runtime_error(text), errorCode_(0) {}

ESioException::ESioException(std::int32_t code, const std::string& text) : std::runtime_error(text), errorCode_(code) {}

EInOutError::EInOutError(const std::string& message, std::int32_t errorCode)
    : std::runtime_error(message), errorCode_(errorCode)
{
}

const char* EOutOfMemory::what() const noexcept { return "Out of memory"; }

void RaiseForCode(std::int32_t code, const std::string& text)
{
    if (code >= 0) return;
    const bool own = !text.empty();
    switch (code) {
#define SIO_RAISE_MAPPED(Class, Group, Code) \
    case Code:                                \
        if (own) throw Class(code, text);     \
        throw Class(code);
#define SIO_RAISE_TAPI(Class, Code)       \
    case Code:                            \
        if (own) throw Class(code, text); \
        throw Class(code);
        SIO_MAPPED_EXCEPTIONS(SIO_RAISE_MAPPED)
        SIO_TAPI_EXCEPTIONS(SIO_RAISE_TAPI)
#undef SIO_RAISE_MAPPED
#undef SIO_RAISE_TAPI
    case -7003:
    case -7006:
    case -7012:
        if (own) throw EInternal(code, text);
        throw EInternal(code);
    case -6006:
    case -6008:
    case -6009:
        if (own) throw EProtocol(code, text);
        throw EProtocol(code);
    case -8:
        throw EOutOfMemory();
    default:
        break;
    }
    if (code >= -162 && code <= -2) throw EInOutError(own ? text : ErrorMessage(code), -code);
    // Everything else, the packet codes and -1001 included, has no class.
    throw ESioException(own ? text : std::string("Sio exception"));
}

void RaiseForCode(std::int32_t code) { RaiseForCode(code, std::string()); }

bool CodeHasClass(std::int32_t code)
{
    try {
        RaiseForCode(code);
    } catch (const ESioException& e) {
        return e.ErrorCode() != 0;
    } catch (...) {
        return true;
    }
    return false;
}

std::int32_t RaiseOnError(const TSioBaseComponent* component, std::int32_t code)
{
    if (code >= 0) return code;
    if (component != nullptr && component->IsLoading()) return code;
    RaiseForCode(code);
    return code;
}

}  // namespace sio
