// Recording on Windows under Wine: the Media Foundation sink's set-up and
// its failure messages, and start/status/stop through the exports. Wine's
// Media Foundation cannot create this sink writer, so there a job takes the
// set-up-failure path: the worker ends at once with its message in the job,
// and the summary shows 0 frames.
#include <gtest/gtest.h>

#include <windows.h>

#include <mfapi.h>

#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "kestrova/screenrecorder.h"
#include "platform/media_sink.h"
#include "platform/win32/mf_streams.h"
#include "screenrecorder/job.h"
#include "support/files_win32.h"

namespace {

const std::regex kHresultMessage(R"(MFCreateSinkWriterFromURL failed: 0x[0-9a-f]{8})");

// Whether COM is initialised on the calling thread: a fresh CoInitializeEx
// answers S_FALSE then (and is undone at once).
bool com_initialised_here() {
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (SUCCEEDED(hr)) {
        CoUninitialize();
    }
    return hr != S_OK;
}

// Drives the sink as the worker does, on a thread of its own, and returns
// what open said (empty when it succeeded).
struct sink_run {
    int open_rc = -1;
    std::string open_error;
    bool com_after_shutdown = true;
};

sink_run run_sink(const std::string &path, bool gif) {
    sink_run r;
    std::thread([&] {
        const media_sink_ops &ops = platform_media_sink();
        void *sink = ops.create();
        ASSERT_NE(sink, nullptr);
        char err[kJobErrorSize] = {};
        ASSERT_EQ(ops.startup(sink, err, sizeof err), 0) << err;
        r.open_rc = ops.open(sink, path.c_str(), err, sizeof err);
        r.open_error = err;
        if (r.open_rc == 0) {
            // A writer that opened (real Windows): a short recording ends in
            // a finalised file.
            video_stream_desc video{false, 8000000u, 64, 48, 30};
            ASSERT_EQ(ops.add_video(sink, &video, err, sizeof err), 0) << err;
            if (!gif) {
                ASSERT_EQ(ops.add_audio(sink, err, sizeof err), 0) << err;
            }
            ASSERT_EQ(ops.begin(sink, err, sizeof err), 0) << err;
            std::string frame(64 * 48 * 4, '\x7f');
            std::string silence((kAudioRate / 30) * kAudioBytesPerFrame, '\0');
            for (int64_t i = 0; i < 10; ++i) {
                const bgra_picture f{reinterpret_cast<const uint8_t *>(frame.data()), 64 * 4, false};
                EXPECT_NE(ops.write_video(sink, &f, i, i * 333333, 333333), sink_write::failed);
                if (!gif) {
                    const auto *s = reinterpret_cast<const uint8_t *>(silence.data());
                    EXPECT_NE(ops.write_audio(sink, s, silence.size(), i, i * 333333, 333333),
                              sink_write::failed);
                }
            }
            EXPECT_EQ(ops.finalize(sink, err, sizeof err), 0) << err;
        } else {
            ops.abandon(sink);
        }
        ops.shutdown(sink);
        r.com_after_shutdown = com_initialised_here();
        ops.destroy(sink);
    }).join();
    return r;
}

TEST(MediaFoundationSink, AWriterThatCannotBeCreatedIsReportedWithItsResult) {
    win32_temp_dir dir;
    // A folder that does not exist: no writer anywhere can open the file.
    const sink_run r = run_sink(dir.file("missing\\clip.mp4"), false);
    EXPECT_NE(r.open_rc, 0);
    EXPECT_TRUE(std::regex_match(r.open_error, kHresultMessage)) << r.open_error;
    EXPECT_FALSE(r.com_after_shutdown) << "shutdown did not balance the start-up's CoInitializeEx";
}

TEST(MediaFoundationSink, OpensAnMp4OrReportsWhyNot) {
    win32_temp_dir dir;
    for (bool gif : {false, true}) {
        const std::string path = dir.file(gif ? "video-only.mp4" : "clip.mp4");
        const sink_run r = run_sink(path, gif);
        if (r.open_rc == 0) {
            EXPECT_TRUE(file_exists(path));
        } else {
            // Wine: the writer is refused with its HRESULT in the message.
            EXPECT_TRUE(std::regex_match(r.open_error, kHresultMessage)) << r.open_error;
        }
        EXPECT_FALSE(r.com_after_shutdown);
    }
}

// --- Media types ---------------------------------------------------------------

// One attribute a type must carry, with its exact value.
struct attribute {
    const GUID *key;
    enum { guid, u32, u64 } kind;
    const GUID *guid_value;
    UINT64 value;
};

UINT64 packed(uint32_t high, uint32_t low) {
    return (static_cast<UINT64>(high) << 32) | low;
}

// The type holds exactly `want`: every attribute with its value, nothing else
// (no stride, no bit rate where none belongs).
void expect_exactly(IMFMediaType *type, const std::vector<attribute> &want) {
    UINT32 count = 0;
    ASSERT_TRUE(SUCCEEDED(type->GetCount(&count)));
    EXPECT_EQ(count, want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        const attribute &a = want[i];
        SCOPED_TRACE(i);
        if (a.kind == attribute::guid) {
            GUID g{};
            ASSERT_TRUE(SUCCEEDED(type->GetGUID(*a.key, &g)));
            EXPECT_TRUE(IsEqualGUID(g, *a.guid_value));
        } else if (a.kind == attribute::u32) {
            UINT32 v = 0;
            ASSERT_TRUE(SUCCEEDED(type->GetUINT32(*a.key, &v)));
            EXPECT_EQ(v, a.value);
        } else {
            UINT64 v = 0;
            ASSERT_TRUE(SUCCEEDED(type->GetUINT64(*a.key, &v)));
            EXPECT_EQ(v, a.value);
        }
    }
}

class MediaFoundationStreams : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(MFStartup(MF_VERSION, MFSTARTUP_FULL)));
        ASSERT_TRUE(SUCCEEDED(MFCreateMediaType(&type_)));
    }
    void TearDown() override {
        if (type_ != nullptr) {
            type_->Release();
        }
        MFShutdown();
    }
    IMFMediaType *type_ = nullptr;
};

