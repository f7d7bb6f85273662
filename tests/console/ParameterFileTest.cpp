#include "ConsoleErrors.h"
#include "ParameterFile.h"
#include "Slurp.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace tarnell;
using sio::test::Slurp;

namespace {

// A scratch folder, removed with everything in it.
class TScratch {
public:
    TScratch()
    {
        char name[] = "/tmp/tarnell-file-XXXXXX";
        path_ = ::mkdtemp(name);
    }
    ~TScratch() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    std::vector<std::string> Entries() const
    {
        std::vector<std::string> names;
        DIR* dir = ::opendir(path_.c_str());
        while (dirent* e = ::readdir(dir))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                names.push_back(e->d_name);
        ::closedir(dir);
        return names;
    }

private:
    std::string path_;
};

void Put(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

// Lets one chosen call fail with a chosen error; writes may first go through
// partly, as a full disk does.
class TFailingCalls final : public TFileCalls {
public:
    enum class TWhich { None, Write, Fsync, Close, Rename, Fchmod, Access, ReadOnceEintr };
    TWhich which = TWhich::None;
    int error = EIO;
    std::size_t writeBeforeFailing = 0;  // bytes that still get written
    int closes = 0;

    ssize_t Write(int fd, const void* buf, size_t count) override
    {
        if (which == TWhich::Write) {
            if (writeBeforeFailing == 0) {
                errno = error;
                return -1;
            }
            std::size_t n = std::min(count, writeBeforeFailing);
            writeBeforeFailing -= n;
            return TFileCalls::Write(fd, buf, n);
        }
        return TFileCalls::Write(fd, buf, count);
    }
    int Fsync(int fd) override { return Fail(TWhich::Fsync) ? -1 : TFileCalls::Fsync(fd); }
    int Fchmod(int fd, mode_t mode) override { return Fail(TWhich::Fchmod) ? -1 : TFileCalls::Fchmod(fd, mode); }
    int AccessWrite(const char* path) override { return Fail(TWhich::Access) ? -1 : TFileCalls::AccessWrite(path); }
    int Close(int fd) override
    {
        ++closes;
        int result = TFileCalls::Close(fd);  // the descriptor is gone either way
        return Fail(TWhich::Close) ? -1 : result;
    }
    int Rename(const char* from, const char* to) override
    {
        return Fail(TWhich::Rename) ? -1 : TFileCalls::Rename(from, to);
    }
    ssize_t Read(int fd, void* buf, size_t count) override
    {
        if (which == TWhich::ReadOnceEintr) {
            which = TWhich::None;
            errno = EINTR;
            return -1;
        }
        return TFileCalls::Read(fd, buf, count);
    }

private:
    bool Fail(TWhich w)
    {
        if (which != w)
            return false;
        errno = error;
        return true;
    }
};

}  // namespace

TEST(ParameterFileFormat, EveryLineEndsInCrLfAndEmptyCellsGiveFortySixBytes)
{
    std::string expected;
    for (int i = 0; i < 23; ++i)
        expected += "\r\n";
    EXPECT_EQ(FormatParameterFile(std::vector<std::string>(23)), expected);
    EXPECT_EQ(FormatParameterFile(std::vector<std::string>(23)).size(), 46u);
    EXPECT_EQ(FormatParameterFile({"250", "", "10"}), "250\r\n\r\n10\r\n");
}

TEST(ParameterFileFormat, LinesEndAtCrLfLoneLfOrLoneCr)
{
    using V = std::vector<std::string>;
    EXPECT_EQ(SplitLines(""), V{});
    EXPECT_EQ(SplitLines("\r\n"), V{""});
    EXPECT_EQ(SplitLines("1\r\n2\n3\r4"), (V{"1", "2", "3", "4"}));
    EXPECT_EQ(SplitLines("1\n\r2"), (V{"1", "", "2"}));  // LF then CR is two ends
    EXPECT_EQ(SplitLines("\r\r\n\n"), (V{"", "", ""}));
    EXPECT_EQ(SplitLines("250\r\n30"), (V{"250", "30"}));
}

TEST(ParameterFileFormat, OnlyEmptyOrDigitLinesAmongTheFirst23AreAccepted)
{
    std::vector<std::string> lines(23, "123");
    lines[7] = "";
    EXPECT_EQ(FirstBadLine(lines), -1);
    for (const char* bad : {"12;3", " 12", "12 ", "-5", "+5", "1e3", "\t", "x"}) {
        auto copy = lines;
        copy[4] = bad;
        copy[9] = bad;
        EXPECT_EQ(FirstBadLine(copy), 4) << bad;
    }
    lines.push_back("not a number");  // line 24 and later are never read
    EXPECT_EQ(FirstBadLine(lines), -1);
    EXPECT_EQ(FirstBadLine({"5", "STO;0;1"}), 1);  // a short file is judged too
}

TEST(ReplacingStore, WritesANewFileAndReplacesAnOldOneCompletely)
{
    TScratch dir;
    const std::string path = dir / "a.gri";
    WriteFileReplacing(path, "first\r\n");
    EXPECT_EQ(Slurp(path), "first\r\n");
    WriteFileReplacing(path, "2\r\n");
    EXPECT_EQ(Slurp(path), "2\r\n");
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"a.gri"});
}

