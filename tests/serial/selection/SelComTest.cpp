// Port probing and the selection model, on pseudo-terminals and on a fake
// /dev and /sys tree.
#include "selection/PortSelection.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

// A pseudo-terminal master; its slave is what a port entry links to.
struct Pty {
    int master = -1;
    std::string slave;
    Pty()
    {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0)
            slave = ::ptsname(master);
    }
    ~Pty()
    {
        if (master >= 0)
            ::close(master);
    }
};

class TempDir {
public:
    TempDir()
    {
        std::string tmpl = (fs::temp_directory_path() / "selcom-XXXXXX").string();
        path_ = ::mkdtemp(tmpl.data());
    }
    ~TempDir() { fs::remove_all(path_); }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

void WriteFile(const fs::path& p, const std::string& text)
{
    fs::create_directories(p.parent_path());
    std::ofstream(p) << text << "\n";
}

class PortDirTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(a.slave.empty());
        ASSERT_FALSE(b.slave.empty());
        ::setenv("SIO_PORT_DIR", dir.path().c_str(), 1);
    }
    void TearDown() override
    {
        ::unsetenv("SIO_PORT_DIR");
        sio::SetPortChooser(nullptr);
    }
    void Link(int n, const std::string& target) { fs::create_symlink(target, dir.path() / ("COM" + std::to_string(n))); }

    TempDir dir;
    Pty a, b;
};

TEST_F(PortDirTest, ListsPresentPortsInOrderAndNothingAbove50)
{
    Link(3, b.slave);
    Link(1, a.slave);
    Link(51, a.slave);
    Link(5, "/nonexistent/tty");                 // dangling
    WriteFile(dir.path() / "COM7", "not a tty");  // regular file
    sio::TComSelectForm form;
    ASSERT_EQ(form.Items(), (std::vector<std::string>{"COM1", "COM3"}));
    EXPECT_EQ(form.ItemIndex(), 0);
    EXPECT_EQ(form.SelectedPort(), 1);
    form.SetItemIndex(1);
    EXPECT_EQ(form.SelectedPort(), 3);
    EXPECT_EQ(form.PortOfItem(1), 3);
    EXPECT_FALSE(sio::IsPortAvailable(0));
    EXPECT_TRUE(sio::IsPortAvailable(51));  // present, only never listed
    EXPECT_EQ(sio::DescribePort(3), b.slave);
}

