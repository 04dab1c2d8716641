// Feeds arbitrary bytes to parse_options as the options text and checks that
// the record it leaves obeys every invariant, whatever the text held.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "screenrecorder/options.h"

namespace {

[[noreturn]] void fail(const char *what, const recording_options &o) {
    std::fprintf(stderr,
                 "invariant broken: %s (display %d region %d,%d %dx%d has_region %d fps %d bitrate %d gif %d "
                 "audio %d)\n",
                 what, o.display, o.region_x, o.region_y, o.region_w, o.region_h, o.has_region, o.fps,
                 o.bitrate_kbps, o.gif, o.audio);
    std::abort();
}

void check(const recording_options &o) {
    if (o.fps < 1 || o.fps > 120) {
        fail("fps outside 1..120", o);
    }
    if (o.bitrate_kbps != 8000 && o.bitrate_kbps <= 100) {
        fail("bitrate_kbps neither the default nor above 100", o);
    }
    const bool region = o.region_w > 0 && o.region_h > 0;
    if (o.has_region != (region ? 1 : 0)) {
        fail("has_region does not match the region's size", o);
    }
    if (o.gif != 0 && o.gif != 1) {
        fail("gif not 0 or 1", o);
    }
    if (o.audio < audio_none || o.audio > audio_both) {
        fail("audio outside 0..3", o);
    }
    if (o.codec[0] == '\0') {
        fail("codec empty", o);
    }
    // A name of at most 15 bytes, then NUL bytes to the end of the field.
    const std::size_t length = strnlen(o.codec, sizeof o.codec);
    if (length >= sizeof o.codec) {
        fail("codec not terminated within its field", o);
    }
    for (std::size_t i = length; i < sizeof o.codec; ++i) {
        if (o.codec[i] != '\0') {
            fail("codec not padded with NUL bytes", o);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    // The options text is a NUL-terminated string; bytes after an embedded
    // NUL are simply not part of it. The block is exactly as long as the text
    // and its NUL, so ASan sees a read past the terminator.
    const std::unique_ptr<char[]> block(new char[size + 1]);
    std::memcpy(block.get(), data, size);
    block[size] = '\0';
    const char *text = block.get();

    recording_options first;
    std::memset(&first, 0xA5, sizeof first); // garbage in: every field must be written
    parse_options(text, &first);
    check(first);

    // The parse keeps no state: the same text gives the same record.
    recording_options second;
    std::memset(&second, 0x5A, sizeof second);
    parse_options(text, &second);
    if (std::memcmp(&first, &second, sizeof first) != 0) {
        fail("two parses of one text differ", second);
    }
    return 0;
}
