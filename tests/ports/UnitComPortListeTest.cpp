// The port list: the method the system version chooses, the rules of each method against injected
// registry contents, and the live device map end to end.
#include "ports/UnitComPortListe.h"

#include "platform/posix/devicemap.h"
#include "platform/win32.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include <unistd.h>

using platform::RegistryKey;
using platform::RegistryValue;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

namespace fs = std::filesystem;

namespace
{

const char* const kDeviceMap = "\\hardware\\devicemap\\serialcomm";

OSVERSIONINFOA Version(DWORD platformId, DWORD major, DWORD minor)
{
    OSVERSIONINFOA info{};
    info.dwPlatformId = platformId;
    info.dwMajorVersion = major;
    info.dwMinorVersion = minor;
    return info;
}

/// A hardware key of the enumeration tree naming a port, and the driver class key it points at.
std::vector<RegistryKey> HardwarePort(const std::string& path, const std::string& portName,
                                      const std::string& driver, const std::string& subClass = "\x01",
                                      const std::string& deviceClass = "Ports")
{
    return {
        {"\\enum\\" + path,
         {{"class", REG_SZ, deviceClass}, {"driver", REG_SZ, driver}, {"portname", REG_SZ, portName}}},
        {"\\System\\CurrentControlSet\\Services\\Class\\" + driver, {{"PortSubClass", REG_BINARY, subClass}}},
    };
}

class PortListTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        platform::SetRegistryForTesting(nullptr);
        platform::SetVersionForTesting(nullptr);
    }

    static std::vector<std::string> List(const std::vector<RegistryKey>& registry,
                                         const OSVERSIONINFOA& version, std::vector<std::string> list = {})
    {
        platform::SetRegistryForTesting(&registry);
        platform::SetVersionForTesting(&version);
        ListComPorts(list);
        return list;
    }
    static std::vector<std::string> DeviceMap(const std::vector<RegistryValue>& values,
                                              std::vector<std::string> list = {})
    {
        return List({{kDeviceMap, values}}, Version(VER_PLATFORM_WIN32_NT, 5, 1), std::move(list));
    }
    static std::vector<std::string> Walk(const std::vector<std::vector<RegistryKey>>& parts)
    {
        std::vector<RegistryKey> registry;
        for (const auto& part : parts)
            registry.insert(registry.end(), part.begin(), part.end());
        return List(registry, Version(VER_PLATFORM_WIN32_WINDOWS, 4, 10));
    }
};

TEST_F(PortListTest, TheVersionChoosesTheMethod)
{
    std::vector<RegistryKey> both = {{kDeviceMap, {{"\\Device\\Serial0", REG_SZ, "COM1"}}}};
    for (RegistryKey& key : HardwarePort("BIOS\\PNP0501\\0D", "COM5", "Ports\\0000"))
        both.push_back(key);

    struct Case {
        std::optional<OSVERSIONINFOA> version; // nothing: the query fails
        std::vector<std::string> expected;
    };
    const std::vector<std::string> none, deviceMap{"COM1"}, walk{"COM5"};
    const Case cases[] = {
        {std::nullopt, none},
        {Version(VER_PLATFORM_WIN32s, 5, 1), none},
        {Version(0x80000002u, 5, 1), none}, // read as a negative platform id
        {Version(VER_PLATFORM_WIN32_NT, 3, 51), none},
        {Version(VER_PLATFORM_WIN32_NT, 4, 0), deviceMap},
        {Version(VER_PLATFORM_WIN32_WINDOWS, 4, 0), deviceMap},
        {Version(VER_PLATFORM_WIN32_WINDOWS, 4, 10), walk},
        {Version(VER_PLATFORM_WIN32_WINDOWS, 4, 90), walk},
        {Version(VER_PLATFORM_WIN32_NT, 5, 1), deviceMap},
        {Version(VER_PLATFORM_WIN32_NT, 10, 0), deviceMap},
        // On Linux the numbers are the kernel's and choose nothing.
        {Version(VER_PLATFORM_LINUX, 4, 18), deviceMap},
        {Version(VER_PLATFORM_LINUX, 4, 1), deviceMap},
        {Version(VER_PLATFORM_LINUX, 4, 20), deviceMap},
        {Version(VER_PLATFORM_LINUX, 3, 10), deviceMap},
        {Version(VER_PLATFORM_LINUX, 2, 6), deviceMap},
        {Version(VER_PLATFORM_LINUX, 4, 0), deviceMap},
        {Version(VER_PLATFORM_LINUX, 6, 1), deviceMap},
    };
    for (const Case& c : cases) {
        platform::SetRegistryForTesting(&both);
        platform::SetVersionForTesting(c.version ? &*c.version : &platform::kVersionQueryFails);
        std::vector<std::string> list;
        ListComPorts(list);
        EXPECT_EQ(list, c.expected) << (c.version ? std::to_string(c.version->dwPlatformId) + " " +
                                                        std::to_string(c.version->dwMajorVersion) + "." +
                                                        std::to_string(c.version->dwMinorVersion)
                                                  : std::string("failed query"));
    }
}

