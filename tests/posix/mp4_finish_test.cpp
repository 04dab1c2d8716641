// The MP4 finisher on hand-made fragmented files: the regular file it makes
// points at the very bytes the fragments held, nothing of the fragments is
// left for a reader, and a file cut anywhere keeps its whole fragments.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "mp4_finish/mp4_finish.h"
#include "support/files.h"
#include "support/mp4_boxes.h"
#include "support/temp_dir.h"

namespace {

struct builder {
    std::vector<uint8_t> b;
    void u8(uint8_t v) { b.push_back(v); }
    void u32(uint32_t v) {
        for (int s = 24; s >= 0; s -= 8) {
            b.push_back(static_cast<uint8_t>(v >> s));
        }
    }
    void u64(uint64_t v) {
        u32(static_cast<uint32_t>(v >> 32));
        u32(static_cast<uint32_t>(v));
    }
    void type(const char *t) { b.insert(b.end(), t, t + 4); }
    std::size_t open(const char *t) {
        const std::size_t at = b.size();
        u32(0);
        type(t);
        return at;
    }
    std::size_t open_full(const char *t, uint8_t version, uint32_t flags) {
        const std::size_t at = open(t);
        u32((uint32_t{version} << 24) | flags);
        return at;
    }
    void close(std::size_t at) { patch(at, static_cast<uint32_t>(b.size() - at)); }
    void patch(std::size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) {
            b[at + static_cast<std::size_t>(i)] = static_cast<uint8_t>(v >> (24 - 8 * i));
        }
    }
    void zeros(std::size_t n) { b.insert(b.end(), n, 0); }
};

std::vector<uint8_t> video_sample(int n) {
    return std::vector<uint8_t>(static_cast<std::size_t>(5 + n), static_cast<uint8_t>('A' + n));
}
std::vector<uint8_t> audio_sample(int n) {
    return std::vector<uint8_t>(7, static_cast<uint8_t>('a' + n));
}

void track(builder &w, uint32_t id, uint32_t timescale, const char *handler, bool edit) {
    const std::size_t trak = w.open("trak");
    const std::size_t tkhd = w.open_full("tkhd", 0, 3);
    w.u32(0);
    w.u32(0);
    w.u32(id);
    w.zeros(4 + 4 + 60);
    w.close(tkhd);
    if (edit) {
        const std::size_t edts = w.open("edts");
        const std::size_t elst = w.open_full("elst", 0, 0);
        w.u32(1);
        w.u32(0); // open while recording
        w.u32(0);
        w.u32(0x00010000);
        w.close(elst);
        w.close(edts);
    }
    const std::size_t mdia = w.open("mdia");
    const std::size_t mdhd = w.open_full("mdhd", 0, 0);
    w.u32(0);
    w.u32(0);
    w.u32(timescale);
    w.u32(0);
    w.u32(0x55c40000);
    w.close(mdhd);
    const std::size_t hdlr = w.open_full("hdlr", 0, 0);
    w.u32(0);
    w.type(handler);
    w.zeros(13);
    w.close(hdlr);
    const std::size_t minf = w.open("minf");
    const std::size_t stbl = w.open("stbl");
    const std::size_t stsd = w.open_full("stsd", 0, 0);
    w.u32(1);
    const std::size_t entry = w.open("test");
    w.u32(0xC0FFEE);
    w.close(entry);
    w.close(stsd);
    for (const char *empty : {"stts", "stsc", "stco"}) {
        const std::size_t box = w.open_full(empty, 0, 0);
        w.u32(0);
        w.close(box);
    }
    w.close(stbl);
    w.close(minf);
    w.close(mdia);
    w.close(trak);
}

