// Eight jobs recording at once while the host polls them: every job keeps to
// its own slot and file. Run under ThreadSanitizer too, so it stays short.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <rapidjson/document.h>

#include "kestrova/screenrecorder.h"
#include "screenrecorder/job.h"
#include "support/ffprobe_posix.h"
#include "support/temp_dir.h"
#include "support/xvfb_posix.h"

namespace {

TEST(ConcurrentJobs, EightJobsRecordSideBySide) {
    temp_dir dir;
    no_display_scope no_display;
    struct running_job {
        std::string path;
        int32_t number;
        int width;
    };
    std::vector<running_job> jobs;
    for (int i = 0; i < kMaxJobs; ++i) {
        const int width = 16 + 2 * i; // a size of its own, to tell the files apart
        const std::string path = dir.file("job" + std::to_string(i) + ".mp4");
        const std::string options = std::string("{\"codec\":\"") + (i % 4 == 3 ? "hevc" : "h264") +
                                    "\",\"fps\":" + std::to_string(10 + 10 * i) +
                                    ",\"region\":{\"w\":" + std::to_string(width) + ",\"h\":16}}";
        int32_t number = 0;
        ASSERT_EQ(screenrecorder_start(path.c_str(), options.c_str(), &number), 0)
            << screenrecorder_last_error();
        jobs.push_back({path, number, width});
    }
    // The host polls while the workers write their counters, until every
    // job has produced a frame (set-up of eight encoders takes a while under
    // a sanitizer).
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (bool all_recording = false; !all_recording && std::chrono::steady_clock::now() < give_up;) {
        all_recording = true;
        for (const running_job &j : jobs) {
            const char *status = nullptr;
            ASSERT_EQ(screenrecorder_status(j.number, &status), 0);
            rapidjson::Document doc;
            doc.Parse(status);
            EXPECT_FALSE(doc.HasParseError()) << status;
            all_recording = all_recording && shared_load(g_jobs[j.number - 1].frames) > 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // Stop every job before looking at any result, so none outlives the test.
    std::vector<std::string> summaries;
    for (const running_job &j : jobs) {
        const char *text = nullptr;
        EXPECT_EQ(screenrecorder_stop(j.number, &text), 0);
        summaries.emplace_back(text == nullptr ? "" : text);
    }
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        const running_job &j = jobs[i];
        SCOPED_TRACE(j.path);
        rapidjson::Document doc;
        doc.Parse(summaries[i].c_str());
        ASSERT_FALSE(doc.HasParseError()) << summaries[i];
        EXPECT_EQ(std::string(doc["output"].GetString()), j.path);
        const int64_t frames = doc["frames"].GetInt64();
        EXPECT_GT(frames, 0) << g_jobs[j.number - 1].error;
        const probed_file f = probe_media(j.path);
        ASSERT_TRUE(f.ok);
        ASSERT_NE(f.video(), nullptr);
        EXPECT_EQ(f.video()->width, j.width);
        EXPECT_EQ(f.video()->frames, frames);
    }
}

} // namespace
