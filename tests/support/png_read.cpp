#include "png_read.h"

#include <cstddef>
#include <cstring>

#include "files.h"

namespace {

uint32_t be32(const uint8_t *p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

} // namespace

png_image read_library_png(const std::string &path) {
    png_image img;
    const std::vector<uint8_t> b = read_file_bytes(path);
    static const uint8_t sig[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    if (b.size() < 8 || std::memcmp(b.data(), sig, 8) != 0) {
        img.error = "no PNG signature";
        return img;
    }
    std::vector<uint8_t> z;
    size_t pos = 8;
    bool ended = false;
    while (pos + 12 <= b.size() && !ended) {
        const uint32_t len = be32(&b[pos]);
        const std::string type(reinterpret_cast<const char *>(&b[pos + 4]), 4);
        if (pos + 12 + len > b.size()) {
            img.error = "chunk past the end";
            return img;
        }
        const uint8_t *data = &b[pos + 8];
        if (type == "IHDR") {
            img.width = static_cast<int32_t>(be32(data));
            img.height = static_cast<int32_t>(be32(data + 4));
            if (data[8] != 8 || data[9] != 6) {
                img.error = "not 8-bit RGBA";
                return img;
            }
        } else if (type == "IDAT") {
            z.insert(z.end(), data, data + len);
        } else if (type == "IEND") {
            ended = true;
        }
        pos += 12 + len;
    }
    if (!ended || z.size() < 2) {
        img.error = "no IEND or no image data";
        return img;
    }
    std::vector<uint8_t> raw;
    size_t zp = 2;
    for (bool last = false; !last;) {
        if (zp + 5 > z.size() || (z[zp] & 0x06) != 0) {
            img.error = "not a stored block";
            return img;
        }
        last = (z[zp] & 1) != 0;
        const size_t n = z[zp + 1] | size_t{z[zp + 2]} << 8;
        zp += 5;
        if (zp + n > z.size()) {
            img.error = "block past the end";
            return img;
        }
        raw.insert(raw.end(), z.begin() + static_cast<std::ptrdiff_t>(zp),
                   z.begin() + static_cast<std::ptrdiff_t>(zp + n));
        zp += n;
    }
    const size_t row = static_cast<size_t>(img.width) * 4;
    if (raw.size() != (row + 1) * static_cast<size_t>(img.height)) {
        img.error = "wrong amount of image data";
        return img;
    }
    img.rgba.reserve(row * static_cast<size_t>(img.height));
    for (int32_t y = 0; y < img.height; ++y) {
        const uint8_t *r = &raw[static_cast<size_t>(y) * (row + 1)];
        if (r[0] != 0) {
            img.error = "a row with a filter";
            return img;
        }
        img.rgba.insert(img.rgba.end(), r + 1, r + 1 + row);
    }
    return img;
}
