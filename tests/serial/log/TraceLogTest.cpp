// The trace ring and the dispatch log: recording rules and the exact bytes
// of both file formats.
#include "base/BaseComponent.h"
#include "log/TraceLog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace sio;

namespace {

class TempDir {
public:
    TempDir()
    {
        char pattern[] = "/tmp/sio-core-XXXXXX";
        const char* made = mkdtemp(pattern);
        if (made == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = made;
    }
    ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

void WriteAll(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary);
    out << text;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t pos = 0;
    for (;;) {
        const std::size_t end = text.find("\r\n", pos);
        if (end == std::string::npos) {
            lines.push_back(text.substr(pos));
            return lines;
        }
        lines.push_back(text.substr(pos, end - pos));
        pos = end + 2;
    }
}

const std::string kFrame = "STA;0\n\r";

class TraceTest : public ::testing::Test {
protected:
    void RecordFrameAndEcho()
    {
        ASSERT_EQ(trace.StartTrace(10000), 0);
        trace.RecordTraceBytes(tkTransmit, kFrame.data(), kFrame.size());
        for (char c : kFrame) trace.RecordTraceByte(tkReceive, static_cast<std::uint8_t>(c));
    }
    TempDir dir;
    TSioTrace trace;
};

}  // namespace

TEST(Rendering, ByteWidthsForEachMode)
{
    // The blank is shown as [20] only with hex.
    EXPECT_EQ(RenderTraceByte(' ', true, false), "[20]");
    EXPECT_EQ(RenderTraceByte(' ', false, false), " ");
    EXPECT_EQ(RenderTraceByte('~', true, false), "~");
    EXPECT_EQ(RenderTraceByte(127, true, false), "[7F]");
    // Decimal without leading zeros: widths 3, 4 and 5.
    EXPECT_EQ(RenderTraceByte(5, false, false), "[5]");
    EXPECT_EQ(RenderTraceByte(13, false, false), "[13]");
    EXPECT_EQ(RenderTraceByte(200, false, false), "[200]");
}

TEST_F(TraceTest, FrameAndEchoInHex)
{
    RecordFrameAndEcho();
    const std::string file = dir.File("SIO.TRC");
    EXPECT_EQ(trace.DumpTrace(file, true, false), 0);
    EXPECT_EQ(ReadAll(file), "Transmit: \r\nSTA;0[0A][0D]\r\n\r\nReceive: \r\nSTA;0[0A][0D]");
}

TEST_F(TraceTest, FrameAndEchoInDecimalAndAllHex)
{
    RecordFrameAndEcho();
    const std::string file = dir.File("SIO.TRC");
    EXPECT_EQ(trace.DumpTrace(file, false, false), 0);
    EXPECT_EQ(ReadAll(file), "Transmit: \r\nSTA;0[10][13]\r\n\r\nReceive: \r\nSTA;0[10][13]");

    trace.RecordTraceBytes(tkTransmit, kFrame.data(), kFrame.size());
    EXPECT_EQ(trace.DumpTrace(file, false, true), 0);
    EXPECT_EQ(ReadAll(file), "Transmit: \r\n[53][54][41][3B][30][0A][0D]");
}

TEST_F(TraceTest, RingKeepsTheNewestEntriesOldestFirst)
{
    ASSERT_EQ(trace.StartTrace(10), 0);
    const std::string bytes = "ABCDEFGHIJKLMNO";
    trace.RecordTraceBytes(tkReceive, bytes.data(), bytes.size());
    EXPECT_TRUE(trace.TraceWrapped());
    EXPECT_EQ(trace.TraceIndex(), 5);
    const std::string file = dir.File("ring.trc");
    EXPECT_EQ(trace.DumpTrace(file, true, false), 0);
    EXPECT_EQ(ReadAll(file), "Receive: \r\nFGHIJKLMNO");
    // Writing empties the trace and recording goes on.
    EXPECT_TRUE(trace.TraceOn());
    EXPECT_FALSE(trace.TraceWrapped());
    EXPECT_EQ(trace.TraceIndex(), 0);
}

TEST_F(TraceTest, DataLinesWrapAt78Columns)
{
    ASSERT_EQ(trace.StartTrace(1000), 0);
    const std::string printable(100, 'x');
    trace.RecordTraceBytes(tkTransmit, printable.data(), printable.size());
    const std::string file = dir.File("wrap.trc");
    ASSERT_EQ(trace.DumpTrace(file, true, false), 0);
    const auto lines = Lines(ReadAll(file));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "Transmit: ");
    EXPECT_EQ(lines[1], std::string(78, 'x'));
    EXPECT_EQ(lines[2], std::string(22, 'x'));

