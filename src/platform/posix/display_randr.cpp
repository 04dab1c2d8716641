// The display enumerator of the X11 build: each screen of the default X
// display is an adapter, and its active RandR monitors are the outputs.
#include "platform/posix/xcb_connection.h"
#include "screenrecorder/display.h"

#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <cstdlib>

namespace {

// An adapter: one X screen with the reply that lists its monitors. The reply
// belongs to the adapter; outputs point into it and need no release of their
// own.
struct posix_adapter {
    xcb_randr_get_monitors_reply_t *monitors; // null when RandR gave no list
};

void *posix_create_factory() {
    xcb_connection_t *c = posix_xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c) != 0) {
        xcb_disconnect(c);
        return nullptr;
    }
    return c;
}

enum_result posix_enum_adapter(void *factory, uint32_t index, void **adapter) {
    auto *c = static_cast<xcb_connection_t *>(factory);
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (uint32_t i = 0; i < index && it.rem > 0; ++i) {
        xcb_screen_next(&it);
    }
    if (it.rem <= 0) {
        return enum_result::not_found;
    }
    auto *a = static_cast<posix_adapter *>(std::malloc(sizeof(posix_adapter)));
    if (a == nullptr) {
        return enum_result::failed;
    }
    // A screen whose monitors cannot be listed (no RandR 1.5) is an adapter
    // without outputs.
    a->monitors = nullptr;
    const xcb_query_extension_reply_t *ext = xcb_get_extension_data(c, &xcb_randr_id);
    if (ext != nullptr && ext->present != 0) {
        xcb_randr_query_version_reply_t *v =
            xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 5), nullptr);
        const bool has_monitors =
            v != nullptr && (v->major_version > 1 || (v->major_version == 1 && v->minor_version >= 5));
        std::free(v);
        if (has_monitors) {
            // Active monitors only: the third argument asks for those.
            a->monitors =
                xcb_randr_get_monitors_reply(c, xcb_randr_get_monitors(c, it.data->root, 1), nullptr);
        }
    }
    *adapter = a;
    return enum_result::delivered;
}

enum_result posix_enum_output(void *adapter, uint32_t index, void **output) {
    auto *a = static_cast<posix_adapter *>(adapter);
    if (a->monitors == nullptr) {
        return enum_result::not_found;
    }
    xcb_randr_monitor_info_iterator_t it = xcb_randr_get_monitors_monitors_iterator(a->monitors);
    for (uint32_t i = 0; i < index && it.rem > 0; ++i) {
        xcb_randr_monitor_info_next(&it);
    }
    if (it.rem <= 0) {
        return enum_result::not_found;
    }
    *output = it.data;
    return enum_result::delivered;
}

// A monitor's place is given in root window coordinates, which are the
// desktop's.
bool posix_get_desc(void *output, int32_t *left, int32_t *top, int32_t *width, int32_t *height) {
    const auto *m = static_cast<const xcb_randr_monitor_info_t *>(output);
    *left = m->x;
    *top = m->y;
    *width = m->width;
    *height = m->height;
    return true;
}

void posix_release_output(void *) {}

void posix_release_adapter(void *adapter) {
    auto *a = static_cast<posix_adapter *>(adapter);
    std::free(a->monitors);
    std::free(a);
}

void posix_release_factory(void *factory) {
    xcb_disconnect(static_cast<xcb_connection_t *>(factory));
}

// The size of the default X screen; 0 by 0 when there is no X display.
void posix_system_metrics(int32_t *width, int32_t *height) {
    *width = 0;
    *height = 0;
    int screen_number = 0;
    xcb_connection_t *c = posix_xcb_connect(nullptr, &screen_number);
    if (xcb_connection_has_error(c) == 0) {
        xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
        for (int i = 0; i < screen_number && it.rem > 0; ++i) {
            xcb_screen_next(&it);
        }
        if (it.rem > 0) {
            *width = it.data->width_in_pixels;
            *height = it.data->height_in_pixels;
        }
    }
    xcb_disconnect(c);
}

const display_enumerator kPosixEnumerator{
    posix_create_factory, posix_enum_adapter,    posix_enum_output,     posix_get_desc,
    posix_release_output, posix_release_adapter, posix_release_factory, posix_system_metrics,
};

} // namespace

const display_enumerator &platform_display_enumerator() {
    return kPosixEnumerator;
}