TEST_F(MediaFoundationStreams, VideoTypesCarryCodecBitRateSizeRateSquarePixelsProgressive) {
    const video_stream_desc cases[] = {
        {false, 8000000u, 1000, 598, 30},
        {true, 4294967000u, 1920, 1080, 120},
        {false, 101000u, 16, 16, 1},
    };
    for (const video_stream_desc &d : cases) {
        SCOPED_TRACE(d.width);
        const UINT64 size = packed(static_cast<uint32_t>(d.width), static_cast<uint32_t>(d.height));
        const UINT64 rate = packed(static_cast<uint32_t>(d.fps), 1);
        type_->DeleteAllItems();
        win32_fill_video_output_type(type_, d);
        expect_exactly(type_, {
                                  {&MF_MT_MAJOR_TYPE, attribute::guid, &MFMediaType_Video, 0},
                                  {&MF_MT_SUBTYPE, attribute::guid,
                                   d.hevc ? &MFVideoFormat_HEVC : &MFVideoFormat_H264, 0},
                                  {&MF_MT_AVG_BITRATE, attribute::u32, nullptr, d.bitrate_bps},
                                  {&MF_MT_FRAME_SIZE, attribute::u64, nullptr, size},
                                  {&MF_MT_FRAME_RATE, attribute::u64, nullptr, rate},
                                  {&MF_MT_PIXEL_ASPECT_RATIO, attribute::u64, nullptr, packed(1, 1)},
                                  {&MF_MT_INTERLACE_MODE, attribute::u32, nullptr, 2},
                              });
        type_->DeleteAllItems();
        win32_fill_video_input_type(type_, d);
        expect_exactly(type_, {
                                  {&MF_MT_MAJOR_TYPE, attribute::guid, &MFMediaType_Video, 0},
                                  {&MF_MT_SUBTYPE, attribute::guid, &MFVideoFormat_RGB32, 0},
                                  {&MF_MT_FRAME_SIZE, attribute::u64, nullptr, size},
                                  {&MF_MT_FRAME_RATE, attribute::u64, nullptr, rate},
                                  {&MF_MT_PIXEL_ASPECT_RATIO, attribute::u64, nullptr, packed(1, 1)},
                                  {&MF_MT_INTERLACE_MODE, attribute::u32, nullptr, 2},
                              });
    }
}