    // Items of width 4: nineteen fit (76), the twentieth starts a new line.
    const std::string lf(20, '\n');
    trace.RecordTraceBytes(tkReceive, lf.data(), lf.size());
    ASSERT_EQ(trace.DumpTrace(file, true, false), 0);
    const auto hexLines = Lines(ReadAll(file));
    ASSERT_EQ(hexLines.size(), 3u);
    EXPECT_EQ(hexLines[1].size(), 76u);
    EXPECT_EQ(hexLines[2], "[0A]");
}

TEST_F(TraceTest, AppendContinuesOnTheEarlierFilesLastLine)
{
    ASSERT_EQ(trace.StartTrace(100), 0);
    trace.RecordTraceBytes(tkTransmit, "AB", 2);
    const std::string file = dir.File("app.trc");
    ASSERT_EQ(trace.DumpTrace(file, true, false), 0);
    trace.RecordTraceBytes(tkReceive, "CD", 2);
    ASSERT_EQ(trace.AppendTrace(file, true, false), 0);
    EXPECT_EQ(ReadAll(file), "Transmit: \r\nABReceive: \r\nCD");

    // Appending creates a file that does not exist yet; dumping replaces.
    trace.RecordTraceBytes(tkTransmit, "E", 1);
    const std::string fresh = dir.File("fresh.trc");
    ASSERT_EQ(trace.AppendTrace(fresh, true, false), 0);
    EXPECT_EQ(ReadAll(fresh), "Transmit: \r\nE");
    trace.RecordTraceBytes(tkTransmit, "F", 1);
    ASSERT_EQ(trace.DumpTrace(file, true, false), 0);
    EXPECT_EQ(ReadAll(file), "Transmit: \r\nF");
}

TEST_F(TraceTest, EmptyTraceWritesNothing)
{
    const std::string file = dir.File("none.trc");
    EXPECT_EQ(trace.DumpTrace(file, true, false), 0);  // no ring at all
    EXPECT_FALSE(Exists(file));

    WriteAll(file, "earlier");
    ASSERT_EQ(trace.StartTrace(10), 0);
    EXPECT_EQ(trace.DumpTrace(file, true, false), 0);  // ring, nothing recorded
    EXPECT_EQ(ReadAll(file), "earlier");

    trace.RecordTraceByte(tkTransmit, 'a');
    ASSERT_EQ(trace.DumpTrace(file, true, false), 0);
    EXPECT_EQ(trace.DumpTrace(file, true, false), 0);  // a second writing right after
    EXPECT_EQ(ReadAll(file), "Transmit: \r\na");

    // A ring of no slots records nothing and writes nothing.
    TSioTrace none;
    ASSERT_EQ(none.StartTrace(0), 0);
    none.RecordTraceBytes(tkTransmit, "abc", 3);
    EXPECT_EQ(none.DumpTrace(dir.File("zero.trc"), true, false), 0);
    EXPECT_FALSE(Exists(dir.File("zero.trc")));
}

