// Test hook for the GIF converter launch on Linux.
#pragma once

// Points the converter launch at another direct program (an absolute path),
// another fallback name (looked up through PATH) and another time limit in
// milliseconds. A null program or name, or a limit of 0 or below, restores
// that setting's default (/usr/bin/ffmpeg, ffmpeg, 30000). Only tests call
// this, and only while no GIF job is converting.
void posix_set_converter_for_tests(const char *direct_program, const char *fallback_name, int timeout_ms);
