// The one header through which the serial stack reaches the operating system: the Win32 calls
// it was designed against. On Windows these are the real calls; elsewhere platform/posix
// offers the same names, types and contracts.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include "platform/posix/win32_base.h"
#include "platform/posix/win32_sync.h"
#include "platform/posix/win32_comm.h"
#include "platform/posix/win32_msg.h"
#include "platform/posix/win32_system.h"
#endif
