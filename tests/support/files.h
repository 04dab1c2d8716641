// Whole-file reading for tests on either platform.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The file's bytes, or none when it cannot be opened.
std::vector<uint8_t> read_file_bytes(const std::string &path);
