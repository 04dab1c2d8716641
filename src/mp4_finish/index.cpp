#include "mp4_finish/index.h"

namespace {

// value x to / from, rounded up (a length in a coarser time scale must not
// cut off the end), without overflow for the values a recording reaches.
uint64_t rescale(uint64_t value, uint32_t from, uint32_t to) {
    return (value / from) * to + ((value % from) * to + from - 1) / from;
}

// Copies a full box and sets its duration field: at `v0_at` (32 bits) in a
// version 0 body, at `v1_at` (64 bits) in a version 1 body.
void copy_with_duration(const uint8_t *d, const box_span &box, std::size_t v0_at, std::size_t v1_at,
                        uint64_t duration, box_writer *w) {
    const std::size_t start = w->bytes.size();
    w->raw(d + box.begin, box.end - box.begin);
    const bool wide = d[box.body] == 1;
    const std::size_t at = start + (box.body - box.begin) + (wide ? v1_at : v0_at);
    if (w->failed || at + (wide ? 8u : 4u) > w->bytes.size()) {
        return;
    }
    if (wide) {
        store_u64(w->bytes.data() + at, duration);
    } else {
        store_u32(w->bytes.data() + at, duration > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(duration));
    }
}

void write_stts(const mp4_track &t, box_writer *w) {
    const std::size_t box = w->open_full(fourcc("stts"), 0, 0);
    const std::size_t count_at = w->bytes.size();
    w->u32(0);
    uint32_t entries = 0;
    for (std::size_t i = 0; i < t.durations.size();) {
        std::size_t j = i;
        while (j < t.durations.size() && t.durations[j] == t.durations[i]) {
            ++j;
        }
        w->u32(static_cast<uint32_t>(j - i));
        w->u32(t.durations[i]);
        ++entries;
        i = j;
    }
    if (!w->failed) {
        store_u32(w->bytes.data() + count_at, entries);
    }
    w->close(box);
}

void write_ctts(const mp4_track &t, box_writer *w) {
    const std::size_t box = w->open_full(fourcc("ctts"), t.negative_offset ? 1 : 0, 0);
    const std::size_t count_at = w->bytes.size();
    w->u32(0);
    uint32_t entries = 0;
    for (std::size_t i = 0; i < t.offsets.size();) {
        std::size_t j = i;
        while (j < t.offsets.size() && t.offsets[j] == t.offsets[i]) {
            ++j;
        }
        w->u32(static_cast<uint32_t>(j - i));
        w->u32(static_cast<uint32_t>(t.offsets[i]));
        ++entries;
        i = j;
    }
    if (!w->failed) {
        store_u32(w->bytes.data() + count_at, entries);
    }
    w->close(box);
}

void write_stsc(const mp4_track &t, box_writer *w) {
    const std::size_t box = w->open_full(fourcc("stsc"), 0, 0);
    const std::size_t count_at = w->bytes.size();
    w->u32(0);
    uint32_t entries = 0;
    for (std::size_t i = 0; i < t.chunks.size(); ++i) {
        if (i == 0 || t.chunks[i].samples != t.chunks[i - 1].samples) {
            w->u32(static_cast<uint32_t>(i + 1));
            w->u32(t.chunks[i].samples);
            w->u32(1);
            ++entries;
        }
    }
    if (!w->failed) {
        store_u32(w->bytes.data() + count_at, entries);
    }
    w->close(box);
}

void write_sample_table(const uint8_t *d, const box_span &stbl, const mp4_track &t, box_writer *w) {
    const std::size_t box = w->open(fourcc("stbl"));
    box_span stsd{};
    if (find_child(d, stbl.body, stbl.end, fourcc("stsd"), &stsd)) {
        w->raw(d + stsd.begin, stsd.end - stsd.begin);
    }
    write_stts(t, w);
    if (t.any_offset) {
        write_ctts(t, w);
    }
    if (t.sync.size() != t.sizes.size()) {
        const std::size_t stss = w->open_full(fourcc("stss"), 0, 0);
        w->u32(static_cast<uint32_t>(t.sync.size()));
        for (uint32_t n : t.sync) {
            w->u32(n);
        }
        w->close(stss);
    }
    write_stsc(t, w);

    const std::size_t stsz = w->open_full(fourcc("stsz"), 0, 0);
    bool same = !t.sizes.empty();
    for (uint32_t s : t.sizes) {
        same = same && s == t.sizes[0];
    }
    w->u32(same ? t.sizes[0] : 0);
    w->u32(static_cast<uint32_t>(t.sizes.size()));
    if (!same) {
        for (uint32_t s : t.sizes) {
            w->u32(s);
        }
    }
    w->close(stsz);

    const bool wide = !t.chunks.empty() && t.chunks.back().offset > UINT32_MAX;
    const std::size_t stco = w->open_full(wide ? fourcc("co64") : fourcc("stco"), 0, 0);
    w->u32(static_cast<uint32_t>(t.chunks.size()));
    for (const mp4_chunk &c : t.chunks) {
        if (wide) {
            w->u64(c.offset);
        } else {
            w->u32(static_cast<uint32_t>(c.offset));
        }
    }
    w->close(stco);
    w->close(box);
}

// Copies the children of a container, descending into mdia and minf and
// putting new sample tables and durations in place.
void write_media(const uint8_t *d, std::size_t begin, std::size_t end, const mp4_track &t, box_writer *w) {
    box_span box{};
    for (std::size_t at = begin; read_box(d, at, end, &box); at = box.end) {
        if (box.type == fourcc("mdia") || box.type == fourcc("minf")) {
            const std::size_t inner = w->open(box.type);
            write_media(d, box.body, box.end, t, w);
            w->close(inner);
        } else if (box.type == fourcc("mdhd")) {
            copy_with_duration(d, box, 16, 24, t.media_duration, w);
        } else if (box.type == fourcc("stbl")) {
            write_sample_table(d, box, t, w);
        } else {
            w->raw(d + box.begin, box.end - box.begin);
        }
    }
}

// The track's edit list as the initial moov had it, with every segment
// whose length was left open (0 while recording) closed at the end of the
// samples; its total length in movie time goes to `length`.
void copy_edits(const uint8_t *d, const box_span &edts, const mp4_track &t, uint32_t movie_scale,
                box_writer *w, uint64_t *length) {
    const std::size_t start = w->bytes.size();
    w->raw(d + edts.begin, edts.end - edts.begin);
    box_span elst{};
    if (w->failed ||
        !find_child(w->bytes.data(), start + (edts.body - edts.begin), w->bytes.size(), fourcc("elst"),
                    &elst) ||
        elst.body + 8 > elst.end) {
        return;
    }
    uint8_t *e = w->bytes.data();
    const bool wide = e[elst.body] == 1;
    const std::size_t entry = wide ? 20 : 12;
    const uint32_t count = load_u32(e + elst.body + 4);
    uint64_t total = 0;
    for (uint32_t i = 0; i < count && elst.body + 8 + (i + 1) * entry <= elst.end; ++i) {
        uint8_t *p = e + elst.body + 8 + i * entry;
        uint64_t segment = wide ? load_u64(p) : load_u32(p);
        const int64_t media_time = wide ? static_cast<int64_t>(load_u64(p + 8))
                                        : static_cast<int64_t>(static_cast<int32_t>(load_u32(p + 4)));
        if (segment == 0 && media_time >= 0) {
            const uint64_t from = static_cast<uint64_t>(media_time);
            segment = rescale(t.presented_end > from ? t.presented_end - from : 0, t.timescale, movie_scale);
            if (wide) {
                store_u64(p, segment);
            } else {
                store_u32(p, segment > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(segment));
            }
        }
        total += segment;
    }
    *length = total;
}

// The track's length in movie time: its edits' when it has any, else from
// its first sample's decode time to the end of its samples.
uint64_t track_length(const uint8_t *d, const box_span &trak, const mp4_track &t, uint32_t movie_scale) {
    box_span edts{};
    if (find_child(d, trak.body, trak.end, fourcc("edts"), &edts)) {
        box_writer scratch;
        uint64_t length = 0;
        copy_edits(d, edts, t, movie_scale, &scratch, &length);
        return length;
    }
    return rescale(t.first_decode + t.media_duration, t.timescale, movie_scale);
}

void write_track(const uint8_t *d, const box_span &trak, const mp4_track &t, uint32_t movie_scale,
                 box_writer *w) {
    box_span edts{};
    const bool has_edits = find_child(d, trak.body, trak.end, fourcc("edts"), &edts);
    const uint64_t lead = has_edits ? 0 : rescale(t.first_decode, t.timescale, movie_scale);
    const uint64_t length = rescale(t.media_duration, t.timescale, movie_scale);
    const std::size_t out = w->open(fourcc("trak"));
    box_span box{};
    for (std::size_t at = trak.body; read_box(d, at, trak.end, &box); at = box.end) {
        if (box.type == fourcc("tkhd")) {
            copy_with_duration(d, box, 20, 28, track_length(d, trak, t, movie_scale), w);
            if (lead > 0) {
                // The track starts later than the movie: an empty edit first.
                const std::size_t new_edts = w->open(fourcc("edts"));
                const std::size_t elst = w->open_full(fourcc("elst"), 1, 0);
                w->u32(2);
                w->u64(lead);
                w->u64(UINT64_MAX); // media time -1: nothing plays
                w->u32(0x00010000u);
                w->u64(length);
                w->u64(0);
                w->u32(0x00010000u);
                w->close(elst);
                w->close(new_edts);
            }
        } else if (box.type == fourcc("edts")) {
            uint64_t ignored = 0;
            copy_edits(d, box, t, movie_scale, w, &ignored);
        } else if (box.type == fourcc("mdia")) {
            const std::size_t mdia = w->open(box.type);
            write_media(d, box.body, box.end, t, w);
            w->close(mdia);
        } else {
            w->raw(d + box.begin, box.end - box.begin);
        }
    }
    w->close(out);
}

} // namespace