TEST_F(TraceTest, StateChanges)
{
    EXPECT_EQ(trace.StartTrace(MaxTraceCapacity + 1), -1002);
    EXPECT_FALSE(trace.HasRing());
    EXPECT_FALSE(trace.TraceOn());
    trace.ResumeTrace();  // no ring: stays off
    EXPECT_FALSE(trace.TraceOn());

    ASSERT_EQ(trace.StartTrace(8), 0);
    trace.RecordTraceBytes(tkTransmit, "abc", 3);
    trace.PauseTrace();
    trace.RecordTraceBytes(tkTransmit, "def", 3);  // ignored while paused
    EXPECT_EQ(trace.TraceIndex(), 3);
    trace.ResumeTrace();
    trace.RecordTraceByte(tkTransmit, 'g');
    EXPECT_EQ(trace.TraceIndex(), 4);

    // Starting again empties the ring and keeps its capacity.
    EXPECT_EQ(trace.StartTrace(MaxTraceCapacity + 1), 0);
    EXPECT_EQ(trace.TraceCapacity(), 8);
    EXPECT_EQ(trace.TraceIndex(), 0);

    trace.RecordTraceByte(tkTransmit, 'h');
    EXPECT_EQ(trace.ClearTrace(), 0);
    EXPECT_EQ(trace.TraceIndex(), 0);

    // Writing a paused trace switches it back on.
    trace.RecordTraceByte(tkTransmit, 'i');
    trace.PauseTrace();
    ASSERT_EQ(trace.DumpTrace(dir.File("p.trc"), true, false), 0);
    EXPECT_TRUE(trace.TraceOn());

    trace.StopTrace();
    EXPECT_FALSE(trace.TraceOn());
    EXPECT_FALSE(trace.HasRing());
}

TEST_F(TraceTest, FileErrorsComeBackAsIoCodes)
{
    ASSERT_EQ(trace.StartTrace(10), 0);
    trace.RecordTraceByte(tkTransmit, 'a');
    EXPECT_EQ(trace.DumpTrace(dir.File("missing/SIO.TRC"), true, false), -3);
    EXPECT_FALSE(trace.HasRing());  // the trace is lost

    ASSERT_EQ(trace.StartTrace(10), 0);
    trace.RecordTraceByte(tkTransmit, 'a');
    EXPECT_EQ(trace.DumpTrace(dir.Path(), true, false), -5);  // a folder

    ASSERT_EQ(trace.StartTrace(10), 0);
    trace.RecordTraceByte(tkTransmit, 'a');
    EXPECT_EQ(trace.DumpTrace("/dev/full", true, false), -101);
    EXPECT_TRUE(trace.HasRing());  // emptied all the same
    EXPECT_EQ(trace.TraceIndex(), 0);
    EXPECT_TRUE(trace.TraceOn());
}

// ---------------------------------------------------------------------------
// Dispatch log

namespace {

class LogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetTestClock(1000000);
        log.SetTimeBase(MillisecondClock());
        log.SetDeviceName("\\\\.\\COM3");
    }
    void TearDown() override { UseRealClock(); }

    // The lines after the seven header lines; the file ends with CR LF.
    std::vector<std::string> Entries(const std::string& text)
    {
        EXPECT_GE(text.size(), 2u);
        EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
        auto lines = Lines(text);
        lines.pop_back();  // after the last CR LF
        EXPECT_GE(lines.size(), 7u);
        return {lines.begin() + 7, lines.end()};
    }

    TempDir dir;
    TSioLog log;
};

}  // namespace

TEST_F(LogTest, HeaderLines)
{
    log.StartLog(0);
    log.AddLogEntry(ltTrgHdAlc, lsMethod, 0);
    const std::string file = dir.File("SIO.LOG");
    ASSERT_EQ(log.DumpLog(file, true, false), 0);
    const auto lines = Lines(ReadAll(file));
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_EQ(lines[0], "SIO v4.07");
    EXPECT_EQ(lines[1], "Compiler : " + TSioLog::CompilerText());
    EXPECT_FALSE(TSioLog::CompilerText().empty());
    EXPECT_EQ(lines[2], "Operating System : " + TSioLog::OperatingSystemText());
    EXPECT_TRUE(std::regex_match(lines[2], std::regex(R"(Operating System : \S+ \d+\.\d+ .+)"))) << lines[2];
    EXPECT_EQ(lines[3], "Device: \\\\.\\COM3");
    EXPECT_TRUE(std::regex_match(lines[4], std::regex(R"(Date/time: \d\d/\d\d/\d\d, \d\d:\d\d:\d\d)"))) << lines[4];
    EXPECT_EQ(lines[5], "Time      Type      SubType       Data      OtherData");
    EXPECT_EQ(lines[6], "--------  --------  ------------  --------  ---------");
    EXPECT_EQ(lines[7], "0000.000  TrgHdAlc  Method        00000000  ");
    EXPECT_EQ(lines[8], "");
}

