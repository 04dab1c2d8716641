// The screenshot export: one grab of a rectangle of the screen (or the test
// pattern) written as a PNG file.
#include "kestrova/screenrecorder.h"
#include "platform/grab.h"
#include "platform/platform.h"
#include "png_writer/png_writer.h"
#include "screenrecorder/display.h"
#include "screenrecorder/errors.h"
#include "screenrecorder/options.h"
#include "screenrecorder/pattern.h"
#include "screenrecorder/result_text.h"
#include "screenrecorder/screenshot_rect.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

constexpr int32_t kSizeWhenEmpty = 100;

char shot_json[kResultTextSize];

// The PNG file, opened and given its room while the grab's picture is being
// made, so that the writes find the room ready.
struct shot_file {
    const char *path;
    uint64_t bytes;
    std::FILE *file; // null when it could not be created
    bool opened;     // the open was tried
};

void open_shot_file(void *arg) {
    auto *f = static_cast<shot_file *>(arg);
    f->opened = true;
    f->file = std::fopen(f->path, "wb");
    platform_reserve_file(f->file, f->bytes);
}

// One side of the rectangle: trimmed to end at the display's edge, 100 when
// nothing is left.
int32_t trim_side(int32_t origin, int32_t size, int32_t display_size) {
    int64_t s = size;
    if (int64_t{origin} + s > display_size) {
        s = int64_t{display_size} - origin;
    }
    return s <= 0 ? kSizeWhenEmpty : static_cast<int32_t>(s);
}

} // namespace

screenshot_rect compute_screenshot_rect(const recording_options &opts, const display_geometry &display) {
    screenshot_rect r{};
    r.x = opts.region_x < 0 ? 0 : opts.region_x;
    r.y = opts.region_y < 0 ? 0 : opts.region_y;
    const int32_t w = opts.has_region != 0 ? opts.region_w : display.width;
    const int32_t h = opts.has_region != 0 ? opts.region_h : display.height;
    r.width = trim_side(r.x, w, display.width);
    r.height = trim_side(r.y, h, display.height);
    if (opts.has_region == 0) {
        r.x = desktop_coordinate(display.x, r.x);
        r.y = desktop_coordinate(display.y, r.y);
    }
    return r;
}

extern "C" int32_t screenrecorder_screenshot(const char *output_path, const char *options_json,
                                             const char **out_json) {
    if (output_path == nullptr || output_path[0] == '\0') {
        set_last_error("output PNG path cannot be empty");
        return -1;
    }
    recording_options opts{};
    parse_options(options_json, &opts);
    display_geometry display{};
    if (get_display_geometry(opts.display, &display) != 0) {
        set_last_error("display index %d out of range", opts.display);
        return -2;
    }
    const screenshot_rect r = compute_screenshot_rect(opts, display);

    // Both sides are positive; the byte count is taken in 64 bits, and a row
    // must fit the encoder's 32-bit stride.
    const uint64_t pixel_count = static_cast<uint64_t>(r.width) * static_cast<uint64_t>(r.height);
    const int64_t stride = int64_t{r.width} * 4;
    uint8_t *pixels = nullptr;
    if (stride <= std::numeric_limits<int32_t>::max() &&
        pixel_count <= std::numeric_limits<size_t>::max() / 4) {
        pixels = static_cast<uint8_t *>(std::malloc(static_cast<size_t>(pixel_count) * 4));
    }
    if (pixels == nullptr) {
        set_last_error("out of memory for screenshot buffer");
        return -3;
    }

    // One picture: no tracking of what changes. The PNG is written straight
    // from where the grab left the picture (the grab's own memory when it
    // can), so the grab closes after the write.
    shot_file out{output_path, png_file_size(r.width, r.height), nullptr, false};
    grab_context grab{};
    bgra_picture picture{pixels, static_cast<size_t>(stride), false};
    bool grabbed = false;
    if (grab_open_single(&grab, r.width, r.height)) {
        grab_reuse_unchanged(&grab, false);
        grab_include_cursor(&grab, opts.cursor != 0);
        grab_while_waiting(&grab, open_shot_file, &out);
        grabbed = grab_view(&grab, r.x, r.y, pixels, &picture) &&
                  picture.stride <= static_cast<size_t>(std::numeric_limits<int32_t>::max());
    }
    if (!grabbed) {
        grab_close(&grab);
        generate_pattern_frame(pixels, r.width, r.height, 0);
        picture = bgra_picture{pixels, static_cast<size_t>(stride), false};
    }

    // X and GDI leave the fourth byte of a grabbed pixel 0, which the PNG
    // would store as fully transparent: every pixel is stored opaque (the
    // pattern's are already).
    if (!out.opened) {
        open_shot_file(&out);
    }
    const int32_t rc = out.file == nullptr ? -2
                                           : write_png_bgrx_file(out.file, r.width, r.height, picture.pixels,
                                                                 static_cast<int32_t>(picture.stride));
    grab_close(&grab);
    std::free(pixels);
    if (rc != 0) {
        set_last_error("failed to write PNG file '%s': rc %d", output_path, rc);
        return -4;
    }

    const int64_t size = measure_file_size(output_path);
    char escaped[kResultTextSize];
    json_escape_path(output_path, escaped, sizeof escaped);
    // A text longer than the buffer is cut at 1023 characters.
    const int n =
        std::snprintf(shot_json, sizeof shot_json,
                      "{\"ok\":true,\"output\":\"%s\",\"width\":%d,\"height\":%d,\"size_bytes\":%lld}",
                      escaped, r.width, r.height, static_cast<long long>(size));
    if (n < 0) {
        shot_json[0] = '\0';
    }
    if (out_json != nullptr) {
        *out_json = shot_json;
    }
    return 0;
}
