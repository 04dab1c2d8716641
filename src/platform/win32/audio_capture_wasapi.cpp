// Live sound through WASAPI in shared mode: a loopback stream on the default
// render endpoint for what the machine plays, a stream on the default
// capture endpoint for the microphone. Both are polled from the caller's
// loop (no events, no thread of ours) and placed on one timeline by the
// performance-counter time each packet carries, so that a loopback that
// delivers nothing while nothing plays reads as silence for that time.
// The capture must be opened and closed on the same thread.
#include <windows.h>

#include <audioclient.h>
#include <mmdeviceapi.h>
#include <mmreg.h>
#include <objbase.h>

#include <algorithm>
#include <new>

#include "platform/audio_capture.h"
#include "platform/win32/audio_format.h"
#include "screenrecorder/audio_lane.h"
#include "screenrecorder/options.h"

namespace {

constexpr REFERENCE_TIME kBufferHns = 10'000'000; // the device's buffer: a second of slow polling
constexpr int64_t kHnsPerSecond = 10'000'000;
constexpr int32_t kHoldMs = 2000;            // converted sound kept for the reader
constexpr int32_t kToleranceMs = 30;         // how far a packet's time stamp may wander
constexpr int64_t kIdleSlackHns = 2'500'000; // silence fills a quiet source up to this far behind

struct wasapi_stream {
    IMMDevice *device;
    IAudioClient *client;
    IAudioCaptureClient *capture;
    REFERENCE_TIME latency;
    bool started;
    audio_lane lane;
};

template <typename T> void win32_release(T *&object) {
    if (object != nullptr) {
        object->Release();
        object = nullptr;
    }
}

int64_t win32_now_hns() {
    LARGE_INTEGER c, f;
    QueryPerformanceCounter(&c);
    QueryPerformanceFrequency(&f);
    // Split so that counter x 10^7 cannot overflow on a long uptime.
    return c.QuadPart / f.QuadPart * kHnsPerSecond + c.QuadPart % f.QuadPart * kHnsPerSecond / f.QuadPart;
}

void win32_stream_close(wasapi_stream *s) {
    if (s->started) {
        s->client->Stop();
        s->started = false;
    }
    win32_release(s->capture);
    win32_release(s->client);
    win32_release(s->device);
}

// Opens a stream on the default endpoint of `flow`: loopback for a render
// endpoint. False, with nothing held, when any step fails.
bool win32_stream_open(IMMDeviceEnumerator *enumerator, EDataFlow flow, wasapi_stream *s) {
    if (FAILED(enumerator->GetDefaultAudioEndpoint(flow, eConsole, &s->device)) || s->device == nullptr ||
        FAILED(s->device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr,
                                   reinterpret_cast<void **>(&s->client))) ||
        s->client == nullptr) {
        win32_stream_close(s);
        return false;
    }
    WAVEFORMATEX *mix = nullptr;
    audio_source_format source{};
    bool ok = SUCCEEDED(s->client->GetMixFormat(&mix)) && mix != nullptr &&
              win32_audio_source_format(mix, &source) &&
              SUCCEEDED(s->client->Initialize(AUDCLNT_SHAREMODE_SHARED,
                                              flow == eRender ? AUDCLNT_STREAMFLAGS_LOOPBACK : 0, kBufferHns,
                                              0, mix, nullptr));
    CoTaskMemFree(mix);
    ok = ok &&
         SUCCEEDED(
             s->client->GetService(__uuidof(IAudioCaptureClient), reinterpret_cast<void **>(&s->capture))) &&
         s->capture != nullptr && audio_lane_init(&s->lane, source, kHoldMs, kToleranceMs);
    if (!ok) {
        win32_stream_close(s);
        return false;
    }
    if (FAILED(s->client->GetStreamLatency(&s->latency)) || s->latency < 0) {
        s->latency = 0;
    }
    return true;
}

// Device frames of `rate` in `hns` hundred-nanosecond units.
int64_t win32_frames(int64_t hns, int32_t rate) {
    return hns / kHnsPerSecond * rate + hns % kHnsPerSecond * rate / kHnsPerSecond;
}

// Moves every packet the stream holds into its lane, then fills the lane
// with silence up to a little behind `now`. A stream whose device has gone
// away (or that fails in any other way) leaves the mix for good.
void win32_stream_drain(wasapi_stream *s, int64_t origin, int64_t now) {
    const int32_t rate = s->lane.conv.source.rate;
    for (;;) {
        UINT32 pending = 0;
        if (FAILED(s->capture->GetNextPacketSize(&pending))) {
            s->lane.live = false;
            return;
        }
        if (pending == 0) {
            break;
        }
        BYTE *data = nullptr;
        UINT32 frames = 0;
        DWORD flags = 0;
        UINT64 qpc = 0;
        const HRESULT hr = s->capture->GetBuffer(&data, &frames, &flags, nullptr, &qpc);
        if (hr == AUDCLNT_S_BUFFER_EMPTY) {
            break;
        }
        if (FAILED(hr)) {
            s->lane.live = false;
            return;
        }
        int64_t at = -1;
        if ((flags & AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR) == 0) {
            at = std::max<int64_t>(win32_frames(static_cast<int64_t>(qpc) - origin, rate), 0);
        }
        audio_lane_put(&s->lane, (flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0 ? nullptr : data, frames, at);
        s->capture->ReleaseBuffer(frames);
    }
    const int64_t behind = now - origin - s->latency - kIdleSlackHns;
    if (behind > 0) {
        audio_lane_fill(&s->lane, win32_frames(behind, rate));
    }
}

} // namespace

