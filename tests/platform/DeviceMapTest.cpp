// The COM device map against a temporary link directory and a fake /sys/class/tty tree.
#include "platform/posix/devicemap.h"
#include "platform/win32.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

using ::testing::Contains;
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

namespace
{

// Fake device nodes: links under a private /dev standing in for adapters (a link to /dev/null
// has /dev/null's device number, so it counts as that device wherever it is reached from).
class LinkedDevices : public DeviceMap
{
protected:
    void SetUp() override
    {
        DeviceMap::SetUp();
        dev_ = base_ / "dev";
        fs::create_directories(dev_ / "serial" / "by-id");
        platform::SetDevRootForTesting(dev_.string());
        Node("ttyUSB0", "/dev/null");
        Node("ttyUSB1", "/dev/zero");
        fs::create_symlink("../../ttyUSB0", dev_ / "serial" / "by-id" / kFtdi);
        Tty("ttyUSB0");
        Tty("ttyUSB1");
    }
    void TearDown() override
    {
        platform::SetDevRootForTesting("");
        DeviceMap::TearDown();
    }

    void Node(const std::string& name, const fs::path& device) { fs::create_symlink(device, dev_ / name); }
    std::string Dev(const std::string& name) const { return (dev_ / name).string(); }
    std::string StableName() const { return (dev_ / "serial" / "by-id" / kFtdi).string(); }

    static constexpr const char* kFtdi = "usb-FTDI_FT232R_USB_UART_A10K5HQR-if00-port0";
    fs::path dev_;
};

} // namespace

TEST_F(LinkedDevices, ALinkedDeviceIsListedOnceUnderTheLinksNameAndItsOwnNameStillOpens)
{
    EXPECT_THAT(platform::ListComDevices(), ElementsAre(Pair(33, Dev("ttyUSB0")), Pair(34, Dev("ttyUSB1"))));

    // Through the adapter's stable name, and through a link to another link: the same devices.
    Link("COM5", StableName());
    Link("COM8", "COM9");
    Link("COM9", Dev("ttyUSB1"));
    EXPECT_THAT(platform::ListComDevices(),
                ElementsAre(Pair(5, LinkPath("COM5")), Pair(8, LinkPath("COM8")), Pair(9, LinkPath("COM9"))));
    EXPECT_EQ(platform::ResolveComDevice(33), Dev("ttyUSB0")) << "a name shown before the link still opens";
    EXPECT_EQ(platform::ResolveComDevice(34), Dev("ttyUSB1"));

    // A link that takes the device's own number leaves it no second name at all.
    fs::remove(links_ / "COM5");
    Link("COM33", Dev("ttyUSB0"));
    Tty("ttyXR0");
    EXPECT_THAT(platform::ListComDevices(),
                ElementsAre(Pair(8, LinkPath("COM8")), Pair(9, LinkPath("COM9")), Pair(33, LinkPath("COM33")),
                            Pair(161, Dev("ttyXR0"))));
    EXPECT_EQ(platform::ResolveComDevice(162), std::nullopt);

    // Once the link is gone the device is listed under its own name again.
    fs::remove(links_ / "COM33");
    EXPECT_THAT(platform::ListComDevices(), Contains(Pair(33, Dev("ttyUSB0"))));
}

TEST_F(LinkedDevices, DescriptionNamesTheAdapterAndEndsWithTheDeviceNode)
{
    Link("COM5", StableName());
    Link("COM6", Dev("ttyUSB0"));
    Link("COM7", "COM5");
    Link("COM9", "/dev/full"); // no serial device of the machine: a pseudo-terminal, say
    const std::string full = fs::canonical("/dev/full").string();

    struct Case {
        int number;
        std::vector<std::string> names;
    };
    const Case cases[] = {
        {5, {StableName(), Dev("ttyUSB0")}},
        {6, {StableName(), Dev("ttyUSB0")}}, // made to the node: the stable name is looked up
        {7, {LinkPath("COM5"), Dev("ttyUSB0")}},
        {9, {full}},
        {33, {StableName(), Dev("ttyUSB0")}}, // unlisted, still described
        {34, {Dev("ttyUSB1")}},               // no stable name
        {2, {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(platform::DescribeComDevice(c.number), c.names) << "COM" << c.number;
}

TEST_F(LinkedDevices, QueryDosDeviceGivesTheNamesAsAListOfStrings)
{
    Link("COM5", StableName());
    const std::string expected = StableName() + '\0' + Dev("ttyUSB0") + '\0' + '\0';

    std::string buffer(512, '#');
    DWORD stored = QueryDosDeviceA("COM5", buffer.data(), static_cast<DWORD>(buffer.size()));
    ASSERT_EQ(stored, expected.size());
    EXPECT_EQ(buffer.substr(0, stored), expected);
    stored = QueryDosDeviceA("com34", buffer.data(), static_cast<DWORD>(buffer.size()));
    EXPECT_EQ(buffer.substr(0, stored), Dev("ttyUSB1") + '\0' + '\0');

    // Unknown names, and a file name rather than a device name, have no targets; a short buffer
    // gets nothing.
    for (const char* name : {"COM2", "\\\\.\\COM5", "COM05", "LPT1"}) {
        EXPECT_EQ(QueryDosDeviceA(name, buffer.data(), 512), 0u) << name;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << name;
    }
    buffer.assign(512, '#');
    EXPECT_EQ(QueryDosDeviceA("COM5", buffer.data(), static_cast<DWORD>(expected.size() - 1)), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(buffer, std::string(512, '#'));
    EXPECT_EQ(QueryDosDeviceA("COM5", nullptr, 512), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}
