#include "SioStrMap.h"

namespace sio {

std::string ErrorMessage(std::int32_t) { return {}; }
std::string_view TableMessage(std::int32_t) { return {}; }
std::string CleanSystemMessage(std::string_view text) { return std::string(text); }
std::int32_t IoErrorFromErrno(int err, bool) { return -err; }

}  // namespace sio
