// The streams of the Media Foundation sink: their four media types,
// attribute by attribute (video out, H.264 or HEVC, and in, uncompressed
// 32-bit frames; audio out, AAC, and in, 16-bit stereo PCM), and the road of
// one sample into the writer.
#pragma once

#include <cstddef>
#include <cstdint>

#include <windows.h>

#include <mfidl.h>

#include <mfreadwrite.h>

#include "platform/media_sink.h"

// Each fills a type fresh from MFCreateMediaType; the setters' results are
// not examined.
void win32_fill_video_output_type(IMFMediaType *type, const video_stream_desc &desc);
void win32_fill_video_input_type(IMFMediaType *type, const video_stream_desc &desc);
void win32_fill_audio_output_type(IMFMediaType *type);
void win32_fill_audio_input_type(IMFMediaType *type);

// One sample: a fresh buffer holding one copy of `bytes` of data, wrapped in
// a fresh sample stamped `time_hns` for `duration_hns`, handed to `writer` on
// `stream` and released. skipped when no buffer could be made or filled;
// failed when no sample could be made or the data cannot fit a buffer.
sink_write win32_write_sample(IMFSinkWriter *writer, DWORD stream, const uint8_t *data, std::size_t bytes,
                              int64_t time_hns, int64_t duration_hns);
