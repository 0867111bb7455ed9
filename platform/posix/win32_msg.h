// Placeholder: filled by its owner.
#pragma once
#include "platform/posix/win32_base.h"
