// Room for a file's bytes ahead of its writes: on tmpfs (such as /dev/shm)
// the pages a write needs are otherwise found one by one inside the write.
#include <fcntl.h>

#include "platform/platform.h"

void platform_reserve_file(std::FILE *file, uint64_t bytes) {
#if defined(__linux__) && defined(FALLOC_FL_KEEP_SIZE)
    // The size stays as it is: a write that stops early leaves the file as
    // long as what was written. A file system that cannot reserve simply
    // refuses, and the writes find their room as before.
    if (file != nullptr && bytes > 0) {
        fallocate(fileno(file), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(bytes));
    }
#else
    (void)file;
    (void)bytes;
#endif
}
