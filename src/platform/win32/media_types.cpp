#include "platform/win32/media_types.h"

#include <windows.h>

#include <mfapi.h>

namespace {
constexpr UINT32 kAacBytesPerSecond = 16000; // 128 kbit/s
constexpr UINT32 kPcmBitsPerSample = 16;

UINT64 pack(uint32_t high, uint32_t low) {
    return (static_cast<UINT64>(high) << 32) | low;
}

UINT64 frame_size(const video_stream_desc &d) {
    return pack(static_cast<uint32_t>(d.width), static_cast<uint32_t>(d.height));
}
UINT64 frame_rate(const video_stream_desc &d) {
    return pack(static_cast<uint32_t>(d.fps), 1);
}
} // namespace

void win32_fill_video_output_type(IMFMediaType *type, const video_stream_desc &desc) {
    type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    type->SetGUID(MF_MT_SUBTYPE, desc.hevc ? MFVideoFormat_HEVC : MFVideoFormat_H264);
    type->SetUINT32(MF_MT_AVG_BITRATE, desc.bitrate_bps);
    type->SetUINT64(MF_MT_FRAME_SIZE, frame_size(desc));
    type->SetUINT64(MF_MT_FRAME_RATE, frame_rate(desc));
    type->SetUINT64(MF_MT_PIXEL_ASPECT_RATIO, pack(1, 1));
    type->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive);
}

// No bit rate and no stride: the frame buffer goes in as it is, and RGB32
// gives the fourth byte of a pixel no meaning.
void win32_fill_video_input_type(IMFMediaType *type, const video_stream_desc &desc) {
    type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    type->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_RGB32);
    type->SetUINT64(MF_MT_FRAME_SIZE, frame_size(desc));
    type->SetUINT64(MF_MT_FRAME_RATE, frame_rate(desc));
    type->SetUINT64(MF_MT_PIXEL_ASPECT_RATIO, pack(1, 1));
    type->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive);
}

void win32_fill_audio_output_type(IMFMediaType *type) {
    type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
    type->SetGUID(MF_MT_SUBTYPE, MFAudioFormat_AAC);
    type->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, kPcmBitsPerSample);
    type->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, kAudioRate);
    type->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, kAudioChannels);
    type->SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, kAacBytesPerSecond);
}

void win32_fill_audio_input_type(IMFMediaType *type) {
    type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
    type->SetGUID(MF_MT_SUBTYPE, MFAudioFormat_PCM);
    type->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, kPcmBitsPerSample);
    type->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, kAudioRate);
    type->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, kAudioChannels);
    type->SetUINT32(MF_MT_AUDIO_BLOCK_ALIGNMENT, kAudioBytesPerFrame);
    type->SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, kAudioRate * kAudioBytesPerFrame);
}
