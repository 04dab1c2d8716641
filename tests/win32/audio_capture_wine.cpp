// The WASAPI capture under Wine, with a private PulseAudio server behind
// Wine's audio driver (tests/win32/with-pulse starts it): tones played into
// the server come out of audio_capture_read at the track's format, quiet
// time reads as silence at the clock's pace, COM is left as it was found,
// and a capture whose server disappears or never was there fails softly.
//
// Wine's driver cannot capture loopback (what a render endpoint plays), so
// the output's tone is captured through the null sink's monitor made the
// default input; the loopback test checks what Wine does instead.
#include <gtest/gtest.h>

#include <windows.h>

#include <audioclient.h>
#include <mmdeviceapi.h>
#include <objbase.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio_capture.h"
#include "screenrecorder/options.h"
#include "support/pulse_wine_win32.h"

namespace {

#define REQUIRE_PULSE()                                                                                      \
    do {                                                                                                     \
        if (pulse_dir().empty()) {                                                                           \
            GTEST_SKIP() << "pulseaudio is not installed (run through tests/win32/with-pulse)";              \
        }                                                                                                    \
    } while (0)

void run_shell(const std::string &command) {
    ASSERT_TRUE(shell_run(command)) << command;
}

// Reads the capture every 10 ms for `ms`, as the worker's loop would.
std::vector<int16_t> read_for(audio_capture *cap, int ms) {
    std::vector<int16_t> all, chunk(4410 * 2);
    const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(ms);
    while (GetTickCount64() < end) {
        const std::size_t n = audio_capture_read(cap, chunk.data(), 4410);
        all.insert(all.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n * 2));
        Sleep(10);
    }
    return all;
}

// Wine's driver starts a recording stream on the server's monitor source
// about a second after the client starts it; what is played before that is
// not heard. Tests that play into the output let that second pass first.
void let_the_stream_start(audio_capture *cap) {
    read_for(cap, 1500);
}

TEST(WineAudioCapture, InputToneArrivesAtTheTrackFormat) {
    REQUIRE_PULSE();
    run_shell("pactl set-default-source mic");
    audio_capture *cap = audio_capture_open(audio_mic);
    ASSERT_NE(cap, nullptr);
    const shell_job feeder = feed_mic(440, 1.5);
    const auto sound = read_for(cap, 2000);
    const int64_t latency = audio_capture_latency_frames(cap);
    audio_capture_close(cap);
    EXPECT_TRUE(finish(feeder));

    const tone_report r = analyse(sound);
    EXPECT_NEAR(r.frequency, 440, 10);
    EXPECT_NEAR(r.rms, kHalfScaleRms, kHalfScaleRms * 0.1);
    EXPECT_TRUE(r.sides_equal) << "a mono input is played on both sides";
    EXPECT_GT(latency, 0);
    EXPECT_LT(latency, 44100);
}

TEST(WineAudioCapture, OutputToneArrivesThroughTheMonitor) {
    // The monitor of the null sink as the default input: a 48000 Hz stereo
    // float stream in Wine, resampled to 44100 Hz on the way.
    REQUIRE_PULSE();
    run_shell("pactl set-default-source speakers.monitor");
    audio_capture *cap = audio_capture_open(audio_mic);
    ASSERT_NE(cap, nullptr);
    let_the_stream_start(cap);
    const shell_job player = play_tone(1000, 1.5);
    const auto sound = read_for(cap, 2000);
    audio_capture_close(cap);
    EXPECT_TRUE(finish(player));
    run_shell("pactl set-default-source mic");

    const tone_report r = analyse(sound);
    EXPECT_NEAR(r.frequency, 1000, 10);
    EXPECT_NEAR(r.rms, kHalfScaleRms, kHalfScaleRms * 0.1);
}

// What Wine's driver answers when asked for a loopback capture client on
// the default render endpoint: S_OK where it can capture loopback.
HRESULT loopback_support() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    HRESULT hr = E_FAIL;
    IMMDeviceEnumerator *en = nullptr;
    IMMDevice *dev = nullptr;
    IAudioClient *client = nullptr;
    IAudioCaptureClient *capture = nullptr;
    WAVEFORMATEX *mix = nullptr;
    if (SUCCEEDED(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                                   __uuidof(IMMDeviceEnumerator), reinterpret_cast<void **>(&en))) &&
        SUCCEEDED(en->GetDefaultAudioEndpoint(eRender, eConsole, &dev)) &&
        SUCCEEDED(
            dev->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, reinterpret_cast<void **>(&client))) &&
        SUCCEEDED(client->GetMixFormat(&mix)) &&
        SUCCEEDED(hr = client->Initialize(AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_LOOPBACK, 10000000, 0,
                                          mix, nullptr))) {
        hr = client->GetService(__uuidof(IAudioCaptureClient), reinterpret_cast<void **>(&capture));
    }
    CoTaskMemFree(mix);
    for (IUnknown *u : std::initializer_list<IUnknown *>{capture, client, dev, en}) {
        if (u != nullptr) {
            u->Release();
        }
    }
    CoUninitialize();
    return hr;
}