TEST(ReplacingStore, KeepsThePermissionsOfTheFileItReplaces)
{
    TScratch dir;
    const std::string path = dir / "p.gri";
    Put(path, "old");
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    WriteFileReplacing(path, "new");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST(ReplacingStore, ASymbolicLinkStaysAndItsTargetGetsTheContent)
{
    TScratch dir;
    Put(dir / "real.gri", "old");
    ASSERT_EQ(::symlink((dir / "real.gri").c_str(), (dir / "link.gri").c_str()), 0);
    WriteFileReplacing(dir / "link.gri", "new");
    struct stat st {};
    ASSERT_EQ(::lstat((dir / "link.gri").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(Slurp(dir / "real.gri"), "new");
}

TEST(ReplacingStore, AFailureAnywhereLeavesTheOldFileAsItWasAndNoLitter)
{
    using W = TFailingCalls::TWhich;
    const std::string content(5000, '7');
    for (W which : {W::Write, W::Fsync, W::Close, W::Rename, W::Fchmod}) {
        TScratch dir;
        const std::string path = dir / "keep.gri";
        Put(path, "good\r\n");
        TFailingCalls calls;
        calls.which = which;
        calls.error = ENOSPC;
        calls.writeBeforeFailing = 1000;  // half written when the disk is full
        try {
            WriteFileReplacing(path, content, calls);
            ADD_FAILURE() << "no error for failing call " << static_cast<int>(which);
        } catch (const EFileError& e) {
            std::string message = e.what();
            EXPECT_NE(message.find(path), std::string::npos) << message;
            EXPECT_NE(message.find(std::strerror(ENOSPC)), std::string::npos) << message;
        }
        EXPECT_EQ(Slurp(path), "good\r\n") << static_cast<int>(which);
        EXPECT_EQ(dir.Entries(), std::vector<std::string>{"keep.gri"}) << static_cast<int>(which);
        EXPECT_EQ(calls.closes, 1) << "descriptor closed once, failing call " << static_cast<int>(which);
    }
}

TEST(ReplacingStore, AFileThatMayNotBeWrittenIsNotReplaced)
{
    // Only the folder's permission is needed to rename over a file; its own
    // protection must hold all the same.
    TScratch dir;
    const std::string path = dir / "locked.gri";
    Put(path, "good\r\n");
    TFailingCalls calls;
    calls.which = TFailingCalls::TWhich::Access;
    calls.error = EACCES;
    EXPECT_THROW(WriteFileReplacing(path, "new\r\n", calls), EFileError);
    if (::geteuid() != 0) {  // root may write any file
        ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
        EXPECT_THROW(WriteFileReplacing(path, "new\r\n"), EFileError);
    }
    EXPECT_EQ(Slurp(path), "good\r\n");
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"locked.gri"});
    EXPECT_EQ(calls.closes, 0);
}

TEST(ReadWholeFile, ReadsEverythingAndRetriesAnInterruptedRead)
{
    TScratch dir;
    std::string big(10000, 'a');
    big += "end";
    Put(dir / "f", big);
    TFailingCalls calls;
    calls.which = TFailingCalls::TWhich::ReadOnceEintr;
    EXPECT_EQ(ReadWholeFile(dir / "f", calls), big);
    try {
        ReadWholeFile(dir / "none.gri");
        ADD_FAILURE() << "no error";
    } catch (const EFileError& e) {
        std::string message = e.what();
        EXPECT_NE(message.find("none.gri"), std::string::npos);
        EXPECT_NE(message.find("kann nicht geöffnet werden"), std::string::npos) << message;
    }
}

// Nothing that cannot be a parameter file is read whole, and nothing blocks:
// a FIFO nobody writes, an endless device, a folder, a file of 1 MiB.
TEST(ReadWholeFile, RefusesWhatCannotBeAParameterFileWithoutReadingIt)
{
    TScratch dir;
    Put(dir / "big.gri", std::string(1 << 20, '1'));
    Put(dir / "limit.gri", std::string(protocol::kMaxParameterFileBytes, '1'));
    ASSERT_EQ(::mkfifo((dir / "fifo.gri").c_str(), 0600), 0);
    ASSERT_EQ(::mkdir((dir / "folder.gri").c_str(), 0700), 0);
    EXPECT_EQ(ReadWholeFile(dir / "limit.gri").size(), protocol::kMaxParameterFileBytes);
    for (const std::string& path : {dir / "big.gri", std::string("/dev/zero"), dir / "fifo.gri", dir / "folder.gri"}) {
        try {
            ReadWholeFile(path);
            ADD_FAILURE() << "read " << path;
        } catch (const EFileError& e) {
            EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
        }
    }
}

TEST(StrToInt, TakesDecimalIntegersOf32BitsAndRefusesTheRest)
{
    EXPECT_EQ(StrToInt(QStringLiteral("0")), 0);
    EXPECT_EQ(StrToInt(QStringLiteral("0600")), 600);
    EXPECT_EQ(StrToInt(QStringLiteral("  45")), 45);
    EXPECT_EQ(StrToInt(QStringLiteral("2147483647")), 2147483647);
    EXPECT_EQ(StrToInt(QStringLiteral("-2147483648")), -2147483647 - 1);
    for (const char* bad : {"2147483648", "-2147483649", "99999999999", "", " ", "-", "12a", "1 2", "5 "}) {
        try {
            StrToInt(QString::fromLatin1(bad));
            ADD_FAILURE() << "accepted '" << bad << "'";
        } catch (const EConvertError& e) {
            EXPECT_EQ(std::string(e.what()), std::string("'") + bad + "' ist kein gültiger Integerwert");
        }
    }
}
