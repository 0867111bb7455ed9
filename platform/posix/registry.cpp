// The read-only registry: the COM port device map under "\hardware\devicemap\serialcomm", or the
// contents a test put in its place. An opened key is a snapshot taken at the open.
#include "platform/posix/devicemap.h"
#include "platform/win32.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

namespace
{

using platform::RegistryKey;
using platform::RegistryValue;

/// One opened key as it was when it was opened.
struct TKeySnapshot {
    std::vector<std::string> path; // components in the spelling of the contents; empty: the root
    std::vector<RegistryValue> values;
    std::vector<std::string> subKeys;
};

constexpr const char* kDeviceMapPath = "hardware\\devicemap\\serialcomm";
constexpr uintptr_t kFirstHandle = 0x1000;
constexpr uintptr_t kPredefinedFirst = 0x80000000u; // HKEY_CLASSES_ROOT ... stay clear of them
constexpr uintptr_t kPredefinedLast = 0x800000FFu;
constexpr REGSAM kWriteAccess = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | 0x0020 /* KEY_CREATE_LINK */ |
                                0x00010000 /* DELETE */ | 0x00040000 /* WRITE_DAC */ |
                                0x00080000 /* WRITE_OWNER */;

// registryLock guards the test contents and the handle table; it is never held while the device
// map is read, since that walks the file system. A leaf: nothing is taken under it.
std::mutex registryLock;
std::optional<std::vector<RegistryKey>> testContents;
std::map<uintptr_t, std::shared_ptr<const TKeySnapshot>> openKeys;
uintptr_t nextHandle = kFirstHandle;

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return LowerAscii(x) == LowerAscii(y); });
}

/// The components of a path; empty components (a leading, trailing or doubled backslash) are
/// dropped, so "\a\\b\" names the key a\b.
std::vector<std::string> SplitPath(const std::string& path)
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string::npos)
            end = path.size();
        if (end > start)
            parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