// ftyp, a moov with a video track (id 1, 30 per second, samples 1 tick,
// non-sync unless flagged) and an audio track (id 2, 1000 per second,
// samples 20 ticks of 7 bytes), then three fragments of three video and two
// audio samples; the first video sample of each fragment is a sync sample.
std::vector<uint8_t> fragmented_file(std::vector<std::size_t> *fragment_starts = nullptr) {
    builder w;
    const std::size_t ftyp = w.open("ftyp");
    w.type("isom");
    w.u32(0x200);
    w.close(ftyp);
    const std::size_t moov = w.open("moov");
    const std::size_t mvhd = w.open_full("mvhd", 0, 0);
    w.u32(0);
    w.u32(0);
    w.u32(1000);
    w.u32(0);
    w.zeros(80);
    w.close(mvhd);
    track(w, 1, 30, "vide", true);
    track(w, 2, 1000, "soun", false);
    const std::size_t mvex = w.open("mvex");
    for (uint32_t id : {1u, 2u}) {
        const std::size_t trex = w.open_full("trex", 0, 0);
        w.u32(id);
        w.u32(1);
        w.u32(id == 1 ? 1 : 20);
        w.u32(id == 1 ? 0 : 7);
        w.u32(id == 1 ? 0x00010000u : 0);
        w.close(trex);
    }
    w.close(mvex);
    w.close(moov);

    for (int f = 0; f < 3; ++f) {
        const std::size_t moof = w.open("moof");
        if (fragment_starts != nullptr) {
            fragment_starts->push_back(moof);
        }
        const std::size_t mfhd = w.open_full("mfhd", 0, 0);
        w.u32(static_cast<uint32_t>(f + 1));
        w.close(mfhd);
        // Video: per-sample sizes, the first sample's flags say "sync".
        const std::size_t vtraf = w.open("traf");
        const std::size_t vtfhd = w.open_full("tfhd", 0, 0x020000);
        w.u32(1);
        w.close(vtfhd);
        const std::size_t vtfdt = w.open_full("tfdt", 1, 0);
        w.u64(static_cast<uint64_t>(3 * f));
        w.close(vtfdt);
        const std::size_t vtrun = w.open_full("trun", 0, 0x000205);
        w.u32(3);
        const std::size_t voffset = w.b.size();
        w.u32(0);
        w.u32(0); // first sample flags: sync
        for (int i = 0; i < 3; ++i) {
            w.u32(static_cast<uint32_t>(video_sample(3 * f + i).size()));
        }
        w.close(vtrun);
        w.close(vtraf);
        // Audio: everything from the trex defaults, the data right after
        // the video's.
        const std::size_t atraf = w.open("traf");
        const std::size_t atfhd = w.open_full("tfhd", 0, 0x020000);
        w.u32(2);
        w.close(atfhd);
        const std::size_t atrun = w.open_full("trun", 0, 0x000001);
        w.u32(2);
        const std::size_t aoffset = w.b.size();
        w.u32(0);
        w.close(atrun);
        w.close(atraf);
        w.close(moof);
        const std::size_t mdat = w.open("mdat");
        w.patch(voffset, static_cast<uint32_t>(w.b.size() - moof));
        for (int i = 0; i < 3; ++i) {
            const auto s = video_sample(3 * f + i);
            w.b.insert(w.b.end(), s.begin(), s.end());
        }
        w.patch(aoffset, static_cast<uint32_t>(w.b.size() - moof));
        for (int i = 0; i < 2; ++i) {
            const auto s = audio_sample(2 * f + i);
            w.b.insert(w.b.end(), s.begin(), s.end());
        }
        w.close(mdat);
    }
    return w.b;
}

void write_bytes(const std::string &path, const std::vector<uint8_t> &bytes) {
    std::FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    if (!bytes.empty()) {
        std::fwrite(bytes.data(), 1, bytes.size(), f);
    }
    std::fclose(f);
}

uint32_t be32(const std::vector<uint8_t> &f, uint64_t at) {
    return (uint32_t{f[at]} << 24) | (uint32_t{f[at + 1]} << 16) | (uint32_t{f[at + 2]} << 8) | f[at + 3];
}

// The sample tables of one trak of a regular file, read back independently.
struct read_track {
    std::vector<std::vector<uint8_t>> samples; // each sample's bytes, found through stsc/stco/stsz
    std::vector<uint32_t> sync;                // stss, empty when absent
    uint64_t ticks = 0;                        // sum of stts
    uint32_t edit = 0;                         // first elst segment, 0 when none
    uint32_t tkhd_duration = 0;
};

