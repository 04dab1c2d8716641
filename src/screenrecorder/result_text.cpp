#include "screenrecorder/result_text.h"

#include <cstdio>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

void json_escape_path(const char *source, char *dest, std::size_t dest_size) {
    if (dest == nullptr || dest_size == 0) {
        return;
    }
    static const char hex[] = "0123456789abcdef";
    std::size_t count = 0;
    if (source != nullptr) {
        for (const unsigned char *p = reinterpret_cast<const unsigned char *>(source); *p != 0; ++p) {
            // A byte is taken only while even its longest form could still
            // fit; the escape that it needs must fit whole as well.
            if (count + 2 >= dest_size) {
                break;
            }
            const unsigned char c = *p;
            if (c == '\\' || c == '"') {
                dest[count++] = '\\';
                dest[count++] = static_cast<char>(c);
            } else if (c < 0x20) {
                if (count + 6 >= dest_size) {
                    break;
                }
                dest[count++] = '\\';
                dest[count++] = 'u';
                dest[count++] = '0';
                dest[count++] = '0';
                dest[count++] = hex[c >> 4];
                dest[count++] = hex[c & 0x0F];
            } else {
                dest[count++] = static_cast<char>(c);
            }
        }
    }
    dest[count] = '\0';
}

int64_t measure_file_size(const char *path) {
    if (path == nullptr || path[0] == '\0') {
        return 0;
    }
#if !defined(_WIN32)
    // Opening a FIFO for reading would block until a writer appears; only a
    // regular file is worth opening.
    struct stat before {};
    if (stat(path, &before) != 0 || !S_ISREG(before.st_mode)) {
        return 0;
    }
#endif
    std::FILE *file = std::fopen(path, "rb");
    if (file == nullptr) {
        return 0;
    }
    int64_t size = 0;
#if defined(_WIN32)
    if (_fseeki64(file, 0, SEEK_END) == 0) {
        size = _ftelli64(file);
    }
#else
    // A directory opens for reading here, and its end position is no size
    // (ext4 reports the largest offset); only a regular file is measured.
    struct stat info {};
    if (fstat(fileno(file), &info) == 0 && S_ISREG(info.st_mode) && fseeko(file, 0, SEEK_END) == 0) {
        size = static_cast<int64_t>(ftello(file));
    }
#endif
    std::fclose(file);
    return size < 0 ? 0 : size;
}
