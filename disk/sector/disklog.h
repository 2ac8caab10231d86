// Formatted log output for the disk layer.
#pragma once

#include <cstdarg>
#include <cstdio>

#include "platform/util.h"

namespace vk {

// Formats into a bounded buffer (longer texts are cut) and logs it.
inline void LogFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
inline void LogFormat(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    Log(text);
}

} // namespace vk