bool win32_audio_source_format(const WAVEFORMATEX *wf, audio_source_format *out) {
    WORD tag = wf->wFormatTag;
    WORD bits = wf->wBitsPerSample;
    uint32_t mask = 0;
    if (tag == WAVE_FORMAT_EXTENSIBLE && wf->cbSize >= sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX)) {
        const auto *ext = reinterpret_cast<const WAVEFORMATEXTENSIBLE *>(wf);
        // Sub-formats of the WAVE tags are {tag-0000-0010-8000-00aa00389b71}.
        static const BYTE base[8] = {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71};
        const GUID &sub = ext->SubFormat;
        if (sub.Data2 != 0 || sub.Data3 != 0x10 || !std::equal(base, base + 8, sub.Data4)) {
            return false;
        }
        tag = static_cast<WORD>(sub.Data1);
        mask = ext->dwChannelMask;
    }
    if (tag == WAVE_FORMAT_IEEE_FLOAT && bits == 32) {
        out->format = pcm_f32;
    } else if (tag == WAVE_FORMAT_PCM && (bits == 16 || bits == 24 || bits == 32)) {
        // 24 valid bits in a 32-bit container sit at the top: read as 32.
        out->format = bits == 16 ? pcm_s16 : (bits == 24 ? pcm_s24 : pcm_s32);
    } else {
        return false;
    }
    out->channels = wf->nChannels;
    out->rate = static_cast<int32_t>(wf->nSamplesPerSec);
    out->speaker_mask = mask;
    return true;
}

struct audio_capture {
    bool com_initialised; // CoInitializeEx gave S_OK or S_FALSE: balanced on close
    IMMDeviceEnumerator *enumerator;
    wasapi_stream streams[2];
    int32_t stream_count;
    int64_t origin; // performance-counter time of the start, in 100 ns units
};

audio_capture *audio_capture_open(int32_t mode) {
    if (mode != audio_mic && mode != audio_system && mode != audio_both) {
        return nullptr;
    }
    auto *cap = new (std::nothrow) audio_capture{};
    if (cap == nullptr) {
        return nullptr;
    }
    // A thread already in a single-threaded apartment keeps it (the audio
    // objects work in either); only an initialisation of our own is undone.
    const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    cap->com_initialised = init == S_OK || init == S_FALSE;
    if (SUCCEEDED(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                                   __uuidof(IMMDeviceEnumerator),
                                   reinterpret_cast<void **>(&cap->enumerator))) &&
        cap->enumerator != nullptr) {
        const EDataFlow flows[] = {eCapture, eRender};
        for (EDataFlow flow : flows) {
            const bool wanted = flow == eCapture ? mode != audio_system : mode != audio_mic;
            if (wanted && win32_stream_open(cap->enumerator, flow, &cap->streams[cap->stream_count])) {
                ++cap->stream_count;
            }
        }
    }
    cap->origin = win32_now_hns();
    int32_t running = 0;
    for (int32_t i = 0; i < cap->stream_count; ++i) {
        wasapi_stream &s = cap->streams[i];
        s.started = SUCCEEDED(s.client->Start());
        s.lane.live = s.started;
        running += s.started ? 1 : 0;
    }
    if (running == 0) {
        audio_capture_close(cap);
        return nullptr;
    }
    return cap;
}

std::size_t audio_capture_read(audio_capture *cap, int16_t *dst, std::size_t max_frames) {
    if (cap == nullptr || dst == nullptr) {
        return 0;
    }
    const int64_t now = win32_now_hns();
    audio_lane *lanes[2] = {};
    for (int32_t i = 0; i < cap->stream_count; ++i) {
        wasapi_stream &s = cap->streams[i];
        if (s.lane.live) {
            win32_stream_drain(&s, cap->origin, now);
        }
        lanes[i] = &s.lane;
    }
    return audio_lanes_take(lanes, static_cast<std::size_t>(cap->stream_count), dst, max_frames);
}

int64_t audio_capture_latency_frames(audio_capture *cap) {
    if (cap == nullptr) {
        return 0;
    }
    REFERENCE_TIME latency = 0;
    for (int32_t i = 0; i < cap->stream_count; ++i) {
        if (cap->streams[i].lane.live) {
            latency = std::max(latency, cap->streams[i].latency);
        }
    }
    return win32_frames(latency, audio_track_rate);
}

void audio_capture_close(audio_capture *cap) {
    if (cap == nullptr) {
        return;
    }
    for (int32_t i = 0; i < cap->stream_count; ++i) {
        win32_stream_close(&cap->streams[i]);
    }
    win32_release(cap->enumerator);
    if (cap->com_initialised) {
        CoUninitialize();
    }
    delete cap;
}
