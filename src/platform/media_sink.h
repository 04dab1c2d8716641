// The media writer that the recording worker feeds: Media Foundation's sink
// writer on Windows, the FFmpeg libraries on Linux. The worker's loop, its
// counting and its sample times live in the core; a sink only translates.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/picture.h"

struct video_stream_desc {
    bool hevc;            // HEVC when the codec is exactly "hevc", else H.264
    uint32_t bitrate_bps; // bitrate_kbps x 1000, taken in 32 bits
    int32_t width;        // even, at least 16
    int32_t height;       // even, at least 16
    int32_t fps;          // 1..120
};

enum class sink_write {
    ok,      // the sample was written (or handed to the writer)
    skipped, // no buffer for this sample: left out, the frame still counts
    failed,  // no sample or codec object could be made: the job cannot go on
};

// Audio is always 44100 Hz, 2 channels, 16-bit PCM in, AAC at 128 kbit/s out.
inline constexpr int32_t kAudioRate = 44100;
inline constexpr int32_t kAudioChannels = 2;
inline constexpr int32_t kAudioBytesPerFrame = 4;

// Every call that can fail returns 0 on success; otherwise it writes its
// message into err (cap bytes, terminator included) and returns non-zero.
struct media_sink_ops {
    // Creates the sink's own state (once per job); null when out of memory.
    void *(*create)();
    // Initialises the media stack on the calling thread (COM, MFStartup).
    int (*startup)(void *sink, char *err, std::size_t cap);
    // Opens the writer on `path` (UTF-8).
    int (*open)(void *sink, const char *path, char *err, std::size_t cap);
    int (*add_video)(void *sink, const video_stream_desc *desc, char *err, std::size_t cap);
    int (*add_audio)(void *sink, char *err, std::size_t cap);
    int (*begin)(void *sink, char *err, std::size_t cap);
    // One BGRA picture of the stream's size for frame number `index`,
    // stamped at `time_hns` for `duration_hns` (100-nanosecond units).
    sink_write (*write_video)(void *sink, const bgra_picture *picture, int64_t index, int64_t time_hns,
                              int64_t duration_hns);
    // One chunk of 16-bit stereo PCM belonging to frame `index`.
    sink_write (*write_audio)(void *sink, const uint8_t *pcm, std::size_t bytes, int64_t index,
                              int64_t time_hns, int64_t duration_hns);
    // Completes the file and releases the writer and its media types, in
    // every case. Non-zero (with a message) when the file could not be
    // completed, e.g. the disk filled up: frames_in_file then tells what it
    // kept, if the sink can tell.
    int (*finalize)(void *sink, char *err, std::size_t cap);
    // Releases whatever open/add_* created without finalising (set-up failure).
    void (*abandon)(void *sink);
    // Undoes startup (MFShutdown, CoUninitialize).
    void (*shutdown)(void *sink);
    // Frees the state from create.
    void (*destroy)(void *sink);
    // After finalize: how many video frames the file holds from its start,
    // or -1 when the sink cannot tell (then a failed finalize means none).
    // A sink whose files survive a failed write (the Linux sink's fragmented
    // MP4) tells; without this entry the worker assumes none survive.
    int64_t (*frames_in_file)(void *sink) = nullptr;
};

const media_sink_ops &platform_media_sink();
