#include "SioTrace.h"

#include "SioMisc.h"

namespace sio {

std::string RenderTraceByte(std::uint8_t, bool, bool) { return {}; }

void TSioTrace::RecordTraceByte(char, std::uint8_t) {}
void TSioTrace::RecordTraceBytes(char, const void*, std::size_t) {}
std::int32_t TSioTrace::StartTrace(std::int32_t) { return 0; }
void TSioTrace::StopTrace() {}
void TSioTrace::ResumeTrace() {}
void TSioTrace::PauseTrace() {}
std::int32_t TSioTrace::ClearTrace() { return 0; }
std::int32_t TSioTrace::DumpTrace(const std::string& f, bool h, bool a) { return Write(f, h, a, false); }
std::int32_t TSioTrace::AppendTrace(const std::string& f, bool h, bool a) { return Write(f, h, a, true); }
bool TSioTrace::HasRing() const { return false; }
std::int32_t TSioTrace::TraceCapacity() const { return 0; }
std::int32_t TSioTrace::TraceIndex() const { return 0; }
bool TSioTrace::TraceWrapped() const { return false; }
std::int32_t TSioTrace::Write(const std::string&, bool, bool, bool) { return 0; }

TSioLog::TSioLog() : timeBase_(MillisecondClock()) {}
void TSioLog::SetDeviceName(const std::string& name) { std::lock_guard l(nameLock_); deviceName_ = name; }
std::string TSioLog::DeviceName() const { std::lock_guard l(nameLock_); return deviceName_; }
void TSioLog::AddLogEntry(std::uint8_t, std::uint16_t, std::uint32_t, const void*, std::uint32_t) {}
void TSioLog::StartLog(std::uint32_t) {}
void TSioLog::StopLog() {}
void TSioLog::ResumeLog() {}
void TSioLog::PauseLog() {}
void TSioLog::ClearLog() {}
std::int32_t TSioLog::DumpLog(const std::string& f, bool h, bool a) { return Write(f, h, a, false); }
std::int32_t TSioLog::AppendLog(const std::string& f, bool h, bool a) { return Write(f, h, a, true); }
std::string TSioLog::CompilerText() { return {}; }
std::string TSioLog::OperatingSystemText() { return {}; }
std::string TSioLog::TimeText(std::uint32_t) { return {}; }
std::string TSioLog::StatusKindName(std::uint8_t) { return {}; }
std::int32_t TSioLog::Write(const std::string&, bool, bool, bool) { return 0; }

}  // namespace sio
