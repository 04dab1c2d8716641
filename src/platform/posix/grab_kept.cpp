// What a single grab leaves for the next one. A fresh segment costs both
// sides a page fault (and the server's side a cleared page) for every 4 KiB
// of the picture, and a fresh connection costs the server its attach of the
// segment, faulted in again page by page: a 1920 x 1080 screenshot spent
// most of its time there. So the segment stays attached on our side between
// screenshots and, while it serves, the connection stays open with the
// segment attached on the server's side.
//
// The connection is kept only for the DISPLAY it was opened for, in the
// process that opened it, and only while it answers (the next borrower asks
// it before use, and connects anew when it does not); a grab that asked the
// server for more (pointer or damage notifications) closes it as usual. The
// segment's id is removed at once, so it lives only as long as an attach.
// Both go when the library is unloaded or the process ends.
#include "platform/posix/grab_kept.h"
#include "platform/posix/grab_shm.h"

#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

namespace {

constexpr size_t kDisplayNameSize = 256;

struct posix_kept {
    std::mutex lock;
    bool lent;                      // a grab holds it
    pid_t owner;                    // the process that kept it
    xcb_connection_t *connection;   // null when none is kept
    int screen_number;              // of the connection
    uint32_t seg;                   // the segment attached on the connection's server side, 0 when not
    char display[kDisplayNameSize]; // DISPLAY when the connection was opened
    int id;                         // the segment, -1 when none
    uint8_t *data;
    size_t size;
    bool mapped;

    ~posix_kept() {
        std::lock_guard<std::mutex> hold(lock);
        // A grab still holding it at unload keeps it: the process is ending
        // under that grab anyway.
        if (!lent) {
            if (connection != nullptr) {
                xcb_disconnect(connection);
            }
            if (data != nullptr) {
                shmdt(data);
            }
        }
    }
};

posix_kept g_kept{{}, false, 0, nullptr, 0, 0, {}, -1, nullptr, 0, false};

// DISPLAY as it is now, or false when it is too long to keep.
bool posix_current_display(char *out) {
    const char *name = std::getenv("DISPLAY");
    if (name == nullptr) {
        name = "";
    }
    if (std::strlen(name) >= kDisplayNameSize) {
        return false;
    }
    std::strcpy(out, name);
    return true;
}

} // namespace

bool posix_borrow_kept(grab_context *ctx) {
    std::lock_guard<std::mutex> hold(g_kept.lock);
    if (g_kept.owner != getpid()) {
        // A child of a fork inherits the attach and the connection's socket,
        // but both still serve its parent: the child lets go of its own
        // references without a word to the server and starts afresh.
        if (g_kept.connection != nullptr) {
            close(xcb_get_file_descriptor(g_kept.connection));
        }
        if (g_kept.data != nullptr) {
            shmdt(g_kept.data);
        }
        g_kept.lent = false;
        g_kept.owner = getpid();
        g_kept.connection = nullptr;
        g_kept.seg = 0;
        g_kept.id = -1;
        g_kept.data = nullptr;
        g_kept.size = 0;
        g_kept.mapped = false;
    }
    if (g_kept.lent) {
        return false;
    }
    char display[kDisplayNameSize];
    const bool named = posix_current_display(display);
    if (g_kept.connection != nullptr && (!named || std::strcmp(display, g_kept.display) != 0)) {
        xcb_disconnect(g_kept.connection);
        g_kept.connection = nullptr;
        g_kept.seg = 0;
    }
    // The connection this grab keeps, if any, is opened for DISPLAY as it is
    // now (a name too long to remember is kept by none).
    g_kept.display[0] = '\0';
    if (named) {
        std::strcpy(g_kept.display, display);
    }
    g_kept.lent = true;
    ctx->kept = true;
    ctx->connection = g_kept.connection;
    ctx->screen_number = g_kept.screen_number;
    ctx->shm_seg = g_kept.seg;
    ctx->kept_id = g_kept.id;
    ctx->shm_data = g_kept.data;
    ctx->shm_size = g_kept.size;
    ctx->shm_mapped = g_kept.mapped;
    g_kept.connection = nullptr;
    g_kept.seg = 0;
    return true;
}

void posix_forget_kept_connection(grab_context *ctx) {
    xcb_disconnect(static_cast<xcb_connection_t *>(ctx->connection));
    ctx->connection = nullptr;
    ctx->shm_seg = 0;
}

bool posix_attach_kept(grab_context *ctx, size_t bytes) {
    auto *c = static_cast<xcb_connection_t *>(ctx->connection);
    if (ctx->shm_data != nullptr && ctx->shm_size < bytes) {
        // Too small: let go of it on both sides for one of this size.
        if (ctx->shm_seg != 0) {
            xcb_shm_detach(c, ctx->shm_seg);
            ctx->shm_seg = 0;
        }
        shmdt(ctx->shm_data);
        ctx->shm_data = nullptr;
        ctx->kept_id = -1;
        ctx->shm_size = 0;
        ctx->shm_mapped = false;
    }
    if (ctx->shm_data == nullptr) {
        ctx->shm_seg = 0;
        if (!posix_make_segment(&ctx->kept_id, &ctx->shm_data, bytes)) {
            return false;
        }
        // Removed at once: our attach alone keeps it, and a server may still
        // attach it while it exists.
        shmctl(ctx->kept_id, IPC_RMID, nullptr);
        ctx->shm_size = bytes;
        ctx->shm_mapped = false;
    }
    if (ctx->shm_seg != 0) {
        return true;
    }
    const xcb_shm_seg_t seg = xcb_generate_id(c);
    xcb_generic_error_t *error =
        xcb_request_check(c, xcb_shm_attach_checked(c, seg, static_cast<uint32_t>(ctx->kept_id), 0));
    if (error != nullptr || xcb_connection_has_error(c) != 0) {
        std::free(error);
        return false;
    }
    ctx->shm_seg = seg;
    return true;
}

void posix_return_kept(grab_context *ctx, bool keep_connection) {
    std::lock_guard<std::mutex> hold(g_kept.lock);
    g_kept.id = ctx->kept_id;
    g_kept.data = ctx->shm_data;
    g_kept.size = ctx->shm_data != nullptr ? ctx->shm_size : 0;
    g_kept.mapped = ctx->shm_mapped;
    if (keep_connection && ctx->connection != nullptr && g_kept.display[0] != '\0') {
        g_kept.connection = static_cast<xcb_connection_t *>(ctx->connection);
        g_kept.screen_number = ctx->screen_number;
        g_kept.seg = ctx->shm_seg;
        ctx->connection = nullptr;
        ctx->shm_seg = 0;
    }
    g_kept.lent = false;
    ctx->kept = false;
    ctx->kept_id = -1;
    ctx->shm_data = nullptr;
    ctx->shm_size = 0;
    ctx->shm_mapped = false;
}
