#include "ConsoleErrors.h"

#include "ConsoleStrings.h"
#include "GripperProtocol.h"

#include <string_view>

namespace tarnell {

int StrToInt(const QString& s)
{
    // The same rules as the gripper's replies are read by; the message keeps
    // the text as the operator typed it.
    const QByteArray bytes = s.toUtf8();
    try {
        return protocol::StrToInt(std::string_view(bytes.constData(), std::size_t(bytes.size())));
    } catch (const protocol::EConvertError&) {
        throw EConvertError(strings::Tr(strings::kConvertError).arg(s));
    }
}

}  // namespace tarnell
