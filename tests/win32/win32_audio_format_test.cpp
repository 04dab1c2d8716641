// An endpoint's mix format read as the converter's source: plain and
// extensible headers, float and integer samples, 24 valid bits in a 32-bit
// container, speaker positions, and the layouts that are refused.
#include <gtest/gtest.h>

#include <windows.h>

#include <mmreg.h>

#include "platform/win32/audio_format.h"

namespace {

// {tag-0000-0010-8000-00aa00389b71}, the sub-format of a WAVE tag.
GUID wave_subformat(uint32_t tag) {
    return GUID{tag, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
}

WAVEFORMATEXTENSIBLE extensible(GUID sub, WORD channels, DWORD rate, WORD bits, WORD valid, DWORD mask) {
    WAVEFORMATEXTENSIBLE w{};
    w.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    w.Format.nChannels = channels;
    w.Format.nSamplesPerSec = rate;
    w.Format.wBitsPerSample = bits;
    w.Format.nBlockAlign = static_cast<WORD>(channels * bits / 8);
    w.Format.nAvgBytesPerSec = rate * w.Format.nBlockAlign;
    w.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    w.Samples.wValidBitsPerSample = valid;
    w.dwChannelMask = mask;
    w.SubFormat = sub;
    return w;
}

WAVEFORMATEXTENSIBLE plain(WORD tag, WORD channels, DWORD rate, WORD bits) {
    WAVEFORMATEXTENSIBLE w{};
    w.Format.wFormatTag = tag;
    w.Format.nChannels = channels;
    w.Format.nSamplesPerSec = rate;
    w.Format.wBitsPerSample = bits;
    return w;
}

struct format_case {
    const char *name;
    WAVEFORMATEXTENSIBLE wf;
    bool readable;
    audio_source_format expected;
};

TEST(Win32AudioFormat, MixFormatsReadAsSources) {
    const format_case cases[] = {
        {"shared-mode float stereo",
         extensible(wave_subformat(WAVE_FORMAT_IEEE_FLOAT), 2, 48000, 32, 32, 0x3),
         true,
         {pcm_f32, 2, 48000, 0x3}},
        {"5.1 float keeps its positions",
         extensible(wave_subformat(WAVE_FORMAT_IEEE_FLOAT), 6, 48000, 32, 32, 0x60f),
         true,
         {pcm_f32, 6, 48000, 0x60f}},
        {"24 valid bits in 32",
         extensible(wave_subformat(WAVE_FORMAT_PCM), 2, 96000, 32, 24, 0x3),
         true,
         {pcm_s32, 2, 96000, 0x3}},
        {"packed 24-bit",
         extensible(wave_subformat(WAVE_FORMAT_PCM), 2, 44100, 24, 24, 0x3),
         true,
         {pcm_s24, 2, 44100, 0x3}},
        {"plain 16-bit mono", plain(WAVE_FORMAT_PCM, 1, 16000, 16), true, {pcm_s16, 1, 16000, 0}},
        {"plain float", plain(WAVE_FORMAT_IEEE_FLOAT, 2, 44100, 32), true, {pcm_f32, 2, 44100, 0}},
        {"8-bit", plain(WAVE_FORMAT_PCM, 2, 44100, 8), false, {}},
        {"64-bit float",
         extensible(wave_subformat(WAVE_FORMAT_IEEE_FLOAT), 2, 48000, 64, 64, 0x3),
         false,
         {}},
        {"compressed tag", plain(0x0055, 2, 44100, 16), false, {}},
        {"unknown sub-format",
         extensible(GUID{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}}, 2, 48000, 32, 32, 0x3),
         false,
         {}},
        {"extensible header too short",
         [] {
             auto w = extensible(wave_subformat(WAVE_FORMAT_IEEE_FLOAT), 2, 48000, 32, 32, 0x3);
             w.Format.cbSize = 0;
             return w;
         }(),
         false,
         {}},
    };
    for (const format_case &c : cases) {
        SCOPED_TRACE(c.name);
        audio_source_format got{};
        ASSERT_EQ(win32_audio_source_format(&c.wf.Format, &got), c.readable);
        if (!c.readable) {
            continue;
        }
        EXPECT_EQ(got.format, c.expected.format);
        EXPECT_EQ(got.channels, c.expected.channels);
        EXPECT_EQ(got.rate, c.expected.rate);
        EXPECT_EQ(got.speaker_mask, c.expected.speaker_mask);
    }
}

} // namespace