std::vector<read_track> read_tracks(const std::vector<uint8_t> &f) {
    std::vector<read_track> tracks;
    const auto boxes = list_mp4_boxes(f);
    std::vector<uint32_t> sizes, chunk_offsets, stsc;
    auto finish_track = [&]() {
        if (tracks.empty()) {
            return;
        }
        read_track &t = tracks.back();
        std::size_t sample = 0;
        for (std::size_t c = 0; c < chunk_offsets.size(); ++c) {
            uint32_t per_chunk = 0;
            for (std::size_t e = 0; e + 2 < stsc.size(); e += 3) {
                if (stsc[e] <= c + 1) {
                    per_chunk = stsc[e + 1];
                }
            }
            uint64_t at = chunk_offsets[c];
            for (uint32_t i = 0; i < per_chunk && sample < sizes.size(); ++i, ++sample) {
                t.samples.emplace_back(f.begin() + static_cast<std::ptrdiff_t>(at),
                                       f.begin() + static_cast<std::ptrdiff_t>(at + sizes[sample]));
                at += sizes[sample];
            }
        }
        sizes.clear();
        chunk_offsets.clear();
        stsc.clear();
    };
    for (const listed_box &b : boxes) {
        const uint64_t body = b.offset + 8;
        if (b.type == "trak") {
            finish_track();
            tracks.emplace_back();
        } else if (tracks.empty()) {
            continue;
        } else if (b.type == "tkhd") {
            tracks.back().tkhd_duration = be32(f, body + 20);
        } else if (b.type == "elst") {
            tracks.back().edit = be32(f, body + 8);
        } else if (b.type == "stts") {
            for (uint32_t e = 0; e < be32(f, body + 4); ++e) {
                tracks.back().ticks += uint64_t{be32(f, body + 8 + 8 * e)} * be32(f, body + 12 + 8 * e);
            }
        } else if (b.type == "stss") {
            for (uint32_t e = 0; e < be32(f, body + 4); ++e) {
                tracks.back().sync.push_back(be32(f, body + 8 + 4 * e));
            }
        } else if (b.type == "stsc") {
            for (uint32_t e = 0; e < 3 * be32(f, body + 4); ++e) {
                stsc.push_back(be32(f, body + 8 + 4 * e));
            }
        } else if (b.type == "stsz") {
            const uint32_t fixed = be32(f, body + 4);
            for (uint32_t e = 0; e < be32(f, body + 8); ++e) {
                sizes.push_back(fixed != 0 ? fixed : be32(f, body + 12 + 4 * e));
            }
        } else if (b.type == "stco") {
            for (uint32_t e = 0; e < be32(f, body + 4); ++e) {
                chunk_offsets.push_back(be32(f, body + 8 + 4 * e));
            }
        }
    }
    finish_track();
    return tracks;
}

