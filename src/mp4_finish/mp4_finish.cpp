#include "mp4_finish/mp4_finish.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>
#include <vector>

#include "mp4_finish/boxes.h"
#include "mp4_finish/index.h"
#include "mp4_finish/tracks.h"

#ifdef KSR_MP4_FINISH_STEP_HOOK
void (*mp4_finish_step_hook)(int step) = nullptr;
#define MP4_FINISH_STEP(n)                                                                                   \
    do {                                                                                                     \
        if (mp4_finish_step_hook != nullptr) {                                                               \
            mp4_finish_step_hook(n);                                                                         \
        }                                                                                                    \
    } while (0)
#else
#define MP4_FINISH_STEP(n) ((void)(n))
#endif

namespace {

struct top_box {
    uint32_t type;
    uint64_t offset;
    uint64_t size;
};

bool read_at(int fd, uint64_t offset, uint8_t *out, std::size_t size) {
    while (size > 0) {
        const ssize_t n = pread(fd, out, size, static_cast<off_t>(offset));
        if (n <= 0) {
            return false;
        }
        out += n;
        size -= static_cast<std::size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

bool write_at(int fd, uint64_t offset, const uint8_t *data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = pwrite(fd, data, size, static_cast<off_t>(offset));
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

// The top-level boxes that lie wholly inside the file; `complete_end` is
// where the last of them ends (an incomplete box after it is not listed).
bool list_boxes(int fd, uint64_t file_size, std::vector<top_box> *boxes, uint64_t *complete_end) {
    uint64_t at = 0;
    while (file_size - at >= 8) {
        uint8_t header[16];
        const std::size_t want = file_size - at >= 16 ? 16 : 8;
        if (!read_at(fd, at, header, want)) {
            return false;
        }
        uint64_t size = load_u32(header);
        if (size == 1) {
            size = want == 16 ? load_u64(header + 8) : 0;
        } else if (size == 0) {
            size = file_size - at;
        }
        if (size < 8 || size > file_size - at) {
            break;
        }
        boxes->push_back(top_box{load_u32(header + 4), at, size});
        at += size;
    }
    *complete_end = at;
    return true;
}

// Body of a top-level box read into `buffer`; false on a read failure.
bool read_body(int fd, const top_box &box, std::vector<uint8_t> *buffer, std::size_t *header) {
    uint8_t first[8];
    if (!read_at(fd, box.offset, first, sizeof first)) {
        return false;
    }
    *header = load_u32(first) == 1 ? 16 : 8;
    buffer->resize(static_cast<std::size_t>(box.size - *header));
    return read_at(fd, box.offset + *header, buffer->data(), buffer->size());
}

bool rename_box(int fd, uint64_t offset) {
    static const uint8_t kFree[4] = {'f', 'r', 'e', 'e'};
    return write_at(fd, offset + 4, kFree, sizeof kFree);
}

// Writes a free box header of `size` bytes at `offset` (over a box header
// of at least 8 bytes and, for a 64-bit size, over the 8 bytes after it).
bool free_box(int fd, uint64_t offset, uint64_t size) {
    uint8_t header[16];
    store_u32(header + 4, fourcc("free"));
    if (size <= UINT32_MAX) {
        store_u32(header, static_cast<uint32_t>(size));
        return write_at(fd, offset, header, 8);
    }
    store_u32(header, 1);
    store_u64(header + 8, size);
    return write_at(fd, offset, header, sizeof header);
}

int finish_open_file(int fd, mp4_finish_report *report) {
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        return -3;
    }
    uint64_t file_size = static_cast<uint64_t>(st.st_size);
    std::vector<top_box> boxes;
    uint64_t complete_end = 0;
    if (!list_boxes(fd, file_size, &boxes, &complete_end)) {
        return -3;
    }

    const top_box *moov = nullptr;
    for (const top_box &b : boxes) {
        if (b.type == fourcc("moov")) {
            moov = &b;
            break;
        }
    }
    if (moov == nullptr || moov->size > (64u << 20)) {
        return -2;
    }
    std::vector<uint8_t> initial;
    std::size_t header = 0;
    if (!read_body(fd, *moov, &initial, &header)) {
        return -3;
    }
    mp4_movie movie;
    if (!read_movie(initial.data(), initial.size(), &movie) || !movie.fragmented) {
        return -2;
    }

    // Every complete fragment, in order; the first one that is not complete
    // (or that cannot be read) marks the end of what plays.
    uint64_t cut = complete_end;
    std::vector<uint64_t> to_free; // offsets of the boxes that become free
    std::vector<uint8_t> fragment;
    for (const top_box &b : boxes) {
        if (b.offset < moov->offset || (b.type != fourcc("moof") && b.type != fourcc("mfra"))) {
            continue;
        }
        if (b.type == fourcc("moof")) {
            if (b.size > (64u << 20)) {
                cut = b.offset;
                break;
            }
            std::size_t moof_header = 0;
            if (!read_body(fd, b, &fragment, &moof_header)) {
                return -3;
            }
            const int rc = read_fragment(fragment.data(), fragment.size(), b.offset, complete_end, &movie);
            if (rc < 0) {
                return -5;
            }
            if (rc == 0) {
                cut = b.offset;
                break;
            }
        }
        to_free.push_back(b.offset);
    }
    if (cut < file_size) {
        if (ftruncate(fd, static_cast<off_t>(cut)) != 0) {
            return -4;
        }
        report->cut_bytes = static_cast<int64_t>(file_size - cut);
        file_size = cut;
    }
    for (const mp4_track &t : movie.tracks) {
        if (t.video) {
            report->video_samples = static_cast<int64_t>(t.sizes.size());
            break;
        }
    }
    MP4_FINISH_STEP(1);

    // The complete moov after the last fragment. Without room for it the
    // file stays as it is: fragmented, and whole.
    box_writer index;
    if (!write_index(initial.data(), initial.size(), movie, &index)) {
        return 1;
    }
    if (!write_at(fd, file_size, index.bytes.data(), index.bytes.size()) || fsync(fd) != 0) {
        if (ftruncate(fd, static_cast<off_t>(file_size)) != 0) {
            return -4;
        }
        return 1;
    }
    MP4_FINISH_STEP(2);

    // From here each write is a box header, and every state in between plays.
    if (!free_box(fd, moov->offset, file_size - moov->offset) || fsync(fd) != 0) {
        return 1;
    }
    MP4_FINISH_STEP(3);
    int step = 4;
    for (uint64_t offset : to_free) {
        if (!rename_box(fd, offset)) {
            return 1;
        }
        MP4_FINISH_STEP(step++);
    }
    // The moofs must be free on disk before the span that hides them ends.
    if (fsync(fd) != 0 || !free_box(fd, moov->offset, moov->size) || fsync(fd) != 0) {
        return 1;
    }
    MP4_FINISH_STEP(step);
    report->regular = true;
    return 0;
}

} // namespace

int mp4_finish(const char *path, mp4_finish_report *report) {
    *report = mp4_finish_report{};
    const int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    int rc = -5;
    try {
        rc = finish_open_file(fd, report);
    } catch (const std::bad_alloc &) {
        rc = -5; // the vectors of boxes and headers; nothing was written yet
    }
    close(fd);
    return rc;
}
