// Whether a default audio capture device exists, asked of the PulseAudio
// server (PipeWire's Pulse server answers the same protocol). One private
// main loop, driven on the calling thread until an answer or a deadline.
#include "platform/platform.h"

#include <pulse/context.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>

#include <chrono>
#include <cstring>

namespace {

constexpr std::chrono::milliseconds kProbeDeadline{1000};

struct posix_probe_state {
    enum step { connecting, asking_server, asking_source, done } at = connecting;
    bool answer = false;
    char default_source[256] = {};
};

void posix_on_source(pa_context *, const pa_source_info *info, int eol, void *userdata) {
    auto *st = static_cast<posix_probe_state *>(userdata);
    if (info != nullptr) {
        // A monitor source only echoes an output; it captures nothing.
        st->answer = info->monitor_of_sink == PA_INVALID_INDEX;
        return;
    }
    if (eol != 0) {
        st->at = posix_probe_state::done;
    }
}

void posix_on_server(pa_context *, const pa_server_info *info, void *userdata) {
    auto *st = static_cast<posix_probe_state *>(userdata);
    if (info == nullptr || info->default_source_name == nullptr || info->default_source_name[0] == '\0') {
        st->at = posix_probe_state::done;
        return;
    }
    std::strncpy(st->default_source, info->default_source_name, sizeof st->default_source - 1);
    st->at = posix_probe_state::asking_source;
}

} // namespace

bool platform_default_capture_device_exists() {
    pa_mainloop *loop = pa_mainloop_new();
    if (loop == nullptr) {
        return false;
    }
    posix_probe_state st;
    pa_context *ctx = pa_context_new(pa_mainloop_get_api(loop), "kestrova-screenrecorder probe");
    if (ctx != nullptr && pa_context_connect(ctx, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
        const auto deadline = std::chrono::steady_clock::now() + kProbeDeadline;
        bool source_asked = false;
        while (st.at != posix_probe_state::done) {
            if (st.at == posix_probe_state::connecting) {
                const pa_context_state_t cs = pa_context_get_state(ctx);
                if (cs == PA_CONTEXT_READY) {
                    pa_operation *op = pa_context_get_server_info(ctx, posix_on_server, &st);
                    if (op == nullptr) {
                        break;
                    }
                    pa_operation_unref(op);
                    st.at = posix_probe_state::asking_server;
                } else if (!PA_CONTEXT_IS_GOOD(cs)) {
                    break;
                }
            }
            if (st.at == posix_probe_state::asking_source && !source_asked) {
                pa_operation *op =
                    pa_context_get_source_info_by_name(ctx, st.default_source, posix_on_source, &st);
                if (op == nullptr) {
                    break;
                }
                pa_operation_unref(op);
                source_asked = true;
            }
            if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(ctx))) {
                break;
            }
            const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                // No answer in time: what was learned so far does not count.
                st.answer = false;
                break;
            }
            // Wait for the server at most until the deadline, then handle
            // whatever arrived.
            if (pa_mainloop_prepare(loop, static_cast<int>(left.count())) < 0 || pa_mainloop_poll(loop) < 0 ||
                pa_mainloop_dispatch(loop) < 0) {
                break;
            }
        }
        if (st.at != posix_probe_state::done) {
            st.answer = false;
        }
        pa_context_disconnect(ctx);
    }
    if (ctx != nullptr) {
        pa_context_unref(ctx);
    }
    pa_mainloop_free(loop);
    return st.answer;
}
