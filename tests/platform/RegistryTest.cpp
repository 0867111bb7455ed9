// The read-only registry over injected contents: paths, values, enumeration, bad handles, snapshots.
// The live device map is exercised end to end by the port list's tests.
#include "platform/win32.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using platform::RegistryKey;
using platform::RegistryValue;
using ::testing::ElementsAre;
using ::testing::Pair;

namespace
{

const std::vector<RegistryKey> kContents = {
    {"\\hardware\\devicemap\\serialcomm",
     {{"\\Device\\Serial0", REG_SZ, "COM1"}, {"Blob", REG_BINARY, std::string("\x01\x00\x02", 3)}}},
    {"\\Enum\\Root\\Ports\\0000", {{"Class", REG_SZ, "Ports"}}},
    {"\\Enum\\Root\\Ports\\0001", {}},
    {"\\Enum\\Secret", {}, true},
    {"\\Enum\\Secret\\Inside", {{"x", REG_SZ, "y"}}},
    {"\\Enum\\BIOS", {}},
};

class RegistryTest : public ::testing::Test
{
protected:
    void SetUp() override { platform::SetRegistryForTesting(&kContents); }
    void TearDown() override
    {
        for (HKEY key : opened)
            RegCloseKey(key);
        platform::SetRegistryForTesting(nullptr);
    }

    HKEY Open(const char* path, HKEY from = HKEY_LOCAL_MACHINE)
    {
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyExA(from, path, 0, KEY_READ, &key), ERROR_SUCCESS) << path;
        if (key != nullptr)
            opened.push_back(key);
        return key;
    }

    static std::vector<std::string> SubKeys(HKEY key)
    {
        std::vector<std::string> names;
        for (DWORD i = 0;; ++i) {
            char name[256];
            DWORD size = sizeof name;
            const LONG result = RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr);
            if (result == ERROR_NO_MORE_ITEMS)
                break;
            EXPECT_EQ(result, ERROR_SUCCESS);
            EXPECT_EQ(size, std::strlen(name));
            names.emplace_back(name);
        }
        return names;
    }

    static std::vector<std::pair<std::string, std::string>> Values(HKEY key)
    {
        std::vector<std::pair<std::string, std::string>> values;
        for (DWORD i = 0;; ++i) {
            char name[256];
            BYTE data[256];
            DWORD nameSize = sizeof name, dataSize = sizeof data, type = 99;
            const LONG result = RegEnumValueA(key, i, name, &nameSize, nullptr, &type, data, &dataSize);
            if (result == ERROR_NO_MORE_ITEMS)
                break;
            EXPECT_EQ(result, ERROR_SUCCESS);
            values.emplace_back(std::string(name, nameSize),
                                std::string(reinterpret_cast<char*>(data), dataSize));
        }
        return values;
    }

    std::vector<HKEY> opened;
};

TEST_F(RegistryTest, PathsIgnoreCaseLeadingBackslashAndEmptyComponents)
{
    for (const char* path : {"\\hardware\\devicemap\\serialcomm", "hardware\\devicemap\\serialcomm",
                             "\\HARDWARE\\DeviceMap\\SerialComm", "\\hardware\\\\devicemap\\serialcomm\\"}) {
        HKEY key = Open(path);
        ASSERT_NE(key, nullptr);
        DWORD type = 0, size = 0;
        EXPECT_EQ(RegQueryValueExA(key, "\\device\\serial0", nullptr, &type, nullptr, &size), ERROR_SUCCESS)
            << path;
        EXPECT_EQ(type, REG_SZ);
        EXPECT_EQ(size, 5u) << "string data counts its terminating zero";
    }
}

TEST_F(RegistryTest, OpenFailsForMissingUnreadableAndWritableKeys)
{
    struct Case {
        const char* path;
        REGSAM access;
        LONG expected;
    };
    for (const Case& c : {Case{"\\enum\\nothing", KEY_READ, ERROR_FILE_NOT_FOUND},
                          Case{"\\enum\\Root\\Ports\\0000\\deeper", KEY_READ, ERROR_FILE_NOT_FOUND},
                          Case{"\\hardwar", KEY_READ, ERROR_FILE_NOT_FOUND},
                          Case{"\\enum\\secret", KEY_READ, ERROR_ACCESS_DENIED},
                          Case{"\\enum\\Root", KEY_WRITE, ERROR_ACCESS_DENIED},
                          Case{"\\enum\\Root", KEY_READ | KEY_SET_VALUE, ERROR_ACCESS_DENIED}}) {
        HKEY key = reinterpret_cast<HKEY>(1);
        EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, c.path, 0, c.access, &key), c.expected) << c.path;
        EXPECT_EQ(key, nullptr) << c.path;
    }
    // A key below an unreadable one can still be opened by its own path.
    EXPECT_NE(Open("\\enum\\secret\\inside"), nullptr);
}

