// What the two halves of the port component share (ComPort.cpp: opening,
// closing and notifications; PortSettings.cpp: the properties).
#pragma once

#include "port/ComPort.h"

#include "dispatch/Dispatcher.h"

#include <memory>

namespace sio {

// The triggers kept across a close of the port.
struct TSavedTriggerHolder {
    TSioTriggerSet Set;
};

struct TSioCustomComPort::TUserEntry {
    const void* Owner;
    TPortCallback Callback;
    bool Alive;
};

namespace {

// Restores ForceApply when a forced pass ends, also by an exception.
class TForceGuard {
public:
    TForceGuard(bool& flag, bool value) : flag_(flag), saved_(flag) { flag_ = value; }
    ~TForceGuard() { flag_ = saved_; }
    TForceGuard(const TForceGuard&) = delete;
    TForceGuard& operator=(const TForceGuard&) = delete;

private:
    bool& flag_;
    bool saved_;
};

}  // namespace

}  // namespace sio
