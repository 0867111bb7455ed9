// The port list read from the registry: the serial device map on the NT family and on Linux,
// whose platform layer offers the same key, the hardware enumeration tree on Windows 98 and ME.
#include "ports/UnitComPortListe.h"

#include "platform/win32.h"

#include <algorithm>
#include <optional>

namespace
{

constexpr const char* kDeviceMapKey = "\\hardware\\devicemap\\serialcomm";
constexpr const char* kEnumerationRoot = "\\enum";
constexpr const char* kPortClassKeys = "\\System\\CurrentControlSet\\Services\\Class\\";
constexpr BYTE kSerialPortSubClass = 1;

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameText(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return LowerAscii(x) == LowerAscii(y); });
}

void AddUnlessListed(std::vector<std::string>& list, const std::string& name)
{
    if (std::none_of(list.begin(), list.end(),
                     [&](const std::string& known) { return SameText(known, name); }))
        list.push_back(name);
}

/// A registry key below HKEY_LOCAL_MACHINE opened for reading; every failure reads as "absent".
class TRegistryKey
{
public:
    explicit TRegistryKey(const std::string& path)
    {
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &FKey) != ERROR_SUCCESS)
            FKey = nullptr;
    }
    ~TRegistryKey()
    {
        if (FKey != nullptr)
            RegCloseKey(FKey);
    }
    TRegistryKey(const TRegistryKey&) = delete;
    TRegistryKey& operator=(const TRegistryKey&) = delete;

    bool IsOpen() const { return FKey != nullptr; }

    std::vector<std::string> ValueNames() const
    {
        DWORD count = 0, longest = 0;
        if (RegQueryInfoKeyA(FKey, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, &longest,
                             nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            return {};
        return Names(count, longest, [this](DWORD index, LPSTR name, LPDWORD size) {
            return RegEnumValueA(FKey, index, name, size, nullptr, nullptr, nullptr, nullptr);
        });
    }

    std::vector<std::string> SubKeyNames() const
    {
        DWORD count = 0, longest = 0;
        if (RegQueryInfoKeyA(FKey, nullptr, nullptr, nullptr, &count, &longest, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            return {};
        return Names(count, longest, [this](DWORD index, LPSTR name, LPDWORD size) {
            return RegEnumKeyExA(FKey, index, name, size, nullptr, nullptr, nullptr, nullptr);
        });
    }

    /// The text of a REG_SZ value, up to its first zero; nothing when it is missing or of another type.
    std::optional<std::string> ReadString(const std::string& name) const
    {
        DWORD type = REG_NONE, size = 0;
        if (RegQueryValueExA(FKey, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
            type != REG_SZ)
            return std::nullopt;
        std::string data(size, '\0');
        if (RegQueryValueExA(FKey, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                             &size) != ERROR_SUCCESS ||
            type != REG_SZ)
            return std::nullopt;
        data.resize(std::min<size_t>(size, data.size()));
        return data.substr(0, data.find('\0'));
    }

    /// The value's only byte when it is a REG_BINARY value of exactly one byte.
    std::optional<BYTE> ReadSingleByte(const std::string& name) const
    {
        BYTE byte = 0;
        DWORD type = REG_NONE, size = sizeof byte;
        if (RegQueryValueExA(FKey, name.c_str(), nullptr, &type, &byte, &size) != ERROR_SUCCESS ||
            type != REG_BINARY || size != 1)
            return std::nullopt;
        return byte;
    }

private:
    /// Lists names by index; a name that outgrows the announced length gets a larger buffer.
    template <class TEnumerate>
    static std::vector<std::string> Names(DWORD count, DWORD longest, TEnumerate enumerate)
    {
        std::vector<std::string> names;
        std::string buffer(static_cast<size_t>(longest) + 1, '\0');
        for (DWORD index = 0; index < count;) {
            DWORD size = static_cast<DWORD>(buffer.size());
            const LONG result = enumerate(index, buffer.data(), &size);
            if (result == ERROR_MORE_DATA && buffer.size() < 0x10000) {
                buffer.resize(buffer.size() * 2);
                continue;
            }
            if (result != ERROR_SUCCESS)
                break;
            names.emplace_back(buffer.data(), size);
            ++index;
        }
        return names;
    }

    HKEY FKey = nullptr;
};

void ReadDeviceMap(std::vector<std::string>& list)
{
    const TRegistryKey key(kDeviceMapKey);
    if (!key.IsOpen())
        return;
    for (const std::string& name : key.ValueNames()) {
        const std::optional<std::string> port = key.ReadString(name);
        if (port && port->find("COM") != std::string::npos)
            AddUnlessListed(list, *port);
    }
}

/// A hardware key names a serial port when its class is "Ports" and its driver's class key
/// marks it with the serial sub-class (other members of the Ports class are printer ports).
void CheckHardwareKey(const TRegistryKey& key, std::vector<std::string>& list)
{
    const std::optional<std::string> deviceClass = key.ReadString("class");
    if (!deviceClass || !SameText(*deviceClass, "ports"))
        return;
    const std::optional<std::string> driver = key.ReadString("driver");
    const std::optional<std::string> portName = key.ReadString("portname");
    if (!driver || !portName)
        return;
    const TRegistryKey driverKey(kPortClassKeys + *driver);
    if (!driverKey.IsOpen())
        return;
    if (driverKey.ReadSingleByte("PortSubClass") == kSerialPortSubClass)
        AddUnlessListed(list, *portName);
}

/// Walks the enumeration tree depth first, each key before its subkeys, siblings in registry
/// order. The depth is the registry's, not ours: pending paths wait on a stack of their own
/// rather than on the call stack.
void WalkEnumerationTree(std::vector<std::string>& list)
{
    std::vector<std::string> pending{kEnumerationRoot};
    while (!pending.empty()) {
        const std::string path = std::move(pending.back());
        pending.pop_back();
        const TRegistryKey key(path);
        if (!key.IsOpen())
            continue;
        CheckHardwareKey(key, list);
        const std::vector<std::string> subKeys = key.SubKeyNames();
        for (auto name = subKeys.rbegin(); name != subKeys.rend(); ++name)
            pending.push_back(path + "\\" + *name);
    }
}

} // namespace

void ListComPorts(std::vector<std::string>& list)
{
    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof version;
    if (!GetVersionExA(&version))
        return;
    // The version fields are read as signed numbers: a platform id with the top bit set counts as
    // "0 or less", like an unknown system.
    const auto platformId = static_cast<int32_t>(version.dwPlatformId);
    const auto major = static_cast<int32_t>(version.dwMajorVersion);
    const auto minor = static_cast<int32_t>(version.dwMinorVersion);
    // The version numbers choose between Windows registry layouts, and only Windows numbers do:
    // on Linux they are the kernel's (3.10, 4.18, 6.1), which would send some kernels to the
    // consumer family's tree and others nowhere. The platform keeps reporting the true kernel
    // version, since the dispatch log names the system by it; the choice of layout is made here,
    // where the numbers are read as Windows versions.
    if (version.dwPlatformId == VER_PLATFORM_LINUX) {
        ReadDeviceMap(list);
        return;
    }
    if (platformId <= 0 || major < 4)
        return;
    if (major > 4 || minor == 0)
        ReadDeviceMap(list);
    else if (minor > 0)
        WalkEnumerationTree(list);
}

std::string ComPortDevice(const std::string& portName)
{
    // Ask with a buffer of the usual size first and grow it while the answer does not fit; a
    // target list longer than this bound is nothing a tool tip could show anyway.
    constexpr DWORD kLongestList = 0x10000;
    for (DWORD size = 1024; size <= kLongestList; size *= 4) {
        std::string buffer(size, '\0');
        const DWORD stored = QueryDosDeviceA(portName.c_str(), buffer.data(), size);
        if (stored == 0) {
            if (GetLastError() == ERROR_INSUFFICIENT_BUFFER)
                continue;
            return {};
        }
        std::string text;
        for (size_t start = 0; start < stored && buffer[start] != '\0';) {
            const size_t end = std::min<size_t>(buffer.find('\0', start), stored);
            if (!text.empty())
                text += " -> ";
            text.append(buffer, start, end - start);
            start = end + 1;
        }
        return text;
    }
    return {};
}
