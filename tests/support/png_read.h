// Reads back the PNG files this library writes (8-bit RGBA, stored deflate
// blocks, no row filter), on either platform, without a PNG library.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct png_image {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint8_t> rgba; // top-down, width * 4 bytes a row
    std::string error;         // empty when the file was read
};

png_image read_library_png(const std::string &path);