/// True when `prefix` is the beginning of `path`, component by component.
bool StartsWith(const std::vector<std::string>& path, const std::vector<std::string>& prefix)
{
    if (prefix.size() > path.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (!SameName(path[i], prefix[i]))
            return false;
    return true;
}

enum class TFind { fFound, fMissing, fUnreadable };

/// Builds the snapshot of the key at `wanted` from the listed keys. A listed key makes all its
/// parents exist; the first listing of a path gives its values and spelling.
TFind FindKey(const std::vector<RegistryKey>& keys, const std::vector<std::string>& wanted, TKeySnapshot& out)
{
    bool exists = wanted.empty();
    bool listed = false; // the path itself is listed, not only keys below it
    bool unreadable = false;
    out.path = wanted;
    for (const RegistryKey& key : keys) {
        const std::vector<std::string> parts = SplitPath(key.path);
        if (!StartsWith(parts, wanted))
            continue;
        const bool itself = parts.size() == wanted.size();
        if (!exists || (itself && !listed))
            std::copy(parts.begin(), parts.begin() + static_cast<ptrdiff_t>(wanted.size()), out.path.begin());
        exists = true;
        if (itself) {
            unreadable = unreadable || key.unreadable;
            if (!listed)
                out.values = key.values;
            listed = true;
            continue;
        }
        const std::string& child = parts[wanted.size()];
        if (std::none_of(out.subKeys.begin(), out.subKeys.end(),
                         [&](const std::string& known) { return SameName(known, child); }))
            out.subKeys.push_back(child);
    }
    if (!exists)
        return TFind::fMissing;
    return unreadable ? TFind::fUnreadable : TFind::fFound;
}

/// The live registry's keys; the device map's values only when they are asked for, since
/// reading them walks the file system.
std::vector<RegistryKey> LiveContents(const std::vector<std::string>& wanted)
{
    RegistryKey deviceMap{kDeviceMapPath, {}, false};
    const std::vector<std::string> deviceMapParts = SplitPath(kDeviceMapPath);
    if (wanted.size() == deviceMapParts.size() && StartsWith(wanted, deviceMapParts)) {
        for (const auto& [number, path] : platform::ListComDevices())
            deviceMap.values.push_back({path, REG_SZ, "COM" + std::to_string(number)});
    }
    return {deviceMap};
}

/// Reads the key at `wanted` from the test contents, or else from the live registry.
TFind Snapshot(const std::vector<std::string>& wanted, TKeySnapshot& out)
{
    {
        std::lock_guard<std::mutex> hold(registryLock);
        if (testContents)
            return FindKey(*testContents, wanted, out);
    }
    return FindKey(LiveContents(wanted), wanted, out);
}

/// The snapshot behind a handle: HKEY_LOCAL_MACHINE is read afresh, other handles are looked up.
std::shared_ptr<const TKeySnapshot> Lookup(HKEY key)
{
    if (key == HKEY_LOCAL_MACHINE) {
        auto root = std::make_shared<TKeySnapshot>();
        Snapshot({}, *root);
        return root;
    }
    std::lock_guard<std::mutex> hold(registryLock);
    const auto found = openKeys.find(reinterpret_cast<uintptr_t>(key));
    return found == openKeys.end() ? nullptr : found->second;
}

/// The bytes a value hands out: string data with its terminating zero.
std::string StoredBytes(const RegistryValue& value)
{
    if (value.type == REG_SZ || value.type == REG_EXPAND_SZ)
        return value.data + '\0';
    return value.data;
}

/// Copies value data the way Win32 does: no buffer asks for the size only; a buffer that is too
/// small gets nothing and the size needed.
LONG CopyData(const std::string& bytes, BYTE* data, LPDWORD dataSize)
{
    if (dataSize == nullptr)
        return data == nullptr ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
    const auto needed = static_cast<DWORD>(bytes.size());
    if (data == nullptr) {
        *dataSize = needed;
        return ERROR_SUCCESS;
    }
    if (*dataSize < needed) {
        *dataSize = needed;
        return ERROR_MORE_DATA;
    }
    std::memcpy(data, bytes.data(), bytes.size());
    *dataSize = needed;
    return ERROR_SUCCESS;
}

/// Copies a name with its terminating zero; `size` counts characters, on return without the zero.
LONG CopyName(const std::string& name, LPSTR buffer, LPDWORD size)
{
    if (buffer == nullptr || size == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (*size < name.size() + 1)
        return ERROR_MORE_DATA;
    std::memcpy(buffer, name.c_str(), name.size() + 1);
    *size = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

/// Keys have no class names here: an optional class buffer gets the empty text.
LONG CopyEmptyClass(LPSTR className, LPDWORD classNameSize)
{
    if (className == nullptr || classNameSize == nullptr) {
        if (classNameSize != nullptr)
            *classNameSize = 0;
        return ERROR_SUCCESS;
    }
    return CopyName("", className, classNameSize);
}

const RegistryValue* FindValue(const TKeySnapshot& key, LPCSTR name)
{
    const std::string wanted = name == nullptr ? std::string() : std::string(name);
    for (const RegistryValue& value : key.values)
        if (SameName(value.name, wanted))
            return &value;
    return nullptr;
}

} // namespace

LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD /*options*/, REGSAM desired, PHKEY result)
{
    if (result == nullptr)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    const std::shared_ptr<const TKeySnapshot> base = Lookup(key);
    if (base == nullptr)
        return ERROR_INVALID_HANDLE;
    if ((desired & kWriteAccess) != 0)
        return ERROR_ACCESS_DENIED;

    std::vector<std::string> wanted = base->path;
    if (subKey != nullptr)
        for (std::string& part : SplitPath(subKey))
            wanted.push_back(std::move(part));

    auto snapshot = std::make_shared<TKeySnapshot>();
    switch (Snapshot(wanted, *snapshot)) {
    case TFind::fMissing:
        return ERROR_FILE_NOT_FOUND;
    case TFind::fUnreadable:
        return ERROR_ACCESS_DENIED;
    case TFind::fFound:
        break;
    }

    std::lock_guard<std::mutex> hold(registryLock);
    while (nextHandle == 0 || openKeys.count(nextHandle) != 0 ||
           (nextHandle >= kPredefinedFirst && nextHandle <= kPredefinedLast))
        nextHandle += 4;
    const uintptr_t handle = nextHandle;
    nextHandle += 4;
    openKeys.emplace(handle, std::move(snapshot));
    *result = reinterpret_cast<HKEY>(handle);
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key)
{
    if (key == HKEY_LOCAL_MACHINE)
        return ERROR_SUCCESS;
    std::lock_guard<std::mutex> hold(registryLock);
    return openKeys.erase(reinterpret_cast<uintptr_t>(key)) != 0 ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, BYTE* data,
                      LPDWORD dataSize)
{
    if (reserved != nullptr)
        return ERROR_INVALID_PARAMETER;
    const std::shared_ptr<const TKeySnapshot> snapshot = Lookup(key);
    if (snapshot == nullptr)
        return ERROR_INVALID_HANDLE;
    const RegistryValue* value = FindValue(*snapshot, valueName);
    if (value == nullptr)
        return ERROR_FILE_NOT_FOUND;
    if (type != nullptr)
        *type = value->type;
    return CopyData(StoredBytes(*value), data, dataSize);
}

LONG RegEnumValueA(HKEY key, DWORD index, LPSTR valueName, LPDWORD valueNameSize, LPDWORD reserved,
                   LPDWORD type, BYTE* data, LPDWORD dataSize)
{
    if (reserved != nullptr)
        return ERROR_INVALID_PARAMETER;
    const std::shared_ptr<const TKeySnapshot> snapshot = Lookup(key);
    if (snapshot == nullptr)
        return ERROR_INVALID_HANDLE;
    if (index >= snapshot->values.size())
        return ERROR_NO_MORE_ITEMS;
    const RegistryValue& value = snapshot->values[index];
    if (const LONG named = CopyName(value.name, valueName, valueNameSize); named != ERROR_SUCCESS)
        return named;
    if (type != nullptr)
        *type = value.type;
    return CopyData(StoredBytes(value), data, dataSize);
}

LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD reserved, LPSTR className,
                   LPDWORD classNameSize, FILETIME* lastWriteTime)
{
    if (reserved != nullptr)
        return ERROR_INVALID_PARAMETER;
    const std::shared_ptr<const TKeySnapshot> snapshot = Lookup(key);
    if (snapshot == nullptr)
        return ERROR_INVALID_HANDLE;
    if (index >= snapshot->subKeys.size())
        return ERROR_NO_MORE_ITEMS;
    if (const LONG named = CopyName(snapshot->subKeys[index], name, nameSize); named != ERROR_SUCCESS)
        return named;
    if (lastWriteTime != nullptr)
        *lastWriteTime = FILETIME{0, 0};
    return CopyEmptyClass(className, classNameSize);
}

