// The COM device map against a temporary link directory and a fake /sys/class/tty tree.
#include "platform/posix/devicemap.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

#include <sys/stat.h>
#include <unistd.h>

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Pair;

namespace fs = std::filesystem;

namespace
{

class DeviceMap : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/lintaker-devicemap-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        base_ = pattern;
        links_ = base_ / "devices";
        sys_ = base_ / "sys";
        fs::create_directories(links_);
        fs::create_directories(sys_);
        if (const char* xdg = std::getenv("XDG_RUNTIME_DIR"))
            xdg_ = xdg;
        setenv("LINTAKER_DEVICE_MAP", links_.c_str(), 1);
        platform::SetSysClassTtyRootForTesting(sys_);
    }
    void TearDown() override
    {
        platform::SetSysClassTtyRootForTesting("");
        unsetenv("LINTAKER_DEVICE_MAP");
        if (xdg_)
            setenv("XDG_RUNTIME_DIR", xdg_->c_str(), 1);
        else
            unsetenv("XDG_RUNTIME_DIR");
        std::error_code ignored;
        fs::remove_all(base_, ignored);
    }

    void Link(const std::string& name, const fs::path& target) { fs::create_symlink(target, links_ / name); }

    void Write(const fs::path& path, const std::string& text)
    {
        fs::create_directories(path.parent_path());
        std::ofstream(path) << text;
    }

    /// A sysfs entry as the kernel shows a serial device: a directory with a device link and
    /// optionally the type and console attributes.
    void Tty(const std::string& name, const char* type = nullptr, const char* console = nullptr)
    {
        const fs::path dir = sys_ / name;
        fs::create_directories(dir);
        fs::create_directory_symlink("../../devices/fake", dir / "device");
        if (type)
            Write(dir / "type", std::string(type) + "\n");
        if (console)
            Write(dir / "console", std::string(console) + "\n");
    }

    std::string LinkPath(const std::string& name) const { return (links_ / name).string(); }

    fs::path base_, links_, sys_;
    std::optional<std::string> xdg_;
};

} // namespace

TEST_F(DeviceMap, DirectoryFollowsTheEnvironmentInOrder)
{
    setenv("XDG_RUNTIME_DIR", "/run/user/1000", 1);
    EXPECT_EQ(platform::DeviceMapDirectory(), links_.string());
    setenv("LINTAKER_DEVICE_MAP", "", 1);
    EXPECT_EQ(platform::DeviceMapDirectory(), "/run/user/1000/lintaker/devices");
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(platform::DeviceMapDirectory(), "/tmp/lintaker-" + std::to_string(getuid()) + "/devices");
}

TEST_F(DeviceMap, ListsOnlyWellNamedLinksToCharacterDevices)
{
    Write(base_ / "plain", "not a device");
    fs::create_directories(base_ / "adir");

    Link("COM1", "/dev/null");
    Link("COM12", "/dev/null");
    Link("COM2", base_ / "plain");       // a regular file
    Link("COM3", base_ / "gone");        // dangling
    Link("COM5", base_ / "adir");        // a directory
    Write(links_ / "COM4", "");          // not a link
    Link("COM", "/dev/null");            // no number
    Link("COM0", "/dev/null");           // numbers start at 1
    Link("COM3x", "/dev/null");          // junk after the number
    Link("com4", "/dev/null");           // names are case-sensitive
    Link("COM07", "/dev/null");          // would alias COM7
    Link("COM-6", "/dev/null");          // no sign
    Link("COM99999999999", "/dev/null"); // does not fit a port number
    Link("COM8", "../devices/COM1");     // relative, through another link: still a device

    EXPECT_THAT(platform::ListComDevices(), ElementsAre(Pair(1, LinkPath("COM1")), Pair(8, LinkPath("COM8")),
                                                        Pair(12, LinkPath("COM12"))));
    EXPECT_EQ(platform::ResolveComDevice(12), LinkPath("COM12"));
    EXPECT_EQ(platform::ResolveComDevice(2), std::nullopt);
    EXPECT_EQ(platform::ResolveComDevice(0), std::nullopt);
}

