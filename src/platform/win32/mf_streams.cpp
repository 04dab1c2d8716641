#include "platform/win32/mf_streams.h"

#include <windows.h>

#include <mfapi.h>

#include <cstring>

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

// One sample: a fresh platform buffer holding one copy of the data, wrapped
// in a fresh sample, written, and released (sample, then buffer).
sink_write win32_write_sample(IMFSinkWriter *writer, DWORD stream, const uint8_t *data, std::size_t bytes,
                              int64_t time_hns, int64_t duration_hns) {
    // A Media Foundation buffer holds at most 4 GiB - 1 bytes; a larger frame
    // would be cut and the copy below would overrun the buffer.
    if (bytes > MAXDWORD) {
        return sink_write::failed;
    }
    const DWORD length = static_cast<DWORD>(bytes);
    IMFMediaBuffer *buffer = nullptr;
    if (FAILED(MFCreateMemoryBuffer(length, &buffer)) || buffer == nullptr) {
        return sink_write::skipped;
    }
    BYTE *target = nullptr;
    if (FAILED(buffer->Lock(&target, nullptr, nullptr)) || target == nullptr) {
        // A buffer that cannot be filled is left out like one never made.
        buffer->Release();
        return sink_write::skipped;
    }
    std::memcpy(target, data, bytes);
    buffer->Unlock();
    buffer->SetCurrentLength(length);

    IMFSample *sample = nullptr;
    if (FAILED(MFCreateSample(&sample)) || sample == nullptr) {
        buffer->Release();
        return sink_write::failed;
    }
    sample->AddBuffer(buffer);
    sample->SetSampleTime(time_hns);
    sample->SetSampleDuration(duration_hns);
    writer->WriteSample(stream, sample);
    sample->Release();
    buffer->Release();
    return sink_write::ok;
}