TEST_F(LogTest, EntryPrefixTimeAndNames)
{
    log.StartLog(0);
    AdvanceTestClock(1234);
    log.AddLogEntry(ltTrigger, lsTimer, 3);
    SetTestClock(1000000 + 20 * 60 * 1000);
    log.AddLogEntry(ltTrDatChg, lsAvailTrigger, 0xABCDEF01);
    log.AddLogEntry(ltTrDatChg, 0, 0);  // subtype 0 has no name
    const std::string file = dir.File("SIO.LOG");
    ASSERT_EQ(log.DumpLog(file, true, false), 0);
    const auto entries = Entries(ReadAll(file));
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0], "0001.234  Trigger   Timer         00000003  ");
    EXPECT_EQ(entries[0].size(), 44u);
    EXPECT_EQ(entries[1], "1200.000  TrDatChg  Avail         ABCDEF01  ");
    EXPECT_EQ(entries[2], "1200.000  TrDatChg                00000000  ");
    EXPECT_EQ(TSioLog::TimeText(1234), "0001.234");
    EXPECT_EQ(TSioLog::TimeText(5), "0000.005");
    EXPECT_EQ(TSioLog::TimeText(123456789), "123456.789");
}

TEST_F(LogTest, AttachedBytesWrapWithContinuationLines)
{
    log.StartLog(0);
    const std::string forty(40, 'p');
    log.AddLogEntry(ltDispatch, lsReadCom, 40, forty.data(), 40);
    log.AddLogEntry(ltDispatch, lsWriteCom, 7, kFrame.data(), 7);
    const std::string file = dir.File("SIO.LOG");
    ASSERT_EQ(log.DumpLog(file, true, false), 0);
    const auto entries = Entries(ReadAll(file));
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0], "0000.000  Dispatch  ReadCom       00000028  " + std::string(33, 'p'));
    EXPECT_EQ(entries[1], std::string(44, ' ') + std::string(7, 'p'));
    EXPECT_EQ(entries[2], "0000.000  Dispatch  WriteCom      00000007  STA;0[0A][0D]");

    log.AddLogEntry(ltDispatch, lsWriteCom, 7, kFrame.data(), 7);
    log.AddLogEntry(ltDispatch, lsStatus, 0, "a b", 3);
    ASSERT_EQ(log.DumpLog(file, false, true), 0);
    const auto allHex = Entries(ReadAll(file));
    ASSERT_EQ(allHex.size(), 2u);
    EXPECT_EQ(allHex[0], "0000.000  Dispatch  WriteCom      00000007  [53][54][41][3B][30][0A][0D]");
    EXPECT_EQ(allHex[1], "0000.000  Dispatch  Status        00000000  [61][20][62]");

    log.AddLogEntry(ltDispatch, lsWriteCom, 7, kFrame.data(), 7);
    log.AddLogEntry(ltDispatch, lsStatus, 0, "a b", 3);
    ASSERT_EQ(log.DumpLog(file, false, false), 0);
    const auto decimal = Entries(ReadAll(file));
    EXPECT_EQ(decimal[0], "0000.000  Dispatch  WriteCom      00000007  STA;0[10][13]");
    EXPECT_EQ(decimal[1], "0000.000  Dispatch  Status        00000000  a b");
}

TEST_F(LogTest, StatusTriggerEntriesNameTheirKind)
{
    log.StartLog(0);
    const std::uint8_t modem = 1, sent = 5, unknown = 9;
    log.AddLogEntry(ltTrigDisp, lsStatusTrigger, 16, &modem, 1);
    log.AddLogEntry(ltTrigAllc, lsStatusTrigger, 24, &sent, 1);
    log.AddLogEntry(ltTrigDisp, lsStatusTrigger, 32, &unknown, 1);
    const std::string file = dir.File("SIO.LOG");
    ASSERT_EQ(log.DumpLog(file, true, false), 0);
    const auto entries = Entries(ReadAll(file));
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0], "0000.000  TrigDisp  Status        00000010  (Modem status)");
    EXPECT_EQ(entries[1], "0000.000  TrigAllc  Status        00000018  (Output sent)");
    EXPECT_EQ(entries[2], "0000.000  TrigDisp  Status        00000020  ");
    EXPECT_EQ(TSioLog::StatusKindName(0), "(Not active)");
    EXPECT_EQ(TSioLog::StatusKindName(2), "(Line status)");
    EXPECT_EQ(TSioLog::StatusKindName(3), "(Output buffer free)");
    EXPECT_EQ(TSioLog::StatusKindName(4), "(Output buffer used)");
}

