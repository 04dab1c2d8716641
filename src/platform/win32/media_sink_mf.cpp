// The media sink over Media Foundation's sink writer: an MPEG-4 file with
// H.264 or HEVC video fed with uncompressed 32-bit frames and, for jobs
// without GIF, an AAC track fed with 16-bit stereo PCM.
#include <windows.h>

#include <mfapi.h>
#include <mfidl.h>
#include <mfreadwrite.h>
#include <objbase.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "platform/media_sink.h"
#include "platform/win32/mf_streams.h"

namespace {
constexpr std::size_t kWidePathSize = 1024;

struct mf_sink {
    bool com_initialised; // CoInitializeEx gave S_OK or S_FALSE
    bool mf_started;
    IMFSinkWriter *writer;
    DWORD video_stream;
    DWORD audio_stream;
    IMFMediaType *video_out;
    IMFMediaType *video_in;
    IMFMediaType *audio_out;
    IMFMediaType *audio_in;
    int32_t video_height;
    wchar_t wide_path[kWidePathSize];
};

mf_sink *as_sink(void *sink) {
    return static_cast<mf_sink *>(sink);
}

template <typename T> void win32_release(T *&object) {
    if (object != nullptr) {
        object->Release();
        object = nullptr;
    }
}

int fail(char *err, std::size_t cap, const char *what, HRESULT hr) {
    std::snprintf(err, cap, "%s failed: 0x%08lx", what,
                  static_cast<unsigned long>(static_cast<uint32_t>(hr)));
    return 1;
}

void *win32_mf_create() {
    return new (std::nothrow) mf_sink{};
}

int win32_mf_startup(void *sink, char *err, std::size_t cap) {
    mf_sink *s = as_sink(sink);
    const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    s->com_initialised = init == S_OK || init == S_FALSE;
    const HRESULT hr = MFStartup(MF_VERSION, MFSTARTUP_FULL);
    if (FAILED(hr)) {
        // A start-up that fails undoes itself: shutdown is not called then.
        if (s->com_initialised) {
            CoUninitialize();
            s->com_initialised = false;
        }
        return fail(err, cap, "MFStartup", hr);
    }
    s->mf_started = true;
    return 0;
}

int win32_mf_open(void *sink, const char *path, char *err, std::size_t cap) {
    mf_sink *s = as_sink(sink);
    // A path that does not convert leaves an empty name, which the writer
    // refuses below.
    std::memset(s->wide_path, 0, sizeof s->wide_path);
    MultiByteToWideChar(CP_UTF8, 0, path, -1, s->wide_path, static_cast<int>(kWidePathSize));
    s->wide_path[kWidePathSize - 1] = L'\0';
    const HRESULT hr = MFCreateSinkWriterFromURL(s->wide_path, nullptr, nullptr, &s->writer);
    if (FAILED(hr) || s->writer == nullptr) {
        win32_release(s->writer);
        return fail(err, cap, "MFCreateSinkWriterFromURL", FAILED(hr) ? hr : E_POINTER);
    }
    return 0;
}

// Creates one media type and fills it; false (with the message) when Media
// Foundation cannot create it.
bool win32_make_type(IMFMediaType **type, char *err, std::size_t cap) {
    const HRESULT hr = MFCreateMediaType(type);
    if (FAILED(hr) || *type == nullptr) {
        win32_release(*type);
        fail(err, cap, "MFCreateMediaType", FAILED(hr) ? hr : E_POINTER);
        return false;
    }
    return true;
}

// AddStream and SetInputMediaType are not examined: a writer that refuses a
// type shows it later, and the job goes on.
int win32_mf_add_video(void *sink, const video_stream_desc *desc, char *err, std::size_t cap) {
    mf_sink *s = as_sink(sink);
    if (!win32_make_type(&s->video_out, err, cap)) {
        return 1;
    }
    s->video_height = desc->height;
    win32_fill_video_output_type(s->video_out, *desc);
    s->writer->AddStream(s->video_out, &s->video_stream);
    if (!win32_make_type(&s->video_in, err, cap)) {
        return 1;
    }
    win32_fill_video_input_type(s->video_in, *desc);
    s->writer->SetInputMediaType(s->video_stream, s->video_in, nullptr);
    return 0;
}

int win32_mf_add_audio(void *sink, char *err, std::size_t cap) {
    mf_sink *s = as_sink(sink);
    if (!win32_make_type(&s->audio_out, err, cap)) {
        return 1;
    }
    win32_fill_audio_output_type(s->audio_out);
    s->writer->AddStream(s->audio_out, &s->audio_stream);
    if (!win32_make_type(&s->audio_in, err, cap)) {
        return 1;
    }
    win32_fill_audio_input_type(s->audio_in);
    s->writer->SetInputMediaType(s->audio_stream, s->audio_in, nullptr);
    return 0;
}

int win32_mf_begin(void *sink, char *, std::size_t) {
    as_sink(sink)->writer->BeginWriting();
    return 0;
}

// The GDI grab always leaves whole rows of width x 4 bytes, one after the
// other: the picture is handed over as one block.
sink_write win32_mf_write_video(void *sink, const bgra_picture *picture, int64_t, int64_t time_hns,
                                int64_t duration_hns) {
    mf_sink *s = as_sink(sink);
    const std::size_t bytes = picture->stride * static_cast<std::size_t>(s->video_height);
    return win32_write_sample(s->writer, s->video_stream, picture->pixels, bytes, time_hns, duration_hns);
}

sink_write win32_mf_write_audio(void *sink, const uint8_t *pcm, std::size_t bytes, int64_t, int64_t time_hns,
                                int64_t duration_hns) {
    mf_sink *s = as_sink(sink);
    return win32_write_sample(s->writer, s->audio_stream, pcm, bytes, time_hns, duration_hns);
}

// The writer first, then the media types in the order they were made.
void win32_mf_release_all(mf_sink *s) {
    win32_release(s->writer);
    win32_release(s->video_out);
    win32_release(s->video_in);
    win32_release(s->audio_out);
    win32_release(s->audio_in);
}

int win32_mf_finalize(void *sink, char *err, std::size_t cap) {
    mf_sink *s = as_sink(sink);
    HRESULT hr = S_OK;
    if (s->writer != nullptr) {
        hr = s->writer->Finalize();
    }
    win32_mf_release_all(s);
    if (FAILED(hr)) {
        std::snprintf(err, cap, "IMFSinkWriter::Finalize failed: 0x%08lx", static_cast<unsigned long>(hr));
        return -1;
    }
    return 0;
}

void win32_mf_abandon(void *sink) {
    win32_mf_release_all(as_sink(sink));
}

void win32_mf_shutdown(void *sink) {
    mf_sink *s = as_sink(sink);
    if (s->mf_started) {
        MFShutdown();
        s->mf_started = false;
    }
    if (s->com_initialised) {
        CoUninitialize();
        s->com_initialised = false;
    }
}

void win32_mf_destroy(void *sink) {
    delete as_sink(sink);
}

const media_sink_ops kMediaFoundationSink{
    win32_mf_create,    win32_mf_startup, win32_mf_open,        win32_mf_add_video,
    win32_mf_add_audio, win32_mf_begin,   win32_mf_write_video, win32_mf_write_audio,
    win32_mf_finalize,  win32_mf_abandon, win32_mf_shutdown,    win32_mf_destroy,
};
} // namespace

const media_sink_ops &platform_media_sink() {
    return kMediaFoundationSink;
}
