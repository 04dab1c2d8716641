// The job table through start, status and stop: numbering, the full table,
// reuse of the lowest free slot, the lifetime of the summary text, job
// numbers that name no job, path limits and the shape of the result texts.
// The jobs are real (a real worker and the platform's media writer) and
// tiny: a 16 x 16 region.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "kestrova/screenrecorder.h"
#include "screenrecorder/job.h"
#include "support/temp_dir.h"

namespace {

const char kSmall[] = R"({"region":{"x":0,"y":0,"w":16,"h":16}})";
const char kSmallGif[] = R"({"gif":true,"region":{"x":0,"y":0,"w":16,"h":16}})";

const std::regex kStatusShape(
    R"(^\{"progress_percent":0,"elapsed_s":\d+\.\d\d,"size_mb":\d+\.\d\d,"dropped_frames":\d+\}$)");
const std::regex kSummaryShape(
    R"(^\{"output":"[^"]*","size_mb":\d+\.\d\d,"duration_s":\d+\.\d\d,"frames":\d+,"dropped_frames":\d+\}$)");

// "<prefix><n>.mp4", formatted without string concatenation (which trips a
// false -Wrestrict of the cross compiler at -O3).
std::string numbered(const char *prefix, int32_t n) {
    char name[64];
    std::snprintf(name, sizeof name, "%s%d.mp4", prefix, static_cast<int>(n));
    return name;
}

class JobTableTest : public ::testing::Test {
  protected:
    // Every test leaves the table as it found it: all slots free.
    void TearDown() override {
        for (int32_t number = 1; number <= kMaxJobs; ++number) {
            screenrecorder_stop(number, nullptr);
        }
    }

    int32_t start(const std::string &name, const char *options = kSmall) {
        int32_t job = 0;
        const std::string path = dir_.file(name);
        EXPECT_EQ(screenrecorder_start(path.c_str(), options, &job), 0) << screenrecorder_last_error();
        return job;
    }

    std::string stop(int32_t job) {
        const char *text = nullptr;
        EXPECT_EQ(screenrecorder_stop(job, &text), 0) << screenrecorder_last_error();
        return text == nullptr ? std::string() : std::string(text);
    }

    temp_dir dir_;
};

TEST_F(JobTableTest, NumbersRunOneToEightAndTheNinthStartFails) {
    for (int32_t expected = 1; expected <= kMaxJobs; ++expected) {
        EXPECT_EQ(start(numbered("job", expected)), expected);
    }
    int32_t job = -7;
    const std::string ninth = dir_.file("ninth.mp4");
    EXPECT_EQ(screenrecorder_start(ninth.c_str(), kSmall, &job), -3);
    EXPECT_STREQ(screenrecorder_last_error(), "maximum concurrent recording jobs reached (8)");
    EXPECT_EQ(job, -7);
    // The display is checked before the slots: a bad index wins over a full table.
    EXPECT_EQ(screenrecorder_start(ninth.c_str(), R"({"display":99})", &job), -2);
    EXPECT_STREQ(screenrecorder_last_error(), "display index 99 out of range");
}

TEST_F(JobTableTest, StartTakesTheLowestFreeSlot) {
    for (int32_t i = 1; i <= 6; ++i) {
        start(numbered("a", i));
    }
    stop(5);
    stop(2);
    stop(1);
    EXPECT_EQ(start("b1.mp4"), 1);
    EXPECT_EQ(start("b2.mp4"), 2);
    EXPECT_EQ(start("b5.mp4"), 5);
    EXPECT_EQ(start("b7.mp4"), 7);
}

TEST_F(JobTableTest, SummaryStaysReadableUntilItsSlotIsClaimedAgain) {
    start("one.mp4");
    start("two.mp4");
    start("three.mp4");
    const char *summary = nullptr;
    ASSERT_EQ(screenrecorder_stop(3, &summary), 0);
    const std::string first = summary;
    EXPECT_NE(first.find("three.mp4"), std::string::npos);
    stop(1);
    EXPECT_EQ(start("again.mp4"), 1); // a claim of another slot leaves it alone
    EXPECT_EQ(std::string(summary), first);
    EXPECT_EQ(start("four.mp4"), 3); // the claim of its own slot clears it
    EXPECT_STREQ(summary, "");
}

TEST_F(JobTableTest, NumbersThatNameNoJobAreRefused) {
    const int32_t job = start("only.mp4");
    ASSERT_EQ(job, 1);
    struct handle_case {
        int32_t number;
        const char *message;
    };
    const handle_case cases[] = {
        {0, "invalid job handle 0"},
        {-1, "invalid job handle -1"},
        {2, "invalid job handle 2"}, // a slot never claimed
        {9, "invalid job handle 9"},
        {INT32_MIN, "invalid job handle -2147483648"},
        {INT32_MAX, "invalid job handle 2147483647"},
    };
    for (const handle_case &c : cases) {
        SCOPED_TRACE(c.number);
        const char *text = "untouched";
        EXPECT_EQ(screenrecorder_status(c.number, &text), -1);
        EXPECT_STREQ(screenrecorder_last_error(), c.message);
        EXPECT_EQ(screenrecorder_stop(c.number, &text), -1);
        EXPECT_STREQ(screenrecorder_last_error(), c.message);
        EXPECT_STREQ(text, "untouched");
    }
    // The null pointer is checked before the number.
    EXPECT_EQ(screenrecorder_status(0, nullptr), -1);
    EXPECT_STREQ(screenrecorder_last_error(), "out_json pointer is NULL");

    // Once stopped, the number names no job, although its slot still reads it.
    stop(job);
    EXPECT_EQ(g_jobs[0].id, 1);
    const char *text = nullptr;
    EXPECT_EQ(screenrecorder_stop(job, &text), -1);
    EXPECT_STREQ(screenrecorder_last_error(), "invalid job handle 1");
    EXPECT_EQ(screenrecorder_status(job, &text), -1);
    EXPECT_STREQ(screenrecorder_last_error(), "invalid job handle 1");
    EXPECT_EQ(text, nullptr);
}

TEST_F(JobTableTest, StatusAndSummaryTextsAreWellFormed) {
    const int32_t job = start("shape.mp4");
    const char *status = nullptr;
    // Even before the worker has read the clock, elapsed time counts from the
    // start, not from the clock's origin.
    ASSERT_EQ(screenrecorder_status(job, &status), 0);
    double elapsed_s = -1.0;
    ASSERT_EQ(std::sscanf(status, "{\"progress_percent\":0,\"elapsed_s\":%lf", &elapsed_s), 1) << status;
    EXPECT_GE(elapsed_s, 0.0);
    EXPECT_LT(elapsed_s, 30.0);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(screenrecorder_status(job, &status), 0);
        EXPECT_TRUE(std::regex_match(status, kStatusShape)) << status;
        EXPECT_EQ(status, g_jobs[job - 1].status_json);
    }
    const std::string summary = stop(job);
    EXPECT_TRUE(std::regex_match(summary, kSummaryShape)) << summary;
    // A null out_json is allowed for stop.
    const int32_t again = start("null-out.mp4");
    EXPECT_EQ(screenrecorder_stop(again, nullptr), 0);
}