TEST_F(DeviceMap, MissingOrUnreadableDirectoryGivesNothing)
{
    fs::remove_all(links_);
    EXPECT_THAT(platform::ListComDevices(), IsEmpty());

    Write(links_, "a file where the directory should be");
    EXPECT_THAT(platform::ListComDevices(), IsEmpty());

    platform::SetSysClassTtyRootForTesting((base_ / "no-sysfs").string());
    EXPECT_THAT(platform::ListComDevices(), IsEmpty());
}

TEST_F(DeviceMap, IgnoresLinksInADirectoryOthersCanPlantThemIn)
{
    Link("COM1", "/dev/null");
    fs::permissions(links_, fs::perms::others_write, fs::perm_options::add);
    EXPECT_THAT(platform::ListComDevices(), IsEmpty()) << "writable by everyone";
    fs::permissions(links_, fs::perms::others_write, fs::perm_options::remove);
    EXPECT_THAT(platform::ListComDevices(), ElementsAre(Pair(1, LinkPath("COM1"))));

    if (geteuid() != 0)
        GTEST_SKIP() << "handing the directory to another user needs root";
    ASSERT_EQ(chown(links_.c_str(), 12345, 12345), 0);
    EXPECT_THAT(platform::ListComDevices(), IsEmpty()) << "owned by another user";
}

TEST_F(DeviceMap, RealDevicesGetNumbersFromTheirKernelNames)
{
    Tty("ttyS0", "4");
    Tty("ttyS1", "0");      // no UART behind it
    Tty("ttyS2", "4", "Y"); // the system console
    Tty("ttyS3", "4", "N");
    Tty("ttyS31");
    Tty("ttyS32"); // beyond the fixed range: one of the others
    Tty("ttyUSB0");
    Tty("ttyUSB5");
    Tty("ttyACM1");
    Tty("ttyAMA0");
    Tty("rfcomm2");
    Tty("ttyXR10");
    Tty("ttyXR2");
    fs::create_directories(sys_ / "tty0"); // a virtual terminal: no device link
    fs::create_directories(sys_ / "pts1");

    EXPECT_THAT(platform::ListComDevices(),
                ElementsAre(Pair(1, "/dev/ttyS0"), Pair(4, "/dev/ttyS3"), Pair(32, "/dev/ttyS31"),
                            Pair(33, "/dev/ttyUSB0"), Pair(38, "/dev/ttyUSB5"), Pair(66, "/dev/ttyACM1"),
                            Pair(97, "/dev/ttyAMA0"), Pair(131, "/dev/rfcomm2"), Pair(161, "/dev/ttyS32"),
                            Pair(162, "/dev/ttyXR2"), Pair(163, "/dev/ttyXR10")));
}

TEST_F(DeviceMap, LinksTakeTheirNumbersAndDisplacedDevicesMoveBehindTheOthers)
{
    Tty("ttyUSB0");
    Tty("ttyXR0");
    Tty("ttyXR1");
    Link("COM33", "/dev/null");  // takes ttyUSB0's number
    Link("COM161", "/dev/null"); // takes the first number of the others

    EXPECT_THAT(platform::ListComDevices(),
                ElementsAre(Pair(33, LinkPath("COM33")), Pair(161, LinkPath("COM161")),
                            Pair(162, "/dev/ttyXR0"), Pair(163, "/dev/ttyXR1"), Pair(164, "/dev/ttyUSB0")));
}

TEST_F(DeviceMap, DisplacedDeviceThatALinkLeadsToIsNotListedTwice)
{
    struct stat st {
    };
    if (stat("/dev/ttyS0", &st) != 0 || !S_ISCHR(st.st_mode))
        GTEST_SKIP() << "needs /dev/ttyS0";
    Tty("ttyS0", "4");
    Link("COM1", "/dev/ttyS0");

    EXPECT_THAT(platform::ListComDevices(), ElementsAre(Pair(1, LinkPath("COM1"))));
}
