#include "mp4_finish/tracks.h"

#include <new>

#include "mp4_finish/boxes.h"

namespace {

constexpr uint32_t kNonSyncSample = 0x00010000u;

// tfhd flags
constexpr uint32_t kBaseDataOffset = 0x000001u;
constexpr uint32_t kDescriptionIndex = 0x000002u;
constexpr uint32_t kDefaultDuration = 0x000008u;
constexpr uint32_t kDefaultSize = 0x000010u;
constexpr uint32_t kDefaultFlags = 0x000020u;
constexpr uint32_t kDefaultBaseIsMoof = 0x020000u;
// trun flags
constexpr uint32_t kDataOffset = 0x000001u;
constexpr uint32_t kFirstSampleFlags = 0x000004u;
constexpr uint32_t kSampleDuration = 0x000100u;
constexpr uint32_t kSampleSize = 0x000200u;
constexpr uint32_t kSampleFlags = 0x000400u;
constexpr uint32_t kSampleOffset = 0x000800u;

mp4_track *track_by_id(mp4_movie *movie, uint32_t id) {
    for (mp4_track &t : movie->tracks) {
        if (t.id == id) {
            return &t;
        }
    }
    return nullptr;
}

// Version byte and flags of a full box's body.
uint32_t full_flags(const uint8_t *data, const box_span &box) {
    return load_u32(data + box.body) & 0xFFFFFFu;
}
uint8_t full_version(const uint8_t *data, const box_span &box) {
    return data[box.body];
}

bool read_track(const uint8_t *d, const box_span &trak, mp4_track *track) {
    box_span tkhd{}, mdia{}, mdhd{}, hdlr{};
    if (!find_child(d, trak.body, trak.end, fourcc("tkhd"), &tkhd) ||
        !find_child(d, trak.body, trak.end, fourcc("mdia"), &mdia) ||
        !find_child(d, mdia.body, mdia.end, fourcc("mdhd"), &mdhd) ||
        !find_child(d, mdia.body, mdia.end, fourcc("hdlr"), &hdlr)) {
        return false;
    }
    const std::size_t id_at = tkhd.body + (full_version(d, tkhd) == 1 ? 20 : 12);
    const std::size_t scale_at = mdhd.body + (full_version(d, mdhd) == 1 ? 20 : 12);
    if (id_at + 4 > tkhd.end || scale_at + 4 > mdhd.end || hdlr.body + 12 > hdlr.end) {
        return false;
    }
    track->id = load_u32(d + id_at);
    track->timescale = load_u32(d + scale_at);
    track->video = load_u32(d + hdlr.body + 8) == fourcc("vide");
    return track->timescale != 0;
}

} // namespace

bool read_movie(const uint8_t *d, std::size_t size, mp4_movie *movie) {
    box_span box{};
    box_span mvex{};
    movie->fragmented = find_child(d, 0, size, fourcc("mvex"), &mvex);
    try {
        for (std::size_t at = 0; read_box(d, at, size, &box); at = box.end) {
            if (box.type == fourcc("mvhd")) {
                const std::size_t scale_at = box.body + (full_version(d, box) == 1 ? 20 : 12);
                if (scale_at + 4 > box.end) {
                    return false;
                }
                movie->timescale = load_u32(d + scale_at);
            } else if (box.type == fourcc("trak")) {
                mp4_track track;
                if (!read_track(d, box, &track)) {
                    return false;
                }
                movie->tracks.push_back(std::move(track));
            }
        }
    } catch (const std::bad_alloc &) {
        return false;
    }
    if (movie->fragmented) {
        for (std::size_t at = mvex.body; read_box(d, at, mvex.end, &box); at = box.end) {
            if (box.type != fourcc("trex") || box.body + 24 > box.end) {
                continue;
            }
            if (mp4_track *t = track_by_id(movie, load_u32(d + box.body + 4))) {
                t->default_duration = load_u32(d + box.body + 12);
                t->default_size = load_u32(d + box.body + 16);
                t->default_flags = load_u32(d + box.body + 20);
            }
        }
    }
    return movie->timescale != 0 && !movie->tracks.empty();
}