TEST_F(LogTest, LimitBoundsTheMemoryOfAllEntriesOldestGoingFirst)
{
    const std::uint32_t bare = LogEntryCost(0), chunkCost = LogEntryCost(10);
    const std::uint32_t limit = 2 * chunkCost + bare;
    log.StartLog(limit);
    const std::string chunk = "0123456789";
    log.AddLogEntry(ltTrgHdAlc, lsMethod, 0);  // no bytes, but it costs memory all the same
    for (std::uint32_t i = 1; i <= 3; ++i) {
        log.AddLogEntry(ltDispatch, lsReadCom, i, chunk.data(), 10);
        EXPECT_LE(log.ByteTotal(), limit);
    }
    EXPECT_EQ(log.EntryCount(), 2u);  // the third chunk pushed out the two oldest
    log.AddLogEntry(ltTrigger, lsTimer, 8);  // fits exactly
    EXPECT_EQ(log.ByteTotal(), limit);
    const std::string file = dir.File("SIO.LOG");
    ASSERT_EQ(log.DumpLog(file, true, false), 0);
    const auto entries = Entries(ReadAll(file));
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0], "0000.000  Dispatch  ReadCom       00000002  0123456789");
    EXPECT_EQ(entries[1], "0000.000  Dispatch  ReadCom       00000003  0123456789");
    EXPECT_EQ(entries[2], "0000.000  Trigger   Timer         00000008  ");

    // A flood of entries without bytes (triggers firing, collectors changing
    // state) stays within the limit too.
    log.StartLog(10000);
    for (int i = 0; i < 100000; ++i) log.AddLogEntry(ltTrigger, lsTimer, static_cast<std::uint32_t>(i));
    EXPECT_LE(log.ByteTotal(), 10000u);
    EXPECT_EQ(log.EntryCount(), 10000u / bare);

    // One entry larger than the whole limit keeps the bytes that fit; a
    // limit below a bare entry records nothing.
    log.StartLog(bare + 4);
    log.AddLogEntry(ltDispatch, lsReadCom, 10, chunk.data(), 10);
    EXPECT_EQ(log.ByteTotal(), bare + 4);
    ASSERT_EQ(log.DumpLog(file, true, false), 0);
    EXPECT_EQ(Entries(ReadAll(file)), std::vector<std::string>{"0000.000  Dispatch  ReadCom       0000000A  0123"});
    log.StartLog(bare - 1);
    log.AddLogEntry(ltTrigger, lsTimer, 1);
    EXPECT_EQ(log.EntryCount(), 0u);
}

TEST_F(LogTest, EmptyLogLeavesTheFileAlone)
{
    const std::string file = dir.File("SIO.LOG");
    WriteAll(file, "earlier");
    log.StartLog(0);
    EXPECT_EQ(log.DumpLog(file, true, false), 0);
    EXPECT_EQ(ReadAll(file), "earlier");

    log.AddLogEntry(ltTrigger, lsAvail, 1);
    ASSERT_EQ(log.DumpLog(file, true, false), 0);
    const std::string first = ReadAll(file);
    EXPECT_EQ(log.EntryCount(), 0u);
    EXPECT_EQ(log.DumpLog(file, true, false), 0);  // a second writing right after
    EXPECT_EQ(ReadAll(file), first);
    EXPECT_TRUE(log.LogOn());
}