LONG RegQueryInfoKeyA(HKEY key, LPSTR className, LPDWORD classNameSize, LPDWORD reserved, LPDWORD subKeys,
                      LPDWORD maxSubKeyLength, LPDWORD maxClassLength, LPDWORD values,
                      LPDWORD maxValueNameLength, LPDWORD maxValueLength, LPDWORD securityDescriptor,
                      FILETIME* lastWriteTime)
{
    if (reserved != nullptr)
        return ERROR_INVALID_PARAMETER;
    const std::shared_ptr<const TKeySnapshot> snapshot = Lookup(key);
    if (snapshot == nullptr)
        return ERROR_INVALID_HANDLE;
    if (const LONG copied = CopyEmptyClass(className, classNameSize); copied != ERROR_SUCCESS)
        return copied;

    size_t longestKey = 0, longestName = 0, longestData = 0;
    for (const std::string& subKey : snapshot->subKeys)
        longestKey = std::max(longestKey, subKey.size());
    for (const RegistryValue& value : snapshot->values) {
        longestName = std::max(longestName, value.name.size());
        longestData = std::max(longestData, StoredBytes(value).size());
    }
    if (subKeys != nullptr)
        *subKeys = static_cast<DWORD>(snapshot->subKeys.size());
    if (maxSubKeyLength != nullptr)
        *maxSubKeyLength = static_cast<DWORD>(longestKey);
    if (maxClassLength != nullptr)
        *maxClassLength = 0;
    if (values != nullptr)
        *values = static_cast<DWORD>(snapshot->values.size());
    if (maxValueNameLength != nullptr)
        *maxValueNameLength = static_cast<DWORD>(longestName);
    if (maxValueLength != nullptr)
        *maxValueLength = static_cast<DWORD>(longestData);
    if (securityDescriptor != nullptr)
        *securityDescriptor = 0;
    if (lastWriteTime != nullptr)
        *lastWriteTime = FILETIME{0, 0};
    return ERROR_SUCCESS;
}

namespace platform
{

void SetRegistryForTesting(const std::vector<RegistryKey>* keys)
{
    std::lock_guard<std::mutex> hold(registryLock);
    if (keys != nullptr)
        testContents = *keys;
    else
        testContents.reset();
}

} // namespace platform