TEST(WineAudioCapture, LoopbackOfTheOutput) {
    REQUIRE_PULSE();
    const HRESULT support = loopback_support();
    audio_capture *cap = audio_capture_open(audio_system);
    if (support != S_OK) {
        // The loopback stream is the only source of "system": nothing opens,
        // and the job records silence.
        EXPECT_EQ(cap, nullptr);
        audio_capture_close(cap);
        GTEST_SKIP() << "Wine's audio driver cannot capture loopback: GetService(IAudioCaptureClient) on the "
                        "render endpoint initialised with AUDCLNT_STREAMFLAGS_LOOPBACK gives 0x"
                     << std::hex << static_cast<unsigned long>(support);
    }
    ASSERT_NE(cap, nullptr);
    let_the_stream_start(cap);
    const shell_job player = play_tone(1000, 1.5);
    const auto sound = read_for(cap, 2000);
    audio_capture_close(cap);
    EXPECT_TRUE(finish(player));
    const tone_report r = analyse(sound);
    EXPECT_NEAR(r.frequency, 1000, 10);
    EXPECT_NEAR(r.rms, kHalfScaleRms, kHalfScaleRms * 0.1);
}

TEST(WineAudioCapture, BothMixesWhatItCanOpen) {
    // The input's 440 Hz and the output's 1 kHz at once. Where loopback
    // cannot be opened (Wine), "both" is the input alone.
    REQUIRE_PULSE();
    run_shell("pactl set-default-source mic");
    const bool loopback = loopback_support() == S_OK;
    audio_capture *cap = audio_capture_open(audio_both);
    ASSERT_NE(cap, nullptr);
    if (loopback) {
        let_the_stream_start(cap);
    }
    const shell_job feeder = feed_mic(440, 1.5);
    const shell_job player = play_tone(1000, 1.5);
    const auto sound = read_for(cap, 2000);
    audio_capture_close(cap);
    EXPECT_TRUE(finish(feeder));
    EXPECT_TRUE(finish(player));

    const tone_report r = analyse(sound);
    EXPECT_NEAR(r.frequency, 440, 10);
    if (loopback) {
        const std::size_t frames = sound.size() / 2;
        EXPECT_GT(goertzel_power(sound.data(), frames, 1000), goertzel_power(sound.data(), frames, 440) / 10);
    } else {
        EXPECT_NEAR(r.rms, kHalfScaleRms, kHalfScaleRms * 0.1);
    }
}

TEST(WineAudioCapture, QuietInputReadsAsSilenceAtTheClocksPace) {
    // Nothing feeds the input: what is read is silence, and about as much
    // of it as time passes (less the latency and the wait for packets).
    REQUIRE_PULSE();
    run_shell("pactl set-default-source mic");
    audio_capture *cap = audio_capture_open(audio_mic);
    ASSERT_NE(cap, nullptr);
    const auto sound = read_for(cap, 1500);
    audio_capture_close(cap);
    const std::size_t frames = sound.size() / 2;
    EXPECT_GT(frames, 44100u * 9 / 10);
    EXPECT_LT(frames, 44100u * 16 / 10);
    EXPECT_EQ(std::count(sound.begin(), sound.end(), int16_t{0}), static_cast<std::ptrdiff_t>(sound.size()));
}

// On a thread of its own: a COM initialisation for `apartment` (0: none),
// then (when `capture` is set) a capture opened, read for a moment and
// closed, then what a second initialisation answers, which tells the
// thread's COM state.
struct com_run {
    bool opened;
    std::size_t frames;
    HRESULT after;
};

com_run run_on_thread(DWORD apartment, bool capture) {
    com_run r{false, 0, E_FAIL};
    std::thread t([&] {
        if (apartment != 0) {
            CoInitializeEx(nullptr, apartment);
        }
        if (capture) {
            audio_capture *cap = audio_capture_open(audio_mic);
            r.opened = cap != nullptr;
            r.frames = read_for(cap, 500).size() / 2;
            audio_capture_close(cap);
        }
        r.after = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        if (SUCCEEDED(r.after)) {
            CoUninitialize();
        }
        if (apartment != 0) {
            CoUninitialize();
        }
    });
    t.join();
    return r;
}

