// Room for a file's bytes ahead of its writes: left to the file system, which
// finds it as the file grows.
#include "platform/platform.h"

void platform_reserve_file(std::FILE *, uint64_t) {}