TEST(Mp4Finish, TheRegularFilePointsAtTheFragmentsOwnBytes) {
    temp_dir dir;
    const std::string path = dir.file("whole.mp4");
    const std::vector<uint8_t> original = fragmented_file();
    write_bytes(path, original);

    mp4_finish_report report{};
    ASSERT_EQ(mp4_finish(path.c_str(), &report), 0);
    EXPECT_TRUE(report.regular);
    EXPECT_EQ(report.video_samples, 9);
    EXPECT_EQ(report.cut_bytes, 0);

    const std::vector<uint8_t> done = read_file_bytes(path);
    EXPECT_EQ(top_level_types(done), "ftyp free free mdat free mdat free mdat moov");
    const auto boxes = list_mp4_boxes(done);
    EXPECT_FALSE(has_box(boxes, "moof"));
    EXPECT_FALSE(has_box(boxes, "mvex"));
    // Nothing before the appended moov moved: media data stays in place.
    ASSERT_GT(done.size(), original.size());
    std::size_t changed = 0;
    for (std::size_t i = 0; i < original.size(); ++i) {
        changed += done[i] != original[i] ? 1 : 0;
    }
    EXPECT_LE(changed, 4u * 4u + 4u) << "only four box types and the first moov's size may change";

    const std::vector<read_track> tracks = read_tracks(done);
    ASSERT_EQ(tracks.size(), 2u);
    ASSERT_EQ(tracks[0].samples.size(), 9u);
    for (int n = 0; n < 9; ++n) {
        EXPECT_EQ(tracks[0].samples[static_cast<std::size_t>(n)], video_sample(n)) << "video sample " << n;
    }
    EXPECT_EQ(tracks[0].sync, (std::vector<uint32_t>{1, 4, 7}));
    EXPECT_EQ(tracks[0].ticks, 9u);
    EXPECT_EQ(tracks[0].edit, 300u) << "the open edit is closed at 9 / 30 s in movie time";
    EXPECT_EQ(tracks[0].tkhd_duration, 300u);
    ASSERT_EQ(tracks[1].samples.size(), 6u);
    for (int n = 0; n < 6; ++n) {
        EXPECT_EQ(tracks[1].samples[static_cast<std::size_t>(n)], audio_sample(n)) << "audio sample " << n;
    }
    EXPECT_TRUE(tracks[1].sync.empty()) << "all audio samples are sync samples";
    EXPECT_EQ(tracks[1].ticks, 120u);

    // A regular file is not finished twice.
    EXPECT_EQ(mp4_finish(path.c_str(), &report), -2);
    EXPECT_EQ(read_file_bytes(path), done);
}

TEST(Mp4Finish, ACutFileKeepsItsWholeFragments) {
    temp_dir dir;
    std::vector<std::size_t> starts;
    const std::vector<uint8_t> original = fragmented_file(&starts);
    ASSERT_EQ(starts.size(), 3u);
    struct cut_case {
        const char *what;
        std::size_t length;
        int64_t video;
    };
    const std::vector<cut_case> cases = {
        {"inside the first moof", starts[0] + 20, 0},          {"inside the second mdat", starts[2] - 3, 3},
        {"right after the second fragment", starts[2], 6},     {"inside the third moof", starts[2] + 9, 6},
        {"one byte short of the end", original.size() - 1, 6}, {"whole", original.size(), 9},
    };
    for (const cut_case &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = dir.file("cut.mp4");
        write_bytes(path, std::vector<uint8_t>(original.begin(), original.begin() + c.length));
        mp4_finish_report report{};
        ASSERT_EQ(mp4_finish(path.c_str(), &report), 0);
        EXPECT_EQ(report.video_samples, c.video);
        const std::vector<uint8_t> done = read_file_bytes(path);
        EXPECT_FALSE(has_box(list_mp4_boxes(done), "moof"));
        const std::vector<read_track> tracks = read_tracks(done);
        ASSERT_EQ(tracks.size(), 2u);
        ASSERT_EQ(tracks[0].samples.size(), static_cast<std::size_t>(c.video));
        for (int n = 0; n < c.video; ++n) {
            EXPECT_EQ(tracks[0].samples[static_cast<std::size_t>(n)], video_sample(n));
        }
        EXPECT_EQ(tracks[1].samples.size(), static_cast<std::size_t>(c.video / 3 * 2));
    }
}

TEST(Mp4Finish, FilesItCannotReadAreLeftAlone) {
    temp_dir dir;
    mp4_finish_report report{};
    EXPECT_EQ(mp4_finish(dir.file("missing.mp4").c_str(), &report), -1);

    const std::vector<uint8_t> original = fragmented_file();
    const std::vector<std::pair<const char *, std::vector<uint8_t>>> files = {
        {"cut inside the first moov", std::vector<uint8_t>(original.begin(), original.begin() + 100)},
        {"no MP4 at all", std::vector<uint8_t>(300, 0x5a)},
        {"empty", {}},
    };
    for (const auto &[what, bytes] : files) {
        SCOPED_TRACE(what);
        const std::string path = dir.file("other.mp4");
        write_bytes(path, bytes);
        EXPECT_EQ(mp4_finish(path.c_str(), &report), -2);
        EXPECT_EQ(read_file_bytes(path), bytes);
    }
}

} // namespace
