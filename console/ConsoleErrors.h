// The console's exceptions. The console has no error codes: what it cannot do
// ends the current handler with one of these, and the application's error
// report shows its message.
#pragma once

#include <QString>

#include <stdexcept>

namespace tarnell {

class EConsoleError : public std::runtime_error {
public:
    explicit EConsoleError(const QString& message) : std::runtime_error(message.toStdString()) {}
};

// A text that is not a decimal integer of 32 bits.
class EConvertError final : public EConsoleError {
public:
    using EConsoleError::EConsoleError;
};

// A list read past its end (a parameter file that is too short).
class EStringListError final : public EConsoleError {
public:
    using EConsoleError::EConsoleError;
};

// A file that cannot be read or written, or one that is refused.
class EFileError final : public EConsoleError {
public:
    using EConsoleError::EConsoleError;
};

// A port that failed, told with the port and its device in front of the
// serial layer's own text ("COM1 (/dev/pts/2): ...").
class EPortError final : public EConsoleError {
public:
    using EConsoleError::EConsoleError;
};

// The integer value of s: optional blanks before, an optional sign, decimal
// digits, nothing after. Throws EConvertError otherwise or when the value does
// not fit 32 bits.
int StrToInt(const QString& s);

}  // namespace tarnell
