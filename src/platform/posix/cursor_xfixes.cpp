// The X pointer's image and position for the grab.
#include "platform/posix/cursor_xfixes.h"

#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <cstdlib>

namespace {

void drop_image(posix_cursor *cursor) {
    std::free(cursor->image_reply);
    cursor->image_reply = nullptr;
    cursor->image = cursor_image{nullptr, 0, 0, 0, 0};
}

} // namespace

bool posix_cursor_start(posix_cursor *cursor, xcb_connection_t *connection, uint32_t root) {
    if (cursor->started) {
        return cursor->usable;
    }
    cursor->started = true;
    cursor->stale = true;
    const xcb_query_extension_reply_t *ext = xcb_get_extension_data(connection, &xcb_xfixes_id);
    if (ext == nullptr || ext->present == 0) {
        return false;
    }
    // The server takes no other XFIXES request before the version is agreed;
    // cursor images and their notifications came with version 2.
    xcb_xfixes_query_version_reply_t *v = xcb_xfixes_query_version_reply(
        connection, xcb_xfixes_query_version(connection, XCB_XFIXES_MAJOR_VERSION, XCB_XFIXES_MINOR_VERSION),
        nullptr);
    const bool ok = v != nullptr && v->major_version >= 2;
    std::free(v);
    if (!ok) {
        return false;
    }
    xcb_xfixes_select_cursor_input(connection, root, XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);
    cursor->first_event = ext->first_event;
    cursor->usable = true;
    return true;
}

bool posix_cursor_take_event(posix_cursor *cursor, uint8_t response_type) {
    if (!cursor->usable || (response_type & 0x7f) != cursor->first_event + XCB_XFIXES_CURSOR_NOTIFY) {
        return false;
    }
    cursor->stale = true;
    return true;
}

void posix_cursor_ask(posix_cursor *cursor, xcb_connection_t *connection, uint32_t root) {
    cursor->pending = cursor->usable ? xcb_query_pointer(connection, root).sequence : 0;
}

void posix_cursor_read(posix_cursor *cursor, xcb_connection_t *connection) {
    if (cursor->pending == 0) {
        return;
    }
    const xcb_query_pointer_cookie_t cookie{cursor->pending};
    cursor->pending = 0;
    xcb_query_pointer_reply_t *r = xcb_query_pointer_reply(connection, cookie, nullptr);
    if (r == nullptr) {
        cursor->on_screen = false;
        return;
    }
    cursor->on_screen = r->same_screen != 0;
    cursor->x = r->root_x;
    cursor->y = r->root_y;
    std::free(r);
}

bool posix_cursor_settle(posix_cursor *cursor, xcb_connection_t *connection) {
    if (!cursor->usable) {
        return false;
    }
    if (cursor->stale) {
        drop_image(cursor);
        xcb_xfixes_get_cursor_image_reply_t *r =
            xcb_xfixes_get_cursor_image_reply(connection, xcb_xfixes_get_cursor_image(connection), nullptr);
        // Without an answer (no pointer at all, or a broken connection) the
        // image is asked again next time.
        cursor->stale = r == nullptr;
        if (r != nullptr) {
            cursor->image_reply = r;
            cursor->image = cursor_image{xcb_xfixes_get_cursor_image_cursor_image(r), r->width, r->height,
                                         r->xhot, r->yhot};
            cursor->serial = r->cursor_serial;
            // The image's position is newer than the question's.
            cursor->x = r->x;
            cursor->y = r->y;
        }
    }
    return cursor->on_screen && cursor->image.width > 0 && cursor->image.height > 0;
}

void posix_cursor_close(posix_cursor *cursor) {
    drop_image(cursor);
    *cursor = posix_cursor{};
}
