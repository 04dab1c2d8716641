// A stand-in for the GIF converter: records the command line it was started
// with (into the file named by KSR_CONVERTER_LOG, when set) and writes a GIF
// header to its last argument, as the real converter writes a GIF there.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv) {
    if (const char *log = std::getenv("KSR_CONVERTER_LOG"); log != nullptr && log[0] != '\0') {
        if (FILE *f = std::fopen(log, "wb"); f != nullptr) {
            std::fputs(GetCommandLineA(), f);
            std::fclose(f);
        }
    }
    if (argc < 2) {
        return 2;
    }
    FILE *out = std::fopen(argv[argc - 1], "wb");
    if (out == nullptr) {
        return 1;
    }
    // A 1 x 1 GIF89a: header, logical screen, two-colour table, one image.
    static const unsigned char kGif[] = {'G', 'I', 'F', '8', '9',  'a',  1,    0,    1,    0, 0x80, 0,
                                         0,   0,   0,   0,   0xff, 0xff, 0xff, ',',  0,    0, 0,    0,
                                         1,   0,   1,   0,   0,    2,    2,    0x44, 0x01, 0, ';'};
    const bool written = std::fwrite(kGif, 1, sizeof kGif, out) == sizeof kGif;
    return std::fclose(out) == 0 && written ? 0 : 1;
}