TEST_F(PortDirTest, ProbingNeverOpensTheDeviceAndListsAHeldPort)
{
    Link(2, a.slave);
    // Another program holds the port.
    int holder = ::open(a.slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);

    int in = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(in, 0);
    ASSERT_GE(::inotify_add_watch(in, a.slave.c_str(), IN_OPEN), 0);

    sio::TComSelectForm form;
    EXPECT_EQ(form.Items(), std::vector<std::string>{"COM2"});
    EXPECT_TRUE(sio::IsPortAvailable(2));
    EXPECT_FALSE(sio::DescribePort(2).empty());
    char buf[4096];
    EXPECT_LT(::read(in, buf, sizeof buf), 0) << "the probe opened the device";

    // The watch does see an open, so the silence above means something.
    int probe = ::open(a.slave.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(probe, 0);
    EXPECT_GT(::read(in, buf, sizeof buf), 0);
    ::close(probe);
    ::close(in);
    ::close(holder);
}

TEST_F(PortDirTest, EmptyListConfirmedFailsWithConversionError)
{
    sio::TComSelectForm form;
    EXPECT_TRUE(form.Items().empty());
    EXPECT_EQ(form.ItemIndex(), -1);
    try {
        form.SelectedPort();
        FAIL() << "no conversion error";
    } catch (const sio::EConvertError& e) {
        EXPECT_STREQ(e.what(), "'' ist kein gültiger Integerwert");
    }
}

TEST_F(PortDirTest, ChooserAnswersTheModalShow)
{
    Link(4, a.slave);
    Link(9, b.slave);
    sio::TComSelectForm form;
    EXPECT_EQ(form.ShowModal(), sio::mrCancel);  // nobody to ask
    int calls = 0;
    sio::SetPortChooser([&](sio::TComSelectForm& f) {
        ++calls;
        f.SetItemIndex(1);
        return sio::mrOk;
    });
    EXPECT_EQ(form.ShowModal(), sio::mrOk);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(form.SelectedPort(), 9);
}

TEST(StrToInt, DecimalOnly)
{
    EXPECT_EQ(sio::StrToInt("12"), 12);
    EXPECT_EQ(sio::StrToInt("-7"), -7);
    EXPECT_EQ(sio::StrToInt("2147483647"), 2147483647);
    EXPECT_EQ(sio::StrToInt("-2147483648"), -2147483647 - 1);
    for (const char* bad : {"", "-", "1x", " 1", "2147483648", "99999999999999999999"})
        EXPECT_THROW(sio::StrToInt(bad), sio::EConvertError) << bad;
}

TEST(PortNames, DeviceNameRoundTrip)
{
    EXPECT_EQ(sio::PortDeviceName(3), "\\\\.\\COM3");
    EXPECT_EQ(sio::PortNumberFromName("\\\\.\\COM12"), 12);
    EXPECT_EQ(sio::PortNumberFromName("COM7"), 7);
    EXPECT_EQ(sio::PortNumberFromName("COM"), 0);
    EXPECT_EQ(sio::PortNumberFromName("LPT1"), 0);
}

// The standard map, with /dev and /sys faked: character devices are links
// to /dev/null, the sysfs attributes plain files.
class FakeRootsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::unsetenv("SIO_PORT_DIR");
        dev = root.path() / "dev";
        sys = root.path() / "sys";
        fs::create_directories(dev);
        sio::SetDeviceRootsForTesting(dev.string(), sys.string());
    }
    void TearDown() override { sio::SetDeviceRootsForTesting("", ""); }
    void Tty(const std::string& name) { fs::create_symlink("/dev/null", dev / name); }

    TempDir root;
    fs::path dev, sys;
};

TEST_F(FakeRootsTest, OnlyRealUartsAndDriverBackedTtysArePresent)
{
    Tty("ttyS0");  // 8250 line without a UART
    fs::create_directories(sys / "class/tty/ttyS0/device");
    WriteFile(sys / "class/tty/ttyS0/type", "0");
    Tty("ttyS1");  // a real 16550A
    fs::create_directories(sys / "class/tty/ttyS1/device");
    WriteFile(sys / "class/tty/ttyS1/type", "4");
    Tty("ttyS2");  // node without a driver
    Tty("ttyACM0");
    fs::create_directories(sys / "class/tty/ttyACM0/device");

    // A USB adapter: the tty's device is an interface below the USB device.
    fs::path usb = sys / "devices/pci0000:00/usb1/1-1";
    fs::create_directories(usb / "1-1:1.0/ttyUSB1");
    WriteFile(usb / "product", "FT232R USB UART");
    WriteFile(usb / "manufacturer", "FTDI");
    fs::create_directories(sys / "class/tty/ttyUSB1");
    fs::create_symlink(usb / "1-1:1.0/ttyUSB1", sys / "class/tty/ttyUSB1/device");
    Tty("ttyUSB1");

    sio::TComSelectForm form;
    EXPECT_EQ(form.Items(), (std::vector<std::string>{"COM2", "COM34", "COM41"}));
    EXPECT_EQ(sio::PortDevicePath(34), (dev / "ttyUSB1").string());
    EXPECT_EQ(sio::DescribePort(34), (dev / "ttyUSB1").string() + " (FTDI FT232R USB UART)");
    EXPECT_EQ(sio::DescribePort(2), (dev / "ttyS1").string());
    EXPECT_EQ(sio::DescribePort(49), "");
}

}  // namespace
