// Display numbering: displays are the outputs of all adapters, counted in
// enumeration order. The rule is written once, over a small enumeration seam
// that each platform (and the tests) fill in.
#pragma once

#include <cstdint>

enum class enum_result {
    delivered, // the adapter or output exists and was handed out
    not_found, // past the last one
    failed,    // anything else: nothing was handed out
};

struct display_enumerator {
    // The factory that enumerates adapters; null when enumeration is unavailable.
    void *(*create_factory)();
    enum_result (*enum_adapter)(void *factory, uint32_t index, void **adapter);
    enum_result (*enum_output)(void *adapter, uint32_t index, void **output);
    // The output's rectangle on the desktop: its top-left corner in desktop
    // coordinates and its size; false when the description cannot be read.
    bool (*get_desc)(void *output, int32_t *left, int32_t *top, int32_t *width, int32_t *height);
    void (*release_output)(void *output);
    void (*release_adapter)(void *adapter);
    void (*release_factory)(void *factory);
    // The primary screen's size for the fallback of display 0 (0 when unknown).
    void (*system_metrics)(int32_t *width, int32_t *height);
};

// A point given relative to a display's corner, in desktop coordinates. Kept
// within 32 bits: a point that far out lies off every display anyway.
inline int32_t desktop_coordinate(int32_t display_corner, int32_t offset) {
    const int64_t v = int64_t{display_corner} + offset;
    return v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : static_cast<int32_t>(v);
}

// The platform's enumerator (DXGI on Windows, X11 RandR on Linux).
const display_enumerator &platform_display_enumerator();

inline constexpr int32_t kRefreshHz = 60;

// A display's rectangle on the desktop (the top-left corner in coordinates of
// the whole desktop, which may be negative, and the size) and its refresh rate.
struct display_geometry {
    int32_t x;
    int32_t y;
    int32_t width;
    int32_t height;
    int32_t refresh_hz;
};

// The numbering rule over any enumerator: 0 and the geometry written when
// display `index` exists (always for index 0; the fallback of display 0 lies
// at the desktop's origin), -1 and nothing written otherwise.
int32_t get_display_geometry_from(const display_enumerator &e, int32_t index, display_geometry *out);

// The same rule answering the size and refresh rate only.
int32_t get_display_info_from(const display_enumerator &e, int32_t index, int32_t *width, int32_t *height,
                              int32_t *refresh_hz);

// The same over the platform's enumerator; both enumerate afresh on every call.
int32_t get_display_geometry(int32_t index, display_geometry *out);
int32_t win32_get_display_info(int32_t index, int32_t *width, int32_t *height, int32_t *refresh_hz);
