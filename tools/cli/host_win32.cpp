#include "cli/host.h"

#include <windows.h>

#include <atomic>

namespace cli {
namespace {

std::atomic<int> g_stop{0};
HANDLE g_stop_event = nullptr;

BOOL WINAPI on_console_event(DWORD type) {
    switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
        g_stop.store(1);
        if (g_stop_event != nullptr)
            SetEvent(g_stop_event);
        // Handled: the main thread stops the job and finishes the file.
        return TRUE;
    default:
        return FALSE;
    }
}

std::string utf8_of(const wchar_t *text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1)
        return {};
    std::string out(static_cast<std::size_t>(n - 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    return out;
}

std::string last_error_text(DWORD code) {
    wchar_t *message = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, code, 0, reinterpret_cast<wchar_t *>(&message), 0, nullptr);
    std::string text = n != 0 && message != nullptr ? utf8_of(message) : std::string();
    if (message != nullptr)
        LocalFree(message);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    char code_text[32];
    wsprintfA(code_text, "error %lu", static_cast<unsigned long>(code));
    return text.empty() ? std::string(code_text) : text + " (" + code_text + ")";
}

template <class F> bool look_up(HMODULE module, const char *name, F &out, std::string &error) {
    FARPROC proc = GetProcAddress(module, name);
    if (proc == nullptr) {
        error = std::string("the library has no export ") + name;
        return false;
    }
    // Through the generic function pointer type, which any function pointer
    // converts to and from.
    out = reinterpret_cast<F>(reinterpret_cast<void (*)()>(proc));
    return true;
}

} // namespace

bool win32_load_library(const std::string &file, library_api &api, std::string &error) {
    HMODULE module = nullptr;
    if (!file.empty()) {
        module = LoadLibraryA(file.c_str());
        if (module == nullptr) {
            error = "cannot load " + file + ": " + last_error_text(GetLastError());
            return false;
        }
    } else {
        // Only the program's own directory: never a DLL of the same name
        // from the current directory or the search path.
        wchar_t path[MAX_PATH + 40];
        DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
        if (n == 0 || n >= MAX_PATH) {
            error = "cannot find the program's own directory";
            return false;
        }
        DWORD slash = n;
        while (slash > 0 && path[slash - 1] != L'\\' && path[slash - 1] != L'/')
            --slash;
        const wchar_t name[] = L"kestrova-screenrecorder.dll";
        for (DWORD i = 0; i < sizeof name / sizeof name[0]; ++i)
            path[slash + i] = name[i];
        module = LoadLibraryW(path);
        if (module == nullptr) {
            error = "cannot load " + utf8_of(path) + ": " + last_error_text(GetLastError());
            return false;
        }
    }
    api.module = reinterpret_cast<void *>(module);
    const bool ok =
        bind_exports(api, [&](const char *name, auto &out) { return look_up(module, name, out, error); });
    if (!ok)
        win32_unload_library(api);
    return ok;
}

void win32_unload_library(library_api &api) {
    if (api.module != nullptr)
        FreeLibrary(reinterpret_cast<HMODULE>(api.module));
    api = library_api{};
}

void win32_install_stop_handlers() {
    if (g_stop_event == nullptr)
        g_stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

void win32_remove_stop_handlers() {
    SetConsoleCtrlHandler(on_console_event, FALSE);
    if (g_stop_event != nullptr) {
        CloseHandle(g_stop_event);
        g_stop_event = nullptr;
    }
}

bool win32_stop_requested() {
    return g_stop.load() != 0;
}

void win32_wait_ms(int64_t ms) {
    if (ms <= 0 || win32_stop_requested())
        return;
    DWORD wait = ms > 0x7fffffff ? 0x7fffffffu : static_cast<DWORD>(ms);
    if (g_stop_event != nullptr)
        WaitForSingleObject(g_stop_event, wait);
    else
        Sleep(wait);
}

bool win32_stdout_is_terminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

} // namespace cli
