// The MIT-SHM segment of the X11 grab: a System V segment attached on our
// side and the server's, into which each GetImage request lands. A grab
// that asks for it borrows the segment kept between such grabs instead.
#include "platform/posix/grab_shm.h"

#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <unistd.h>

namespace {

xcb_connection_t *posix_shm_conn(const grab_context *ctx) {
    return static_cast<xcb_connection_t *>(ctx->connection);
}

// The segment one grab at a time borrows and gives back, so that the next
// one finds its pages already there on both sides: neither the server nor
// we fault in and clear fresh pages for each picture. Its id is removed, so
// it lives only as long as our attach, which the library's unload (or the
// process's end) lets go.
struct posix_kept_segment {
    std::mutex lock;
    bool lent;     // a grab holds it
    int id;        // -1 when there is none
    uint8_t *data; // our attach
    size_t size;
    bool mapped; // its pages are all mapped on our side
    pid_t owner; // the process that made it

    ~posix_kept_segment() {
        std::lock_guard<std::mutex> hold(lock);
        // A grab still holding it at unload keeps it: the process is ending
        // under that grab anyway.
        if (!lent && data != nullptr) {
            shmdt(data);
            data = nullptr;
        }
    }
};

posix_kept_segment g_kept{{}, false, -1, nullptr, 0, false, 0};

void posix_drop_kept() {
    shmdt(g_kept.data);
    g_kept.data = nullptr;
    g_kept.id = -1;
    g_kept.size = 0;
    g_kept.mapped = false;
}

// Makes a segment of `bytes` and attaches it on our side; false when it
// cannot.
bool posix_make_segment(int *id, uint8_t **data, size_t bytes) {
    *id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (*id < 0) {
        *id = -1;
        return false;
    }
    void *at = shmat(*id, nullptr, 0);
    if (at == reinterpret_cast<void *>(-1)) {
        shmctl(*id, IPC_RMID, nullptr);
        *id = -1;
        return false;
    }
    *data = static_cast<uint8_t *>(at);
    return true;
}

// Gives the grab the kept segment when it is free: as it is when it holds
// `bytes`, else a new one of that size in its place. False when another grab
// holds it or no segment could be made; the grab then makes its own.
bool posix_borrow_kept(grab_context *ctx, size_t bytes, int *id) {
    std::lock_guard<std::mutex> hold(g_kept.lock);
    // A child of a fork inherits the attach, but the segment is still its
    // parent's: the child lets go of it and makes its own.
    if (g_kept.data != nullptr && g_kept.owner != getpid()) {
        g_kept.lent = false;
        posix_drop_kept();
    }
    if (g_kept.lent) {
        return false;
    }
    if (g_kept.data != nullptr && g_kept.size < bytes) {
        posix_drop_kept();
    }
    if (g_kept.data == nullptr) {
        if (!posix_make_segment(&g_kept.id, &g_kept.data, bytes)) {
            return false;
        }
        // Removed at once: our attach alone keeps it, and the server may
        // still attach it while it exists.
        shmctl(g_kept.id, IPC_RMID, nullptr);
        g_kept.size = bytes;
        g_kept.owner = getpid();
    }
    g_kept.lent = true;
    *id = g_kept.id;
    ctx->shm_kept = true;
    ctx->shm_data = g_kept.data;
    ctx->shm_size = g_kept.size;
    ctx->shm_mapped = g_kept.mapped;
    return true;
}

void posix_return_kept(grab_context *ctx) {
    std::lock_guard<std::mutex> hold(g_kept.lock);
    g_kept.mapped = ctx->shm_mapped;
    g_kept.lent = false;
    ctx->shm_kept = false;
    ctx->shm_data = nullptr;
}

} // namespace

// Shared memory only reaches a server on this machine: a display name with a
// host part (a TCP or forwarded display) might even find an unrelated segment
// of the same number on the far side, so it gets the plain request.
bool posix_display_is_local() {
    char *host = nullptr;
    int display = 0;
    int screen = 0;
    if (xcb_parse_display(nullptr, &host, &display, &screen) == 0) {
        return false;
    }
    const bool local = host == nullptr || host[0] == '\0' || std::strcmp(host, "unix") == 0;
    std::free(host);
    return local;
}

// Attaches a System V segment big enough for one grab, on our side and the
// server's. The id is removed as soon as both sides are attached (or the
// attempt failed), so the segment goes away with the last detach and never
// outlives the process. With `borrow`, the kept segment when it is free.
bool posix_attach_shm(grab_context *ctx, size_t bytes, bool borrow) {
    xcb_connection_t *c = posix_shm_conn(ctx);
    const xcb_query_extension_reply_t *ext = xcb_get_extension_data(c, &xcb_shm_id);
    if (ext == nullptr || ext->present == 0) {
        return false;
    }
    int id = -1;
    if (borrow && posix_borrow_kept(ctx, bytes, &id)) {
        // Already removed; our attach keeps it for the server's.
    } else if (posix_make_segment(&ctx->shm_id, &ctx->shm_data, bytes)) {
        ctx->shm_size = bytes;
        id = ctx->shm_id;
    } else {
        return false;
    }
    const xcb_shm_seg_t seg = xcb_generate_id(c);
    xcb_generic_error_t *error =
        xcb_request_check(c, xcb_shm_attach_checked(c, seg, static_cast<uint32_t>(id), 0));
    if (ctx->shm_id >= 0) {
        shmctl(ctx->shm_id, IPC_RMID, nullptr);
        ctx->shm_id = -1;
    }
    if (error != nullptr || xcb_connection_has_error(c) != 0) {
        std::free(error);
        return false;
    }
    ctx->shm_seg = seg;
    return true;
}

// Our side lets go first, then the server's detach is sent without waiting
// for it: the segment's pages are freed by whichever side detaches last, and
// that is then the server, not the caller's thread. The id was removed when
// both sides attached, so the segment is gone once the server has let go
// (at the latest when the connection closes). A borrowed segment goes back
// to be kept, still attached on our side.
void posix_release_shm(grab_context *ctx) {
    if (ctx->shm_kept) {
        posix_return_kept(ctx);
    } else if (ctx->shm_data != nullptr) {
        shmdt(ctx->shm_data);
        ctx->shm_data = nullptr;
    }
    if (ctx->shm_seg != 0 && ctx->connection != nullptr) {
        xcb_shm_detach(posix_shm_conn(ctx), ctx->shm_seg);
        xcb_flush(posix_shm_conn(ctx));
    }
    ctx->shm_seg = 0;
    if (ctx->shm_id >= 0) {
        shmctl(ctx->shm_id, IPC_RMID, nullptr);
        ctx->shm_id = -1;
    }
    ctx->shm_size = 0;
    ctx->shm_mapped = false;
}

// The segment's pages were put there by the server: map them into our side
// in one call instead of taking a page fault for each 4 KiB the reader
// touches (about 2,000 for a full HD picture). Once per segment; a kernel
// without the call leaves the faults to happen as before.
void posix_map_segment(grab_context *ctx) {
#if defined(MADV_POPULATE_READ)
    if (!ctx->shm_mapped) {
        ctx->shm_mapped = true;
        madvise(ctx->shm_data, ctx->shm_size, MADV_POPULATE_READ);
    }
#else
    (void)ctx;
#endif
}
