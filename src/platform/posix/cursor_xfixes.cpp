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
    cursor->pending = 0;
    if (!cursor->usable) {
        return;
    }
    cursor->pending_image = cursor->stale;
    if (cursor->stale) {
        // The image's reply carries the position as well.
        cursor->pending = xcb_xfixes_get_cursor_image(connection).sequence;
        cursor->stale = false;
    } else {
        cursor->pending = xcb_query_pointer(connection, root).sequence;
    }
}

bool posix_cursor_read(posix_cursor *cursor, xcb_connection_t *connection) {
    if (cursor->pending == 0) {
        return false;
    }
    const unsigned int sequence = cursor->pending;
    cursor->pending = 0;
    if (cursor->pending_image) {
        xcb_xfixes_get_cursor_image_reply_t *r = xcb_xfixes_get_cursor_image_reply(
            connection, xcb_xfixes_get_cursor_image_cookie_t{sequence}, nullptr);
        if (r == nullptr) {
            // No cursor at all (or the connection broke): ask again next time.
            drop_image(cursor);
            cursor->stale = true;
            return false;
        }
        drop_image(cursor);
        cursor->image_reply = r;
        cursor->image =
            cursor_image{xcb_xfixes_get_cursor_image_cursor_image(r), r->width, r->height, r->xhot, r->yhot};
        cursor->on_screen = true;
        cursor->x = r->x;
        cursor->y = r->y;
    } else {
        xcb_query_pointer_reply_t *r =
            xcb_query_pointer_reply(connection, xcb_query_pointer_cookie_t{sequence}, nullptr);
        if (r == nullptr) {
            return false;
        }
        cursor->on_screen = r->same_screen != 0;
        cursor->x = r->root_x;
        cursor->y = r->root_y;
        std::free(r);
    }
    return cursor->on_screen && cursor->image.width > 0 && cursor->image.height > 0;
}

void posix_cursor_close(posix_cursor *cursor) {
    drop_image(cursor);
    *cursor = posix_cursor{};
}
