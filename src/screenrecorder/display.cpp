#include "screenrecorder/display.h"

namespace {

constexpr int32_t kFallbackWidth = 1920;
constexpr int32_t kFallbackHeight = 1080;

// Searches the adapters of an open factory for display `index`. True when it
// was found and its rectangle written.
bool find_display(const display_enumerator &e, void *factory, int32_t index, display_geometry *out) {
    // Outputs counted in the adapters before the current one. Held in 64 bits
    // so that no count of outputs can wrap onto a small index.
    int64_t counted = 0;
    for (uint32_t a = 0;; ++a) {
        void *adapter = nullptr;
        if (e.enum_adapter(factory, a, &adapter) != enum_result::delivered) {
            // Past the last adapter, or a failure that delivered nothing:
            // either way this enumeration is over.
            return false;
        }
        bool found = false;
        for (uint32_t o = 0;; ++o) {
            void *output = nullptr;
            if (e.enum_output(adapter, o, &output) != enum_result::delivered) {
                // Past the last output (or nothing delivered): the outputs
                // seen here keep their numbers, the next adapter follows.
                counted += o;
                break;
            }
            if (counted + o != index) {
                e.release_output(output);
                continue;
            }
            int32_t x = 0;
            int32_t y = 0;
            int32_t w = 0;
            int32_t h = 0;
            const bool described = e.get_desc(output, &x, &y, &w, &h);
            e.release_output(output);
            if (described) {
                out->x = x;
                out->y = y;
                out->width = w;
                out->height = h;
                found = true;
            } else {
                // The output that failed is not counted, so the first output
                // of the next adapter carries the requested index.
                counted += o;
            }
            break;
        }
        e.release_adapter(adapter);
        if (found) {
            return true;
        }
    }
}

} // namespace

int32_t get_display_geometry_from(const display_enumerator &e, int32_t index, display_geometry *out) {
    display_geometry g{};
    if (index >= 0 && e.create_factory != nullptr) {
        if (void *factory = e.create_factory()) {
            bool found = find_display(e, factory, index, &g);
            e.release_factory(factory);
            if (found) {
                g.refresh_hz = kRefreshHz;
                *out = g;
                return 0;
            }
        }
    }
    if (index != 0) {
        return -1;
    }
    // The primary screen, whose corner is the desktop's origin.
    int32_t w = 0;
    int32_t h = 0;
    if (e.system_metrics != nullptr) {
        e.system_metrics(&w, &h);
    }
    *out = display_geometry{0, 0, w > 0 ? w : kFallbackWidth, h > 0 ? h : kFallbackHeight, kRefreshHz};
    return 0;
}

int32_t get_display_info_from(const display_enumerator &e, int32_t index, int32_t *width, int32_t *height,
                              int32_t *refresh_hz) {
    display_geometry g{};
    const int32_t rc = get_display_geometry_from(e, index, &g);
    if (rc == 0) {
        *width = g.width;
        *height = g.height;
        *refresh_hz = g.refresh_hz;
    }
    return rc;
}

int32_t get_display_geometry(int32_t index, display_geometry *out) {
    return get_display_geometry_from(platform_display_enumerator(), index, out);
}

int32_t win32_get_display_info(int32_t index, int32_t *width, int32_t *height, int32_t *refresh_hz) {
    return get_display_info_from(platform_display_enumerator(), index, width, height, refresh_hz);
}