TEST_F(MediaFoundationStreams, AudioTypesAreAacAt128KbitFedWith16BitStereoPcm) {
    win32_fill_audio_output_type(type_);
    expect_exactly(type_, {
                              {&MF_MT_MAJOR_TYPE, attribute::guid, &MFMediaType_Audio, 0},
                              {&MF_MT_SUBTYPE, attribute::guid, &MFAudioFormat_AAC, 0},
                              {&MF_MT_AUDIO_BITS_PER_SAMPLE, attribute::u32, nullptr, 16},
                              {&MF_MT_AUDIO_SAMPLES_PER_SECOND, attribute::u32, nullptr, 44100},
                              {&MF_MT_AUDIO_NUM_CHANNELS, attribute::u32, nullptr, 2},
                              {&MF_MT_AUDIO_AVG_BYTES_PER_SECOND, attribute::u32, nullptr, 16000},
                          });
    type_->DeleteAllItems();
    win32_fill_audio_input_type(type_);
    expect_exactly(type_, {
                              {&MF_MT_MAJOR_TYPE, attribute::guid, &MFMediaType_Audio, 0},
                              {&MF_MT_SUBTYPE, attribute::guid, &MFAudioFormat_PCM, 0},
                              {&MF_MT_AUDIO_BITS_PER_SAMPLE, attribute::u32, nullptr, 16},
                              {&MF_MT_AUDIO_SAMPLES_PER_SECOND, attribute::u32, nullptr, 44100},
                              {&MF_MT_AUDIO_NUM_CHANNELS, attribute::u32, nullptr, 2},
                              {&MF_MT_AUDIO_BLOCK_ALIGNMENT, attribute::u32, nullptr, 4},
                              {&MF_MT_AUDIO_AVG_BYTES_PER_SECOND, attribute::u32, nullptr, 176400},
                          });
}

// --- Samples -------------------------------------------------------------------

