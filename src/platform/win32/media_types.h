// The four media types of the Media Foundation sink, attribute by attribute:
// video out (H.264 or HEVC) and in (uncompressed 32-bit frames), audio out
// (AAC) and in (16-bit stereo PCM). Each fills a type fresh from
// MFCreateMediaType; the setters' results are not examined.
#pragma once

#include <mfobjects.h>

#include "platform/media_sink.h"

void win32_fill_video_output_type(IMFMediaType *type, const video_stream_desc &desc);
void win32_fill_video_input_type(IMFMediaType *type, const video_stream_desc &desc);
void win32_fill_audio_output_type(IMFMediaType *type);
void win32_fill_audio_input_type(IMFMediaType *type);
