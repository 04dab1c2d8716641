#include "screenrecorder/errors.h"

#include <cstdarg>
#include <cstdio>

char g_last_error[kLastErrorSize];

void set_last_error(const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(g_last_error, sizeof g_last_error, format, args);
    va_end(args);
}