// A sink writer that keeps the one sample it is handed, so that the test can
// look into it. Under Wine no real writer can be made; the buffers and
// samples are Media Foundation's own.
class keeping_writer final : public IMFSinkWriter {
  public:
    ~keeping_writer() { drop(); }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **out) override {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, __uuidof(IMFSinkWriter))) {
            *out = this;
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE AddStream(IMFMediaType *, DWORD *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetInputMediaType(DWORD, IMFMediaType *, IMFAttributes *) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE BeginWriting() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE WriteSample(DWORD index, IMFSample *sample) override {
        drop();
        ++writes;
        stream = index;
        kept = sample;
        kept->AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SendStreamTick(DWORD, LONGLONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE PlaceMarker(DWORD, void *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE NotifyEndOfSegment(DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Flush(DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Finalize() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetServiceForStream(DWORD, REFGUID, REFIID, void **) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetStatistics(DWORD, MF_SINK_WRITER_STATISTICS *) override { return E_NOTIMPL; }

    void drop() {
        if (kept != nullptr) {
            kept->Release();
            kept = nullptr;
        }
    }
    int writes = 0;
    DWORD stream = 0;
    IMFSample *kept = nullptr;
};

TEST_F(MediaFoundationStreams, ASampleIsOneCopyStampedAndReleasedOnceWritten) {
    struct {
        DWORD stream;
        std::size_t bytes;
        int64_t time_hns;
        int64_t duration_hns;
    } const cases[] = {
        {0, 64 * 48 * 4, 0, 333333},                 // first video frame at 30 fps
        {1, 367 * 4, 41 * 83333, 83333},             // a silence chunk at 120 fps
        {0, 1000 * 598 * 4, 7 * 10000000, 10000000}, // 1 fps
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.bytes);
        std::vector<uint8_t> data(c.bytes);
        for (std::size_t i = 0; i < data.size(); ++i) {
            data[i] = static_cast<uint8_t>(i * 7 + 3);
        }
        keeping_writer writer;
        ASSERT_EQ(win32_write_sample(&writer, c.stream, data.data(), data.size(), c.time_hns, c.duration_hns),
                  sink_write::ok);
        ASSERT_EQ(writer.writes, 1);
        EXPECT_EQ(writer.stream, c.stream);
        IMFSample *sample = writer.kept;
        ASSERT_NE(sample, nullptr);
        LONGLONG time = -1, duration = -1;
        EXPECT_TRUE(SUCCEEDED(sample->GetSampleTime(&time)));
        EXPECT_TRUE(SUCCEEDED(sample->GetSampleDuration(&duration)));
        EXPECT_EQ(time, c.time_hns);
        EXPECT_EQ(duration, c.duration_hns);
        DWORD count = 0;
        EXPECT_TRUE(SUCCEEDED(sample->GetBufferCount(&count)));
        ASSERT_EQ(count, 1u);
        IMFMediaBuffer *buffer = nullptr;
        ASSERT_TRUE(SUCCEEDED(sample->GetBufferByIndex(0, &buffer)));
        DWORD length = 0;
        EXPECT_TRUE(SUCCEEDED(buffer->GetCurrentLength(&length)));
        EXPECT_EQ(length, c.bytes);
        BYTE *bytes = nullptr;
        ASSERT_TRUE(SUCCEEDED(buffer->Lock(&bytes, nullptr, nullptr)));
        EXPECT_EQ(std::memcmp(bytes, data.data(), data.size()), 0);
        buffer->Unlock();

        // Only the writer's and this test's references are left: the sample
        // and the buffer were released by the code that made them.
        writer.kept = nullptr;
        EXPECT_EQ(sample->Release(), 0u);
        EXPECT_EQ(buffer->Release(), 0u);
    }
}

TEST_F(MediaFoundationStreams, DataLargerThanABufferCanHoldFailsWithoutTouchingIt) {
    keeping_writer writer;
    const uint8_t byte = 0;
    // The size alone decides: nothing is read from the data.
    EXPECT_EQ(win32_write_sample(&writer, 0, &byte, std::size_t{1} << 32, 0, 333333), sink_write::failed);
    EXPECT_EQ(writer.writes, 0);
}

// --- Exports ---------------------------------------------------------------------

const std::regex kStatus(
    R"(\{"progress_percent":0,"elapsed_s":[0-9]+\.[0-9]{2},"size_mb":[0-9]+\.[0-9]{2},"dropped_frames":[0-9]+\})");

std::string doubled_backslashes(const std::string &path) {
    std::string out;
    for (char c : path) {
        out += c;
        if (c == '\\') {
            out += '\\';
        }
    }
    return out;
}

// start, status and stop answer with well-formed texts for an MP4 and a GIF
// job; under Wine the worker's set-up fails, so the summary has no frames
// and the GIF job converts nothing.
TEST(RecordingExports, StartStatusStopGiveWellFormedTexts) {
    win32_temp_dir dir;
    struct {
        const char *file;
        const char *options;
    } const jobs[] = {
        {"clip.mp4", nullptr},
        {"hevc.mp4", "{\"fps\":60,\"codec\":\"hevc\",\"region\":{\"x\":0,\"y\":0,\"w\":101,\"h\":99}}"},
        {"anim.gif", "{\"gif\":true}"},
    };
    for (const auto &j : jobs) {
        SCOPED_TRACE(j.file);
        const std::string path = dir.file(j.file);
        int32_t job = 0;
        ASSERT_EQ(screenrecorder_start(path.c_str(), j.options, &job), 0) << screenrecorder_last_error();
        ASSERT_GE(job, 1);
        ASSERT_LE(job, kMaxJobs);

        const char *status = nullptr;
        ASSERT_EQ(screenrecorder_status(job, &status), 0);
        EXPECT_TRUE(std::regex_match(status, kStatus)) << status;
        Sleep(300);
        ASSERT_EQ(screenrecorder_status(job, &status), 0);
        EXPECT_TRUE(std::regex_match(status, kStatus)) << status;

        const char *summary = nullptr;
        ASSERT_EQ(screenrecorder_stop(job, &summary), 0) << screenrecorder_last_error();
        ASSERT_NE(summary, nullptr);
        const std::string text = summary;
        const std::string head = "{\"output\":\"" + doubled_backslashes(path) + "\",\"size_mb\":";
        EXPECT_EQ(text.compare(0, head.size(), head), 0) << text;
        EXPECT_TRUE(std::regex_match(text.substr(std::min(head.size(), text.size())),
                                     std::regex(R"([0-9]+\.[0-9]{2},"duration_s":[0-9]+\.[0-9]{2},)"
                                                R"("frames":[0-9]+,"dropped_frames":[0-9]+\})")))
            << text;
        // The worker has ended (stop waited for it) and its slot keeps what
        // it wrote: a writer that could not be made left its message there.
        const recording_job &slot = g_jobs[job - 1];
        if (slot.error[0] != '\0') {
            EXPECT_NE(text.find("\"duration_s\":0.00,\"frames\":0,\"dropped_frames\":0}"), std::string::npos)
                << text;
            EXPECT_TRUE(std::regex_match(slot.error, kHresultMessage)) << slot.error;
        }
        // The slot is free again: the same number is no longer a job.
        EXPECT_EQ(screenrecorder_stop(job, nullptr), -1);
        EXPECT_EQ(std::string(screenrecorder_last_error()), "invalid job handle " + std::to_string(job));
    }
}

TEST(RecordingExports, DisplayOneIsNoDisplayUnderWine) {
    win32_temp_dir dir;
    const std::string path = dir.file("second.mp4");
    int32_t job = -7;
    EXPECT_EQ(screenrecorder_start(path.c_str(), "{\"display\":1}", &job), -2);
    EXPECT_STREQ(screenrecorder_last_error(), "display index 1 out of range");
    EXPECT_EQ(job, -7);
    EXPECT_FALSE(file_exists(path));
}

} // namespace
