// The GIF converter as a process: started directly from its fixed location
// with a hidden window and a time limit, or, when that fails, found by name
// through the command interpreter.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"

namespace {
constexpr std::size_t kCommandLineSize = 2048;
constexpr DWORD kConverterWaitMs = 30000;

constexpr char kDirectCommand[] =
    "C:\\codebases\\ffmpeg-lgpl-shared\\bin\\ffmpeg.exe -y -i \"%s\" -filter_complex "
    "\"[0:v] split [a][b]; [a] palettegen [p]; [b][p] paletteuse\" \"%s\"";
constexpr char kFallbackCommand[] = "ffmpeg -y -i \"%s\" -filter_complex "
                                    "\"[0:v] split [a][b]; [a] palettegen [p]; [b][p] paletteuse\" \"%s\"";
} // namespace

bool platform_run_converter_direct(const char *input, const char *output) {
    char command[kCommandLineSize];
    std::snprintf(command, sizeof command, kDirectCommand, input, output);

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        return false;
    }
    // A converter still running at the limit is left to itself.
    WaitForSingleObject(process.hProcess, kConverterWaitMs);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return true;
}

void platform_run_converter_fallback(const char *input, const char *output) {
    char command[kCommandLineSize];
    std::snprintf(command, sizeof command, kFallbackCommand, input, output);
    // The command interpreter's result says nothing the step acts on.
    static_cast<void>(std::system(command));
}