TEST_F(PortListTest, DeviceMapListsStringValuesNamingComPortsOnce)
{
    EXPECT_THAT(DeviceMap({
                    {"\\Device\\Serial0", REG_SZ, "COM1"},
                    {"\\Device\\Mxu0", REG_SZ, "MXU1"},                          // no COM in it
                    {"\\Device\\Lower", REG_SZ, "com4"},                         // "COM" is case-sensitive
                    {"\\Device\\VSerial", REG_SZ, "XCOM9"},                      // anywhere in the data
                    {"\\Device\\Binary", REG_BINARY, "COM5"},                    // not a string
                    {"\\Device\\Expand", REG_EXPAND_SZ, "COM6"},                 // not a plain string
                    {"\\Device\\Number", REG_DWORD, "COM7"},                     // not a string
                    {"\\Device\\Serial1", REG_SZ, std::string("COM2\0junk", 9)}, // up to the zero
                    {"\\Device\\Again", REG_SZ, "COM1"},
                    {"\\Device\\Upper", REG_SZ, "XCOm9"}, // no "COM": not even compared
                    {"\\Device\\Case", REG_SZ, "xCOM9"},  // the same name in other letters
                    {"\\Device\\Empty", REG_SZ, ""},
                }),
                ElementsAre("COM1", "XCOM9", "COM2"));

    // Names already in the caller's list stay and are not added again; the list is not sorted.
    EXPECT_THAT(
        DeviceMap({{"a", REG_SZ, "COM3"}, {"b", REG_SZ, "COM1"}, {"c", REG_SZ, "COM10"}}, {"com1", "Other"}),
        ElementsAre("com1", "Other", "COM3", "COM10"));
}

TEST_F(PortListTest, DeviceMapMissingOrUnreadableAddsNothing)
{
    const OSVERSIONINFOA xp = Version(VER_PLATFORM_WIN32_NT, 5, 1);
    EXPECT_THAT(List({}, xp), IsEmpty());
    EXPECT_THAT(List({{"\\hardware\\devicemap", {{"x", REG_SZ, "COM1"}}}}, xp), IsEmpty());
    EXPECT_THAT(List({{kDeviceMap, {{"x", REG_SZ, "COM1"}}, true}}, xp), IsEmpty());
    EXPECT_THAT(List({{kDeviceMap, {}}}, xp, {"COM4"}), ElementsAre("COM4"));
}

TEST_F(PortListTest, WalkVisitsEachKeyBeforeItsSubkeysInRegistryOrder)
{
    EXPECT_THAT(Walk({
                    HardwarePort("Root", "COM1", "Ports\\0000"),
                    HardwarePort("Root\\A", "COM2", "Ports\\0001"),
                    HardwarePort("Root\\A\\Deep\\Deeper", "COM3", "Ports\\0002"),
                    HardwarePort("Root\\B", "COM4", "Ports\\0003"),
                    HardwarePort("BIOS", "COM5", "Ports\\0004"),
                    HardwarePort("Root\\A\\Later", "COM6", "Ports\\0005"),
                }),
                ElementsAre("COM1", "COM2", "COM3", "COM6", "COM4", "COM5"));
}

