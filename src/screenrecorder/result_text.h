// Helpers for the JSON result texts: path escaping and file measuring.
#pragma once

#include <cstddef>
#include <cstdint>

// Every caller passes a destination of this size.
inline constexpr std::size_t kResultTextSize = 1024;

// Writes `source` into `dest` so that it can stand between the double quotes
// of a JSON string: a backslash becomes \\, a double quote \" and a byte below
// 0x20 \u00XX. At most dest_size - 1 characters are stored, never half an
// escape, and the result is always terminated.
void json_escape_path(const char *source, char *dest, std::size_t dest_size);

// The size in bytes of the file at `path`, or 0 when it cannot be opened.
// Measured with a 64-bit position, so files past 2 GiB report their size;
// never negative.
int64_t measure_file_size(const char *path);

// Bytes to MiB, as the result texts print them.
inline double bytes_to_mib(int64_t bytes) { return static_cast<double>(bytes) * (1.0 / 1048576.0); }
