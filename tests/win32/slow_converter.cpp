// A stand-in for a converter that hangs: marks that it started, sleeps well
// past the library's 30 s limit, then marks that it ended. The marks are
// files beside the path named by KSR_CONVERTER_LOG: "<log>.started" and
// "<log>.ended".
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {
void touch(const std::string &path) {
    if (FILE *f = std::fopen(path.c_str(), "wb"); f != nullptr) {
        std::fclose(f);
    }
}
} // namespace

int main() {
    const char *log = std::getenv("KSR_CONVERTER_LOG");
    const std::string base = log != nullptr ? log : "slow_converter";
    touch(base + ".started");
    Sleep(34000);
    touch(base + ".ended");
    return 0;
}