TEST_F(PortListTest, WalkKeepsOnlySerialMembersOfThePortsClass)
{
    struct Case {
        std::vector<RegistryKey> keys;
        bool listed;
        const char* what;
    };
    const std::string driver = "Ports\\0000";
    const std::string classKey = "\\System\\CurrentControlSet\\Services\\Class\\" + driver;
    const auto without = [](std::vector<RegistryKey> keys, size_t key, const std::string& value) {
        auto& values = keys[key].values;
        values.erase(std::remove_if(values.begin(), values.end(),
                                    [&](const RegistryValue& v) { return v.name == value; }),
                     values.end());
        return keys;
    };
    const auto retyped = [](std::vector<RegistryKey> keys, size_t key, const std::string& value, DWORD type) {
        for (RegistryValue& v : keys[key].values)
            if (v.name == value)
                v.type = type;
        return keys;
    };
    const std::vector<RegistryKey> good = HardwarePort("Root\\0", "COM8", driver);
    std::vector<RegistryKey> unreadableClassKey = good;
    unreadableClassKey[1].unreadable = true;
    std::vector<RegistryKey> capitalNames = good;
    capitalNames[0].values = {
        {"CLASS", REG_SZ, "Ports"}, {"Driver", REG_SZ, driver}, {"PortName", REG_SZ, "COM8"}};

    const Case cases[] = {
        {good, true, "serial port"},
        {HardwarePort("Root\\0", "COM8", driver, "\x01", "PORTS"), true, "class in capitals"},
        {capitalNames, true, "value names in other letters"},
        {HardwarePort("Root\\0", "COM8", driver, "\x01", "Modem"), false, "other class"},
        {HardwarePort("Root\\0", "COM8", driver, "\x01", "Ports "), false, "class with a blank"},
        {HardwarePort("Root\\0", "COM8", driver, "\x00"), false, "printer port sub-class"},
        {HardwarePort("Root\\0", "COM8", driver, "\x02"), false, "other sub-class"},
        {HardwarePort("Root\\0", "COM8", driver, std::string("\x01\x00", 2)), false, "two bytes"},
        {retyped(good, 1, "PortSubClass", REG_DWORD), false, "sub-class not binary"},
        {without(good, 1, "PortSubClass"), false, "no sub-class"},
        {without(good, 0, "driver"), false, "no driver"},
        {without(good, 0, "portname"), false, "no port name"},
        {retyped(good, 0, "class", REG_BINARY), false, "class not a string"},
        {{good[0]}, false, "no driver class key"},
        {unreadableClassKey, false, "unreadable driver class key"},
    };
    for (const Case& c : cases) {
        const std::vector<std::string> expected =
            c.listed ? std::vector<std::string>{"COM8"} : std::vector<std::string>{};
        EXPECT_EQ(Walk({c.keys}), expected) << c.what;
    }
}

TEST_F(PortListTest, WalkSkipsUnreadableSubtreesAndListsANameOnce)
{
    std::vector<RegistryKey> hidden = HardwarePort("Hidden", "COM2", "Ports\\0001");
    hidden[0].unreadable = true;
    EXPECT_THAT(Walk({
                    HardwarePort("First", "COM1", "Ports\\0000"),
                    hidden,
                    HardwarePort("Hidden\\Below", "COM3", "Ports\\0002"),
                    HardwarePort("Last", "com1", "Ports\\0003"),
                    HardwarePort("Last\\Other", "COM4", "Ports\\0004"),
                }),
                ElementsAre("COM1", "COM4"));
    EXPECT_THAT(Walk({{{"\\enum", {}, true}}, HardwarePort("X", "COM1", "Ports\\0000")}), IsEmpty());
    EXPECT_THAT(Walk({}), IsEmpty());
}

// The whole way on Linux: a kernel as uname reports it, the live registry and a private
// device-map directory.
class PortListLive : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/lintaker-portlist-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        fs::create_directories(root_ / "devices");
        fs::create_directories(root_ / "sys");
        if (const char* old = std::getenv("LINTAKER_DEVICE_MAP"))
            saved_ = old;
        setenv("LINTAKER_DEVICE_MAP", (root_ / "devices").c_str(), 1);
        platform::SetSysClassTtyRootForTesting((root_ / "sys").string());
    }
    void TearDown() override
    {
        platform::SetKernelReleaseForTesting("");
        platform::SetSysClassTtyRootForTesting("");
        if (saved_)
            setenv("LINTAKER_DEVICE_MAP", saved_->c_str(), 1);
        else
            unsetenv("LINTAKER_DEVICE_MAP");
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    void Link(const std::string& name, const fs::path& target)
    {
        fs::create_symlink(target, root_ / "devices" / name);
    }

    fs::path root_;
    std::optional<std::string> saved_;
};

TEST_F(PortListLive, DeviceMapIsReadOnEveryKernel)
{
    Link("COM3", "/dev/null");
    Link("COM11", "/dev/zero");
    Link("COM4", "/nonexistent");

    for (const char* release : {"4.18.0-553.el8_10.x86_64", "4.1.52", "4.20.17", "3.10.0-1160.el7.x86_64",
                                "6.1.0-18-amd64", "2.6.32"}) {
        platform::SetKernelReleaseForTesting(release);
        std::vector<std::string> list;
        ListComPorts(list);
        EXPECT_THAT(list, ElementsAre("COM3", "COM11")) << release;
    }
}

TEST_F(PortListLive, EachPortNamesTheDeviceItStandsFor)
{
    Link("COM3", "/dev/null");
    Link("COM7", root_ / "by-id-name");
    fs::create_symlink("/dev/zero", root_ / "by-id-name");
    Link("COM4", "/nonexistent");

    EXPECT_EQ(ComPortDevice("COM3"), fs::canonical("/dev/null").string());
    EXPECT_EQ(ComPortDevice("COM7"),
              (root_ / "by-id-name").string() + " -> " + fs::canonical("/dev/zero").string());
    EXPECT_EQ(ComPortDevice("COM4"), "") << "a link that leads nowhere is no port";
    EXPECT_EQ(ComPortDevice("COM5"), "");
    EXPECT_EQ(ComPortDevice(""), "");
}

} // namespace
