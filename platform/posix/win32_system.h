// Registry (read-only; its serial device map comes from the COM port device map), version,
// shell and system message texts.
#pragma once

#include "platform/posix/win32_base.h"

#include <optional>
#include <string>
#include <string_view>
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
LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, BYTE* data,
                      LPDWORD dataSize);
LONG RegEnumValueA(HKEY key, DWORD index, LPSTR valueName, LPDWORD valueNameSize, LPDWORD reserved,
                   LPDWORD type, BYTE* data, LPDWORD dataSize);
LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD reserved, LPSTR className,
                   LPDWORD classNameSize, FILETIME* lastWriteTime);
LONG RegQueryInfoKeyA(HKEY key, LPSTR className, LPDWORD classNameSize, LPDWORD reserved, LPDWORD subKeys,
                      LPDWORD maxSubKeyLength, LPDWORD maxClassLength, LPDWORD values,
                      LPDWORD maxValueNameLength, LPDWORD maxValueLength, LPDWORD securityDescriptor,
                      FILETIME* lastWriteTime);

// The registry is read-only and small: HKEY_LOCAL_MACHINE holds one key of its own,
// "\\hardware\\devicemap\\serialcomm", with one REG_SZ value per COM port of the device map
// (value name: the device path, data: "COMn"). A key's values and subkeys are read when the key
// is opened, so a handle shows the key as it was then, and a port plugged in later appears at the
// next open. Paths are compared without regard to case; a leading backslash is optional and a
// path is always relative to the key it is opened from (HKEY_LOCAL_MACHINE for absolute ones).
// Asking for write access fails with ERROR_ACCESS_DENIED. Errors are the Win32 results
// (ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_MORE_DATA, ERROR_NO_MORE_ITEMS,
// ERROR_INVALID_HANDLE, ERROR_INVALID_PARAMETER). Thread: any; a handle may be used from several
// threads at once, and a call racing its RegCloseKey sees either the key or ERROR_INVALID_HANDLE.
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr DWORD REG_MULTI_SZ = 7;

namespace platform
{
/// Test hook: replaces the registry's contents until cleared. Keys are absolute paths below
/// HKEY_LOCAL_MACHINE ("\\hardware\\devicemap\\serialcomm"), compared without regard to case;
/// values keep their order. Every key implies its parent keys (empty unless listed themselves).
/// Pass nullptr to return to the live registry (device map only). The contents are copied.
/// Thread: tests set it before the code under test runs; it is safe to call at any time.
struct RegistryValue {
    std::string name;
    DWORD type;
    std::string data; // bytes as stored; REG_SZ data without the terminating zero
};
struct RegistryKey {
    std::string path;
    std::vector<RegistryValue> values;
    bool unreadable = false; // opening it fails with ERROR_ACCESS_DENIED; its parent still lists it
};
void SetRegistryForTesting(const std::vector<RegistryKey>* keys);
} // namespace platform

// ---- DOS device names ------------------------------------------------------------------------
/// The targets of the device name "COMn" (COM in any case, n without leading zeros, no "\\.\"
/// prefix), written to `targetPath` as a list of zero-terminated strings followed by one more
/// zero: the names the port reaches its device through, ending with the device node, e.g.
/// "/dev/serial/by-id/usb-FTDI_...\0/dev/ttyUSB0\0\0". Every COM name that opens has targets,
/// also one the port list leaves out. Returns the characters stored, both final zeros included;
/// 0 with ERROR_FILE_NOT_FOUND for a name the device map lacks, ERROR_INSUFFICIENT_BUFFER when
/// `maxChars` is too small, ERROR_INVALID_PARAMETER for a null name or buffer (the list of all
/// names is not offered). Thread: any.
DWORD QueryDosDeviceA(LPCSTR deviceName, LPSTR targetPath, DWORD maxChars);

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

/// Fills the record, whose dwOSVersionInfoSize must be at least sizeof(OSVERSIONINFOA) (else
/// FALSE with ERROR_INSUFFICIENT_BUFFER). On Linux: VER_PLATFORM_LINUX, the kernel's major and
/// minor version, the patch level as build number and the distribution's name ("Debian GNU/Linux
/// 12 (bookworm)", else the kernel's name and release) as szCSDVersion. Thread: any.
BOOL GetVersionExA(LPOSVERSIONINFOA info);

