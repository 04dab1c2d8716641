#include "files.h"

#include <cstdio>

std::vector<uint8_t> read_file_bytes(const std::string &path) {
    std::vector<uint8_t> bytes;
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return bytes;
    }
    uint8_t buf[65536];
    std::size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) {
        bytes.insert(bytes.end(), buf, buf + got);
    }
    std::fclose(f);
    return bytes;
}
