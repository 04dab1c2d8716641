// The process-wide last-error text and its formatter.
#pragma once

#include <cstddef>

inline constexpr std::size_t kLastErrorSize = 512;
extern char g_last_error[kLastErrorSize];

// Formats a printf-style message into g_last_error, cut at 511 characters.
void set_last_error(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