namespace platform
{
/// Test hook: GetVersionExA reports a copy of `info` (its dwOSVersionInfoSize is ignored) until
/// called with nullptr, which returns to the live values. &kVersionQueryFails makes every call
/// fail with ERROR_NOT_SUPPORTED. Thread: tests set it before use; safe at any time.
void SetVersionForTesting(const OSVERSIONINFOA* info);
extern const OSVERSIONINFOA kVersionQueryFails;
/// Test hook: GetVersionExA reports what it would on a Linux kernel of this release
/// ("4.18.0-553.el8_10.x86_64"), as if uname gave it; empty returns to the live values.
void SetKernelReleaseForTesting(const std::string& release);
} // namespace platform

// ---- Shell -----------------------------------------------------------------------------------
constexpr int SW_HIDE = 0;
constexpr int SW_SHOWNORMAL = 1;
constexpr int SW_SHOW = 5;

// Results of ShellExecuteA below 33 are errors, as on Windows.
constexpr int SE_ERR_FNF = 2;
constexpr int SE_ERR_PNF = 3;
constexpr int SE_ERR_ACCESSDENIED = 5;
constexpr int SE_ERR_OOM = 8;
constexpr int SE_ERR_NOASSOC = 31;

/// Opens `file` (a URL or a path, relative to `directory` when one is given) with the desktop's
/// default handler: the open command (xdg-open) is started detached, in its own session, with
/// standard input and output on /dev/null and none of this process's other descriptors, so it
/// can hold no serial port open. Only the operations NULL and "open" exist; `parameters` and
/// `showCommand` are ignored. Returns a value above 32 once the command has started, otherwise
/// SE_ERR_FNF (the path does not exist), SE_ERR_PNF (`directory` does not), SE_ERR_NOASSOC (no
/// such operation or no open command), SE_ERR_ACCESSDENIED or SE_ERR_OOM. It does not wait for
/// the command to finish and leaves no child process behind. Thread: any.
HINSTANCE ShellExecuteA(HWND parent, LPCSTR operation, LPCSTR file, LPCSTR parameters, LPCSTR directory,
                        int showCommand);

namespace platform
{
/// Test hook: the program ShellExecuteA starts instead of xdg-open (a path, or a name looked up
/// in PATH); it gets the file as its one argument. Empty returns to $LINTAKER_OPEN_COMMAND when
/// set, else xdg-open. Thread: tests set it before use; safe at any time.
void SetOpenCommandForTesting(const std::string& command);
} // namespace platform

// ---- System message texts --------------------------------------------------------------------
constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x00000200;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000;
constexpr DWORD FORMAT_MESSAGE_MAX_WIDTH_MASK = 0x000000FF;
constexpr DWORD LANG_NEUTRAL = 0x00;
constexpr DWORD SUBLANG_DEFAULT = 0x01;
constexpr DWORD MAKELANGID(DWORD primary, DWORD sub) { return (sub << 10) | primary; }

constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x00000100;
constexpr DWORD FORMAT_MESSAGE_FROM_STRING = 0x00000400;
constexpr DWORD FORMAT_MESSAGE_FROM_HMODULE = 0x00000800;
constexpr DWORD FORMAT_MESSAGE_ARGUMENT_ARRAY = 0x00002000;
constexpr DWORD ERROR_MR_MID_NOT_FOUND = 317;

/// FORMAT_MESSAGE_FROM_SYSTEM only: copies the text for the Win32 error number into the buffer,
/// ending in CR LF as Windows' texts do; returns its length, or 0 when the number has no text.
/// The texts are the error texts (platform::ErrorText): every number the platform layer produces
/// has one; no text has inserts. Failures set the last error: ERROR_MR_MID_NOT_FOUND (no
/// text for the number), ERROR_INSUFFICIENT_BUFFER (the text and its terminating zero do not fit
/// in `size` characters), ERROR_INVALID_PARAMETER (other sources, an allocated buffer, no buffer).
/// The language is ignored: there are English texts only. Thread: any.
DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPSTR buffer, DWORD size,
                     void* arguments);

namespace platform
{
/// An error number's row in the error texts, the one table of texts for error numbers.
struct TErrorText {
    std::string_view Text; ///< without a line break
    /// The program's own wording ("File not found", "Disk is full"), which its messages show exactly
    /// as it stands; otherwise Windows' wording, which a message makes fit for one line like any
    /// text of the system.
    bool Own = false;
};
/// The row for an error number; none when the table has no text for it. Thread: any.
std::optional<TErrorText> ErrorText(DWORD error);
} // namespace platform