TEST_F(JobTableTest, JobWhoseFileCannotBeOpenedStaysListedAndSummarisesNothing) {
    int32_t job = 0;
    const std::string path = dir_.file("missing-dir/out.mp4");
    ASSERT_EQ(screenrecorder_start(path.c_str(), kSmall, &job), 0);
    // The worker ends by itself; the slot stays taken until stop.
    const char *status = nullptr;
    EXPECT_EQ(screenrecorder_status(job, &status), 0);
    EXPECT_TRUE(std::regex_match(status, kStatusShape)) << status;
    const std::string summary = stop(job);
    EXPECT_EQ(summary, "{\"output\":\"" + path +
                           "\",\"size_mb\":0.00,\"duration_s\":0.00,\"frames\":0,\"dropped_frames\":0}");
    EXPECT_NE(g_jobs[job - 1].error[0], '\0');
    EXPECT_EQ(g_jobs[job - 1].finished, 1);
}

TEST_F(JobTableTest, OutputPathsThatDoNotFitAreRefused) {
    // Lengths are counted in bytes without the terminator. A path that fits
    // may still be too long for the file system: then the job's set-up fails,
    // which start does not see.
    struct path_case {
        std::size_t length;
        bool gif;
        int32_t code;
    };
    const path_case cases[] = {
        {1023, false, 0}, {1024, false, -1}, {1100, false, -1},
        {1015, true, 0},  {1016, true, -1},  {1023, true, -1},
    };
    for (const path_case &c : cases) {
        SCOPED_TRACE(std::to_string(c.length) + (c.gif ? " gif" : " mp4"));
        const std::string base = dir_.file("");
        const std::string path = base + std::string(c.length - base.size(), 'p');
        ASSERT_EQ(path.size(), c.length);
        int32_t job = -7;
        const int32_t code = screenrecorder_start(path.c_str(), c.gif ? kSmallGif : kSmall, &job);
        EXPECT_EQ(code, c.code);
        if (code == 0) {
            const recording_job &slot = g_jobs[job - 1];
            EXPECT_EQ(std::string(slot.output_path), path);
            EXPECT_EQ(std::string(slot.temp_path), c.gif ? path + ".tmp.mp4" : std::string());
            stop(job);
        } else {
            EXPECT_STREQ(screenrecorder_last_error(), "output path too long");
            EXPECT_EQ(job, -7);
        }
    }
}

TEST(EncodeSize, RoundsDownToEvenAndAtLeastSixteen) {
    struct size_case {
        int32_t pixels;
        int32_t encoded;
    };
    const size_case cases[] = {{1001, 1000}, {599, 598}, {1365, 1364}, {3000, 3000}, {10, 16},
                               {17, 16},     {16, 16},   {18, 18},     {0, 16},      {-7, 16}};
    for (const size_case &c : cases) {
        EXPECT_EQ(encode_dimension(c.pixels), c.encoded) << c.pixels;
    }
}

TEST_F(JobTableTest, EncodeSizeComesFromTheRegionWhateverTheDisplay) {
    const int32_t job = start("big.mp4", R"({"region":{"x":5,"y":7,"w":1001,"h":599}})");
    EXPECT_EQ(g_jobs[job - 1].width, 1000);
    EXPECT_EQ(g_jobs[job - 1].height, 598);
    stop(job);
}

} // namespace