TEST_F(RegistryTest, ParentKeysExistAndListChildrenOnceInFirstSeenOrder)
{
    EXPECT_THAT(SubKeys(HKEY_LOCAL_MACHINE), ElementsAre("hardware", "Enum"));
    HKEY enumKey = Open("\\ENUM");
    EXPECT_THAT(SubKeys(enumKey), ElementsAre("Root", "Secret", "BIOS"))
        << "unreadable keys are still listed";

    DWORD subKeys = 99, longest = 99, values = 99, longestName = 99, longestData = 99;
    ASSERT_EQ(RegQueryInfoKeyA(enumKey, nullptr, nullptr, nullptr, &subKeys, &longest, nullptr, &values,
                               &longestName, &longestData, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(subKeys, 3u);
    EXPECT_EQ(longest, 6u);
    EXPECT_EQ(values, 0u);

    // Relative to an opened key, with or without a leading backslash.
    HKEY ports = Open("root\\ports", enumKey);
    EXPECT_THAT(SubKeys(ports), ElementsAre("0000", "0001"));
    HKEY first = Open("\\0000", ports);
    EXPECT_THAT(Values(first), ElementsAre(Pair("Class", std::string("Ports\0", 6))));
    // An empty path opens the same key again.
    EXPECT_THAT(Values(Open("", first)), ElementsAre(Pair("Class", std::string("Ports\0", 6))));
}

TEST_F(RegistryTest, QueryValueReportsTypeSizeAndShortBuffers)
{
    HKEY key = Open("\\hardware\\devicemap\\serialcomm");
    DWORD values = 0, longestName = 0, longestData = 0;
    ASSERT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                               &longestName, &longestData, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(values, 2u);
    EXPECT_EQ(longestName, std::strlen("\\Device\\Serial0"));
    EXPECT_EQ(longestData, 5u);

    BYTE data[8];
    std::memset(data, 'x', sizeof data);
    DWORD type = 0, size = 4;
    EXPECT_EQ(RegQueryValueExA(key, "\\Device\\Serial0", nullptr, &type, data, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(data[0], 'x') << "a short buffer is left alone";
    size = sizeof data;
    EXPECT_EQ(RegQueryValueExA(key, "\\Device\\Serial0", nullptr, &type, data, &size), ERROR_SUCCESS);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data), size), std::string("COM1\0", 5));

    size = sizeof data;
    EXPECT_EQ(RegQueryValueExA(key, "blob", nullptr, &type, data, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data), size), std::string("\x01\x00\x02", 3));

    EXPECT_EQ(RegQueryValueExA(key, "missing", nullptr, &type, data, &size), ERROR_FILE_NOT_FOUND);

    // Enumeration refuses a name buffer without room for the terminating zero, and ends.
    char name[5];
    size = 4;
    EXPECT_EQ(RegEnumValueA(key, 1, name, &size, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    size = 5;
    EXPECT_EQ(RegEnumValueA(key, 1, name, &size, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_STREQ(name, "Blob");
    EXPECT_EQ(RegEnumValueA(key, 2, name, &size, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
}

TEST_F(RegistryTest, BadHandlesAndArgumentsGiveErrorsNotCrashes)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "\\enum", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

    for (HKEY bad : {key, static_cast<HKEY>(nullptr), reinterpret_cast<HKEY>(0x12345)}) {
        HKEY out = nullptr;
        DWORD size = 0, count = 0;
        char name[16];
        EXPECT_EQ(RegCloseKey(bad), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegOpenKeyExA(bad, "x", 0, KEY_READ, &out), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegQueryValueExA(bad, "x", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegEnumValueA(bad, 0, name, &size, nullptr, nullptr, nullptr, nullptr),
                  ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegEnumKeyExA(bad, 0, name, &size, nullptr, nullptr, nullptr, nullptr),
                  ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegQueryInfoKeyA(bad, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr,
                                   nullptr, nullptr, nullptr),
                  ERROR_INVALID_HANDLE);
    }
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "\\enum", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS) << "the root key is never really closed";
}

TEST_F(RegistryTest, AnOpenedKeyKeepsWhatItHeldWhenOpened)
{
    HKEY before = Open("\\hardware\\devicemap\\serialcomm");
    const std::vector<RegistryKey> changed = {
        {"\\hardware\\devicemap\\serialcomm", {{"new", REG_SZ, "COM9"}}}};
    platform::SetRegistryForTesting(&changed);
    EXPECT_THAT(Values(before), ElementsAre(Pair("\\Device\\Serial0", std::string("COM1\0", 5)),
                                            Pair("Blob", std::string("\x01\x00\x02", 3))));
    EXPECT_THAT(Values(Open("\\hardware\\devicemap\\serialcomm")),
                ElementsAre(Pair("new", std::string("COM9\0", 5))));
    HKEY out = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "\\enum", 0, KEY_READ, &out), ERROR_FILE_NOT_FOUND);
}

} // namespace
