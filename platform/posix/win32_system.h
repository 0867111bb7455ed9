// Registry (read-only; its serial device map comes from the COM port device map), version,
// shell and system message texts.
#pragma once

#include "platform/posix/win32_base.h"

#include <string>
#include <vector>

// ---- Registry --------------------------------------------------------------------------------
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000002u)))

using REGSAM = DWORD;
constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_READ = 0x20019;

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM desired, PHKEY result);
LONG RegCloseKey(HKEY key);
LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, BYTE* data, LPDWORD dataSize);
LONG RegEnumValueA(HKEY key, DWORD index, LPSTR valueName, LPDWORD valueNameSize, LPDWORD reserved, LPDWORD type,
                   BYTE* data, LPDWORD dataSize);
LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD reserved, LPSTR className,
                   LPDWORD classNameSize, FILETIME* lastWriteTime);
LONG RegQueryInfoKeyA(HKEY key, LPSTR className, LPDWORD classNameSize, LPDWORD reserved, LPDWORD subKeys,
                      LPDWORD maxSubKeyLength, LPDWORD maxClassLength, LPDWORD values, LPDWORD maxValueNameLength,
                      LPDWORD maxValueLength, LPDWORD securityDescriptor, FILETIME* lastWriteTime);

namespace platform {
/// Test hook: replaces the registry's contents until cleared. Keys are absolute paths below
/// HKEY_LOCAL_MACHINE ("\\hardware\\devicemap\\serialcomm"), compared without regard to case;
/// values keep their order. Pass nullptr to return to the live registry (device map only).
struct RegistryValue {
    std::string name;
    DWORD type;
    std::string data; // bytes as stored; REG_SZ data without the terminating zero
};
struct RegistryKey {
    std::string path;
    std::vector<RegistryValue> values;
    bool unreadable = false; // opening it fails
};
void SetRegistryForTesting(const std::vector<RegistryKey>* keys);
} // namespace platform

// ---- Version ---------------------------------------------------------------------------------
constexpr DWORD VER_PLATFORM_WIN32s = 0;
constexpr DWORD VER_PLATFORM_WIN32_WINDOWS = 1;
constexpr DWORD VER_PLATFORM_WIN32_NT = 2;
// Not a Windows value: what GetVersionExA reports on Linux, with the kernel's major and minor
// version, so that the port list reads the device map (major above 4) and the dispatch log's
// header names the real system ("Linux 6.1 ..."), not a Windows it is not.
constexpr DWORD VER_PLATFORM_LINUX = 0x4C58;

struct OSVERSIONINFOA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    CHAR szCSDVersion[128];
};
using LPOSVERSIONINFOA = OSVERSIONINFOA*;

BOOL GetVersionExA(LPOSVERSIONINFOA info);

// ---- Shell -----------------------------------------------------------------------------------
constexpr int SW_HIDE = 0;
constexpr int SW_SHOWNORMAL = 1;
constexpr int SW_SHOW = 5;

HINSTANCE ShellExecuteA(HWND parent, LPCSTR operation, LPCSTR file, LPCSTR parameters, LPCSTR directory,
                        int showCommand);

// ---- System message texts --------------------------------------------------------------------
constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x00000200;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000;
constexpr DWORD FORMAT_MESSAGE_MAX_WIDTH_MASK = 0x000000FF;
constexpr DWORD LANG_NEUTRAL = 0x00;
constexpr DWORD SUBLANG_DEFAULT = 0x01;
constexpr DWORD MAKELANGID(DWORD primary, DWORD sub)
{
    return (sub << 10) | primary;
}

/// FORMAT_MESSAGE_FROM_SYSTEM only: copies the text for the Win32 error number into the buffer,
/// ending in CR LF as Windows' texts do; returns its length, or 0 when the number has no text.
DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPSTR buffer, DWORD size,
                     void* arguments);