namespace {

// One pass over a moof's track fragments. With `commit` false it only checks
// that every field is there and every sample's data lies before `data_end`;
// with `commit` true it appends the samples (after a successful check).
bool walk_fragment(const uint8_t *d, std::size_t size, uint64_t moof_offset, uint64_t data_end,
                   mp4_movie *movie, bool commit) {
    uint64_t implicit_base = moof_offset;
    box_span traf{};
    for (std::size_t at = 0; read_box(d, at, size, &traf); at = traf.end) {
        if (traf.type != fourcc("traf")) {
            continue;
        }
        box_span tfhd{};
        if (!find_child(d, traf.body, traf.end, fourcc("tfhd"), &tfhd) || tfhd.body + 8 > tfhd.end) {
            return false;
        }
        const uint32_t tf = full_flags(d, tfhd);
        mp4_track *track = track_by_id(movie, load_u32(d + tfhd.body + 4));
        if (track == nullptr) {
            return false;
        }
        std::size_t p = tfhd.body + 8;
        auto field32 = [&](uint32_t flag, uint32_t fallback) {
            if ((tf & flag) == 0) {
                return fallback;
            }
            const uint32_t v = p + 4 <= tfhd.end ? load_u32(d + p) : fallback;
            p += 4;
            return v;
        };
        uint64_t base = (tf & kDefaultBaseIsMoof) != 0 ? moof_offset : implicit_base;
        if ((tf & kBaseDataOffset) != 0) {
            if (p + 8 > tfhd.end) {
                return false;
            }
            base = load_u64(d + p);
            p += 8;
        }
        field32(kDescriptionIndex, 1);
        const uint32_t default_duration = field32(kDefaultDuration, track->default_duration);
        const uint32_t default_size = field32(kDefaultSize, track->default_size);
        const uint32_t default_flags = field32(kDefaultFlags, track->default_flags);
        if (p > tfhd.end) {
            return false;
        }

        box_span tfdt{};
        bool has_tfdt = find_child(d, traf.body, traf.end, fourcc("tfdt"), &tfdt);
        uint64_t decode_time = 0;
        if (has_tfdt) {
            const bool wide = full_version(d, tfdt) == 1;
            if (tfdt.body + (wide ? 12u : 8u) > tfdt.end) {
                return false;
            }
            decode_time = wide ? load_u64(d + tfdt.body + 4) : load_u32(d + tfdt.body + 4);
        }

        uint64_t next = base; // where the next run starts without a data offset
        box_span trun{};
        for (std::size_t r = traf.body; read_box(d, r, traf.end, &trun); r = trun.end) {
            if (trun.type != fourcc("trun") || trun.body + 8 > trun.end) {
                if (trun.type == fourcc("trun")) {
                    return false;
                }
                continue;
            }
            const uint32_t rf = full_flags(d, trun);
            const bool signed_offsets = full_version(d, trun) != 0;
            const uint32_t count = load_u32(d + trun.body + 4);
            std::size_t q = trun.body + 8;
            uint64_t offset = next;
            if ((rf & kDataOffset) != 0) {
                if (q + 4 > trun.end) {
                    return false;
                }
                offset =
                    base + static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(load_u32(d + q))));
                q += 4;
            }
            uint32_t first_flags = default_flags;
            const bool has_first = (rf & kFirstSampleFlags) != 0;
            if (has_first) {
                if (q + 4 > trun.end) {
                    return false;
                }
                first_flags = load_u32(d + q);
                q += 4;
            }
            const std::size_t per_sample = 4u * (((rf & kSampleDuration) != 0) + ((rf & kSampleSize) != 0) +
                                                 ((rf & kSampleFlags) != 0) + ((rf & kSampleOffset) != 0));
            if (per_sample != 0 && (trun.end - q) / per_sample < count) {
                return false;
            }
            if (commit && count > 0) {
                if (!track->started && has_tfdt) {
                    track->first_decode = decode_time;
                }
                track->started = true;
                track->chunks.push_back(mp4_chunk{offset, count});
            }
            uint64_t run_bytes = 0;
            for (uint32_t i = 0; i < count; ++i) {
                const uint32_t duration = (rf & kSampleDuration) != 0 ? load_u32(d + q) : default_duration;
                q += (rf & kSampleDuration) != 0 ? 4 : 0;
                const uint32_t sample_size = (rf & kSampleSize) != 0 ? load_u32(d + q) : default_size;
                q += (rf & kSampleSize) != 0 ? 4 : 0;
                uint32_t flags = (i == 0 && has_first) ? first_flags : default_flags;
                if ((rf & kSampleFlags) != 0) {
                    flags = load_u32(d + q);
                    q += 4;
                }
                int32_t cto = 0;
                if ((rf & kSampleOffset) != 0) {
                    const uint32_t raw = load_u32(d + q);
                    q += 4;
                    cto =
                        signed_offsets ? static_cast<int32_t>(raw) : static_cast<int32_t>(raw & 0x7FFFFFFFu);
                }
                run_bytes += sample_size;
                if (commit) {
                    track->sizes.push_back(sample_size);
                    track->durations.push_back(duration);
                    track->offsets.push_back(cto);
                    track->any_offset = track->any_offset || cto != 0;
                    track->negative_offset = track->negative_offset || cto < 0;
                    if ((flags & kNonSyncSample) == 0) {
                        track->sync.push_back(static_cast<uint32_t>(track->sizes.size()));
                    }
                    const int64_t shown = static_cast<int64_t>(track->first_decode + track->media_duration) +
                                          cto + static_cast<int64_t>(duration);
                    if (shown > 0 && static_cast<uint64_t>(shown) > track->presented_end) {
                        track->presented_end = static_cast<uint64_t>(shown);
                    }
                    track->media_duration += duration;
                }
            }
            if (offset < moof_offset + size || offset > data_end || run_bytes > data_end - offset) {
                return false;
            }
            next = offset + run_bytes;
        }
        implicit_base = next;
    }
    return true;
}

} // namespace

int read_fragment(const uint8_t *moof, std::size_t size, uint64_t moof_offset, uint64_t data_end,
                  mp4_movie *movie) {
    if (!walk_fragment(moof, size, moof_offset, data_end, movie, false)) {
        return 0;
    }
    try {
        walk_fragment(moof, size, moof_offset, data_end, movie, true);
        return 1;
    } catch (const std::bad_alloc &) {
        return -1;
    }
}
