// Damage tracking for the X11 grab: a DAMAGE object on the root window that
// reports every drawn rectangle as it happens (raw rectangles, so nothing has
// to be re-armed); the grab takes the events in behind one round trip.
#include "platform/posix/grab_damage.h"

#include <xcb/damage.h>
#include <xcb/xcb.h>

#include <cstdlib>

namespace {

xcb_connection_t *conn(const grab_context *ctx) {
    return static_cast<xcb_connection_t *>(ctx->connection);
}

} // namespace

void posix_damage_open(grab_context *ctx) {
    ctx->use_damage = false;
    ctx->damage = 0;
    xcb_connection_t *c = conn(ctx);
    if (c == nullptr || xcb_connection_has_error(c) != 0) {
        return;
    }
    const xcb_query_extension_reply_t *ext = xcb_get_extension_data(c, &xcb_damage_id);
    if (ext == nullptr || ext->present == 0) {
        return;
    }
    // The server serves a client only after it has told its version.
    xcb_damage_query_version_reply_t *version = xcb_damage_query_version_reply(
        c, xcb_damage_query_version(c, XCB_DAMAGE_MAJOR_VERSION, XCB_DAMAGE_MINOR_VERSION), nullptr);
    if (version == nullptr) {
        return;
    }
    std::free(version);
    const xcb_damage_damage_t damage = xcb_generate_id(c);
    xcb_generic_error_t *error = xcb_request_check(
        c, xcb_damage_create_checked(c, damage, ctx->root, XCB_DAMAGE_REPORT_LEVEL_RAW_RECTANGLES));
    if (error != nullptr) {
        std::free(error);
        return;
    }
    ctx->damage = damage;
    ctx->damage_event = static_cast<uint8_t>(ext->first_event + XCB_DAMAGE_NOTIFY);
    ctx->use_damage = true;
}

void posix_damage_track(grab_context *ctx, int32_t x, int32_t y) {
    if (x != ctx->track_x || y != ctx->track_y) {
        ctx->track_x = x;
        ctx->track_y = y;
        ctx->damaged = true;
    }
}

void posix_damage_take_event(grab_context *ctx, const xcb_generic_event_t *event) {
    if (!ctx->use_damage || (event->response_type & 0x7f) != ctx->damage_event) {
        return;
    }
    const auto *d = reinterpret_cast<const xcb_damage_notify_event_t *>(event);
    const int64_t left = ctx->track_x;
    const int64_t top = ctx->track_y;
    const int64_t ax = d->area.x;
    const int64_t ay = d->area.y;
    if (ax < left + ctx->width && ax + d->area.width > left && ay < top + ctx->height &&
        ay + d->area.height > top) {
        ctx->damaged = true;
    }
}

bool posix_damage_take(grab_context *ctx) {
    if (!ctx->use_damage || xcb_connection_has_error(conn(ctx)) != 0) {
        return true;
    }
    const bool damaged = ctx->damaged;
    ctx->damaged = false;
    return damaged;
}

void posix_damage_close(grab_context *ctx) {
    if (ctx->damage != 0 && ctx->connection != nullptr && xcb_connection_has_error(conn(ctx)) == 0) {
        xcb_damage_destroy(conn(ctx), ctx->damage);
        xcb_flush(conn(ctx));
    }
    ctx->damage = 0;
    ctx->use_damage = false;
}