TEST_F(LogTest, AppendAddsAFullWritingWithItsOwnHeader)
{
    log.StartLog(0);
    log.AddLogEntry(ltTrigger, lsAvail, 1);
    const std::string file = dir.File("SIO.LOG");
    ASSERT_EQ(log.DumpLog(file, true, false), 0);
    const std::string first = ReadAll(file);
    log.AddLogEntry(ltTrigger, lsAvail, 2);
    ASSERT_EQ(log.AppendLog(file, true, false), 0);
    const std::string both = ReadAll(file);
    ASSERT_EQ(both.substr(0, first.size()), first);
    const auto second = Lines(both.substr(first.size()));
    EXPECT_EQ(second[0], "SIO v4.07");
    EXPECT_EQ(second[7], "0000.000  Trigger   Avail         00000002  ");
}

TEST_F(LogTest, RecordingStates)
{
    log.AddLogEntry(ltTrigger, lsAvail, 1);  // off at first
    EXPECT_EQ(log.EntryCount(), 0u);
    log.StartLog(0);
    log.AddLogEntry(ltTrigger, lsAvail, 1);
    log.PauseLog();
    log.AddLogEntry(ltTrigger, lsAvail, 2);
    EXPECT_EQ(log.EntryCount(), 1u);
    log.ResumeLog();
    log.AddLogEntry(ltTrigger, lsAvail, 3);
    EXPECT_EQ(log.EntryCount(), 2u);
    log.ClearLog();
    EXPECT_EQ(log.EntryCount(), 0u);
    EXPECT_TRUE(log.LogOn());
    log.AddLogEntry(ltDispatch, lsReadCom, 1, "x", 1);
    log.StartLog(5);  // starting again empties the log
    EXPECT_EQ(log.EntryCount(), 0u);
    EXPECT_EQ(log.LogLimit(), 5u);
    log.AddLogEntry(ltDispatch, lsReadCom, 1, "x", 1);
    log.StopLog();
    EXPECT_FALSE(log.LogOn());
    EXPECT_EQ(log.EntryCount(), 0u);
    EXPECT_EQ(log.ByteTotal(), 0u);
}

TEST_F(LogTest, FileErrorsKeepOrConsumeEntriesAsFitting)
{
    log.StartLog(0);
    log.AddLogEntry(ltTrigger, lsAvail, 1);
    EXPECT_EQ(log.DumpLog(dir.File("missing/SIO.LOG"), true, false), -3);
    EXPECT_EQ(log.EntryCount(), 1u);  // could not open: entries stay
    EXPECT_EQ(log.DumpLog(dir.Path(), true, false), -5);
    EXPECT_EQ(log.EntryCount(), 1u);
    EXPECT_EQ(log.DumpLog("/dev/full", true, false), -101);
    EXPECT_EQ(log.EntryCount(), 0u);  // written and lost all the same
    EXPECT_TRUE(log.LogOn());
}

// Entries arrive from several threads while the main thread writes the log
// out; every entry ends up in exactly one writing.
TEST_F(LogTest, EntriesFromSeveralThreadsWhileWriting)
{
    UseRealClock();
    log.StartLog(0);
    constexpr int kThreads = 4;
    constexpr int kEntries = 500;
    std::atomic<int> running{kThreads};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEntries; ++i) {
                const std::uint8_t b = static_cast<std::uint8_t>('a' + t);
                log.AddLogEntry(ltDispatch, lsReadCom, static_cast<std::uint32_t>(i), &b, 1);
            }
            running.fetch_sub(1);
        });
    const std::string file = dir.File("SIO.LOG");
    std::size_t written = 0;
    int writings = 0;
    auto collect = [&](bool append) {
        std::string before = ReadAll(file);
        ASSERT_EQ(append ? log.AppendLog(file, true, false) : log.DumpLog(file, true, false), 0);
        const std::string text = ReadAll(file).substr(append ? before.size() : 0);
        if (text.empty()) return;
        ++writings;
        auto lines = Lines(text);
        written += lines.size() - 8;  // seven header lines and the empty rest after the last CR LF
    };
    collect(false);
    while (running.load() > 0) collect(true);
    for (auto& t : threads) t.join();
    collect(true);
    EXPECT_EQ(written, static_cast<std::size_t>(kThreads * kEntries));
    EXPECT_GE(writings, 1);
}
