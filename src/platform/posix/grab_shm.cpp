// The MIT-SHM segment of the X11 grab: a System V segment attached on our
// side and the server's, into which each GetImage request lands.
#include "platform/posix/grab_shm.h"
#include "platform/posix/grab_kept.h"

#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/shm.h>

namespace {

xcb_connection_t *posix_shm_conn(const grab_context *ctx) {
    return static_cast<xcb_connection_t *>(ctx->connection);
}

} // namespace

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
// outlives the process. A grab that borrowed what the last single grab left
// uses (or renews) that segment instead.
bool posix_attach_shm(grab_context *ctx, size_t bytes) {
    xcb_connection_t *c = posix_shm_conn(ctx);
    const xcb_query_extension_reply_t *ext = xcb_get_extension_data(c, &xcb_shm_id);
    if (ext == nullptr || ext->present == 0) {
        return false;
    }
    if (ctx->kept) {
        return posix_attach_kept(ctx, bytes);
    }
    if (!posix_make_segment(&ctx->shm_id, &ctx->shm_data, bytes)) {
        return false;
    }
    ctx->shm_size = bytes;
    const xcb_shm_seg_t seg = xcb_generate_id(c);
    xcb_generic_error_t *error =
        xcb_request_check(c, xcb_shm_attach_checked(c, seg, static_cast<uint32_t>(ctx->shm_id), 0));
    shmctl(ctx->shm_id, IPC_RMID, nullptr);
    ctx->shm_id = -1;
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
    if (ctx->kept) {
        posix_return_kept(ctx, false);
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