bool write_index(const uint8_t *d, std::size_t size, const mp4_movie &movie, box_writer *w) {
    uint64_t movie_duration = 0;
    box_span box{};
    std::size_t trak_index = 0;
    for (std::size_t at = 0; read_box(d, at, size, &box); at = box.end) {
        if (box.type == fourcc("trak") && trak_index < movie.tracks.size()) {
            const uint64_t end = track_length(d, box, movie.tracks[trak_index++], movie.timescale);
            movie_duration = end > movie_duration ? end : movie_duration;
        }
    }
    const std::size_t moov = w->open(fourcc("moov"));
    trak_index = 0;
    for (std::size_t at = 0; read_box(d, at, size, &box); at = box.end) {
        if (box.type == fourcc("mvhd")) {
            copy_with_duration(d, box, 16, 24, movie_duration, w);
        } else if (box.type == fourcc("trak")) {
            const mp4_track *t = trak_index < movie.tracks.size() ? &movie.tracks[trak_index] : nullptr;
            ++trak_index;
            if (t == nullptr) {
                return false;
            }
            write_track(d, box, *t, movie.timescale, w);
        } else if (box.type != fourcc("mvex")) {
            w->raw(d + box.begin, box.end - box.begin);
        }
    }
    w->close(moov);
    return !w->failed;
}