TEST(WineAudioCapture, WorksInEveryApartmentAndLeavesComAsItFoundIt) {
    REQUIRE_PULSE();
    run_shell("pactl set-default-source mic");
    const DWORD apartments[] = {0, COINIT_MULTITHREADED, COINIT_APARTMENTTHREADED};
    for (DWORD apartment : apartments) {
        SCOPED_TRACE(testing::Message() << "apartment " << apartment);
        const com_run with = run_on_thread(apartment, true);
        const com_run without = run_on_thread(apartment, false);
        EXPECT_TRUE(with.opened);
        EXPECT_GT(with.frames, 0u);
        EXPECT_EQ(with.after, without.after);
    }
    // A thread without COM has none again once the capture is closed.
    EXPECT_EQ(run_on_thread(0, true).after, S_OK);
}

// How many recording streams the server has open (each capture of the
// input holds one while it lives).
int server_record_streams() {
    const std::string file = pulse_dir() + "/outputs";
    run_shell("pactl list short source-outputs | wc -l > " + file);
    FILE *f = std::fopen(("Z:" + file).c_str(), "r");
    int n = -1;
    if (f != nullptr) {
        if (std::fscanf(f, "%d", &n) != 1) {
            n = -1;
        }
        std::fclose(f);
    }
    return n;
}

TEST(WineAudioCapture, OpenAndCloseHoldNothing) {
    // Twenty captures one after the other leave no stream on the server
    // and no handle in the process behind them.
    REQUIRE_PULSE();
    auto cycle = [] {
        audio_capture *cap = audio_capture_open(audio_both);
        EXPECT_NE(cap, nullptr);
        read_for(cap, 50);
        audio_capture_close(cap);
    };
    cycle(); // Wine loads its audio driver once
    DWORD before = 0, after = 0;
    GetProcessHandleCount(GetCurrentProcess(), &before);
    for (int i = 0; i < 20; ++i) {
        cycle();
    }
    GetProcessHandleCount(GetCurrentProcess(), &after);
    EXPECT_LE(after, before + 2) << "handles before " << before << ", after 20 captures " << after;
    EXPECT_EQ(server_record_streams(), 0);
}

TEST(NoAudioServer, EveryModeOpensToNothing) {
    // Wine's driver finds no server (and no other sound device): nothing
    // opens, quickly, and the calls that take a capture accept null.
    const char *state = std::getenv("KSR_TEST_PULSE");
    if (state == nullptr || std::string(state) != "none") {
        GTEST_SKIP() << "runs as win32_audio_capture_no_server";
    }
    const int32_t modes[] = {audio_mic, audio_system, audio_both, audio_none, 7};
    for (int32_t mode : modes) {
        SCOPED_TRACE(mode);
        const ULONGLONG start = GetTickCount64();
        audio_capture *cap = audio_capture_open(mode);
        EXPECT_EQ(cap, nullptr);
        EXPECT_LT(GetTickCount64() - start, 3000u);
        audio_capture_close(cap);
    }
    int16_t buf[8] = {};
    EXPECT_EQ(audio_capture_read(nullptr, buf, 2), 0u);
    EXPECT_EQ(audio_capture_latency_frames(nullptr), 0);
}

TEST(ServerGoesAway, ReadsGoOnWithoutSound) {
    // Wine's driver does not report the server's end as a lost device: its
    // stream goes on, empty. What comes out is silence at the clock's pace,
    // and the capture closes cleanly.
    REQUIRE_PULSE();
    run_shell("pactl set-default-source speakers.monitor");
    audio_capture *cap = audio_capture_open(audio_mic);
    ASSERT_NE(cap, nullptr);
    let_the_stream_start(cap);
    const shell_job player = play_tone(1000, 5);
    const auto playing = read_for(cap, 1000);
    run_shell("kill $(cat " + pulse_dir() + "/pid)");
    read_for(cap, 500);
    const auto later = read_for(cap, 1000);
    audio_capture_close(cap);
    finish(player);

    EXPECT_NEAR(analyse(playing).frequency, 1000, 10);
    EXPECT_LT(later.size() / 2, 44100u * 3 / 2);
    EXPECT_EQ(std::count(later.begin(), later.end(), int16_t{0}), static_cast<std::ptrdiff_t>(later.size()));
}

} // namespace
