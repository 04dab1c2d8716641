// Placeholders until the Windows layer lands.
#include "platform/grab.h"
#include "platform/media_sink.h"
#include "platform/platform.h"
#include "screenrecorder/display.h"

int64_t platform_now_ms() { return static_cast<int64_t>(GetTickCount64()); }
void platform_sleep_ms(int64_t ms) {
    if (ms > 0) {
        Sleep(static_cast<DWORD>(ms));
    }
}
thread_handle platform_start_worker(recording_job *) { return nullptr; }
void platform_wait_thread(thread_handle) {}
void platform_close_thread(thread_handle) {}
bool platform_default_capture_device_exists() { return false; }
bool platform_run_converter_direct(const char *, const char *) { return false; }
void platform_run_converter_fallback(const char *, const char *) {}

namespace {
void *no_factory() { return nullptr; }
void metrics(int32_t *w, int32_t *h) {
    *w = GetSystemMetrics(SM_CXSCREEN);
    *h = GetSystemMetrics(SM_CYSCREEN);
}
const display_enumerator kEnumerator{no_factory, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, metrics};
} // namespace
const display_enumerator &platform_display_enumerator() { return kEnumerator; }

bool grab_open(grab_context *ctx, int32_t width, int32_t height) {
    *ctx = grab_context{};
    ctx->width = width;
    ctx->height = height;
    return false;
}
bool grab_frame(grab_context *, int32_t, int32_t, uint8_t *) { return false; }
void grab_close(grab_context *ctx) { ctx->ready = false; }

const media_sink_ops &platform_media_sink() {
    static const media_sink_ops ops{};
    return ops;
}
