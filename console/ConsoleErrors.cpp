#include "ConsoleErrors.h"

#include "ConsoleStrings.h"

#include <cstdint>

namespace tarnell {

int StrToInt(const QString& s)
{
    auto fail = [&s]() -> int { throw EConvertError(QString::fromUtf8(strings::kConvertError).arg(s)); };
    qsizetype i = 0;
    while (i < s.size() && s[i] == QLatin1Char(' '))
        ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == QLatin1Char('-') || s[i] == QLatin1Char('+')))
        negative = s[i++] == QLatin1Char('-');
    if (i == s.size())
        return fail();
    std::int64_t value = 0;
    for (; i < s.size(); ++i) {
        char16_t c = s[i].unicode();
        if (c < u'0' || c > u'9')
            return fail();
        value = value * 10 + (c - u'0');
        if (value > std::int64_t{INT32_MAX} + 1)
            return fail();
    }
    if (negative)
        value = -value;
    if (value < INT32_MIN || value > INT32_MAX)
        return fail();
    return static_cast<int>(value);
}

}  // namespace tarnell
