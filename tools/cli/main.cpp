// kestrova-screenrecorder: probes, screenshots and recordings from the
// command line, through the library's seven exports only.
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "cli/cli.h"
#include "cli/host.h"

namespace {

constexpr const char *k_program = "kestrova-screenrecorder";

// Exit codes: 0 success, 1 a failed call or recording, 2 a refused command line.
constexpr int k_exit_failure = 1;
constexpr int k_exit_usage = 2;

int report_failure(const cli::library_api &api, const char *call, int32_t status) {
    const char *message = api.last_error();
    std::fprintf(stderr, "%s: %s failed with status %d: %s\n", k_program, call, static_cast<int>(status),
                 message != nullptr && message[0] != '\0' ? message : "(no message)");
    return k_exit_failure;
}

void print_line(const char *text) {
    // A text pointer the library left unset prints as an empty line.
    std::fputs(text != nullptr ? text : "", stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void print_line(const std::string &text) {
    std::fputs(text.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

const char *options_or_null(const std::string &document) {
    return document.empty() ? nullptr : document.c_str();
}

int run_probe(const cli::library_api &api, const cli::request &req) {
    const char *json = nullptr;
    int32_t rc = api.probe(&json);
    if (rc != 0)
        return report_failure(api, "screenrecorder_probe", rc);
    auto text = req.json ? std::nullopt : cli::format_probe(json);
    if (text)
        std::fputs(text->c_str(), stdout);
    else
        print_line(json);
    return 0;
}

int run_screenshot(const cli::library_api &api, const cli::request &req) {
    std::string options = cli::options_document(req);
    const char *json = nullptr;
    int32_t rc = api.screenshot(req.file.c_str(), options_or_null(options), &json);
    if (rc != 0)
        return report_failure(api, "screenrecorder_screenshot", rc);
    auto text = req.json ? std::nullopt : cli::format_screenshot(json);
    if (text)
        print_line("wrote " + *text);
    else
        print_line(json);
    return 0;
}

// The live status line on a terminal: redrawn in place, padded so that a
// shorter line covers the previous one.
struct status_line {
    std::size_t shown = 0;

    void draw(const std::string &text) {
        std::string line = "\r" + text;
        if (text.size() < shown)
            line.append(shown - text.size(), ' ');
        shown = text.size();
        std::fputs(line.c_str(), stdout);
        std::fflush(stdout);
    }
    void finish() {
        if (shown == 0)
            return;
        std::fputc('\n', stdout);
        std::fflush(stdout);
        shown = 0;
    }
};

// Starts the job, reports on it until the duration has passed or a stop is
// requested, then stops it and prints the summary.
int record_until_stopped(const cli::library_api &api, const cli::request &req, const std::string &options) {
    using clock = std::chrono::steady_clock;
    const bool terminal = !req.json && cli::stdout_is_terminal();
    // A terminal gets a few redraws a second; logs and scripts a line a second.
    const auto interval = std::chrono::milliseconds(terminal ? 250 : 1000);

    int32_t job = 0;
    int32_t rc = api.start(req.file.c_str(), options_or_null(options), &job);
    if (rc != 0)
        return report_failure(api, "screenrecorder_start", rc);

    const auto started = clock::now();
    const bool timed = req.duration_s.has_value();
    const auto deadline = started + std::chrono::duration_cast<clock::duration>(
                                        std::chrono::duration<double>(timed ? *req.duration_s : 0));
    auto next_report = started;
    status_line live;
    bool status_failed = false;

    while (!cli::stop_requested()) {
        auto now = clock::now();
        if (timed && now >= deadline)
            break;
        if (now >= next_report) {
            const char *json = nullptr;
            int32_t st = api.status(job, &json);
            if (st != 0) {
                live.finish();
                report_failure(api, "screenrecorder_status", st);
                status_failed = true;
                break;
            }
            auto values = cli::read_status(json);
            if (req.json || !values)
                print_line(json);
            else if (terminal)
                live.draw("recording " + std::string(cli::base_name(req.file)) + "  " +
                          cli::format_status(*values));
            else
                print_line("recording " + req.file + ": " + cli::format_status(*values));
            next_report += interval;
            if (next_report < now)
                next_report = now + interval;
        }
        auto wake = timed && deadline < next_report ? deadline : next_report;
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(wake - clock::now()).count();
        cli::wait_ms(wait > 0 ? wait : 1);
    }

    if (terminal)
        live.draw("finishing " + std::string(cli::base_name(req.file)) + " ...");
    live.finish();
    const char *summary = nullptr;
    rc = api.stop(job, &summary);
    if (rc != 0)
        return report_failure(api, "screenrecorder_stop", rc);

    auto values = cli::read_summary(summary);
    if (req.json || !values)
        print_line(summary);
    else
        print_line("wrote " + cli::format_summary(*values));
    if (status_failed)
        return k_exit_failure;
    if (values && values->frames == 0) {
        std::fprintf(stderr, "%s: the recording ended with 0 frames: nothing was recorded into %s\n",
                     k_program, req.file.c_str());
        return k_exit_failure;
    }
    return 0;
}

int run_record(const cli::library_api &api, const cli::request &req) {
    std::string options = cli::options_document(req);
    // Handlers first, so that a signal arriving right after the start still
    // ends in a clean stop.
    cli::install_stop_handlers();
    int code = record_until_stopped(api, req, options);
    cli::remove_stop_handlers();
    return code;
}

} // namespace

int main(int argc, char **argv) {
    std::vector<std::string_view> args;
    for (int i = 1; i < argc; ++i)
        args.emplace_back(argv[i]);

    cli::parse_result parsed = cli::parse_command_line(args);
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "%s: %s\n\n%s", k_program, parsed.error.c_str(),
                     cli::usage(parsed.usage_of).c_str());
        return k_exit_usage;
    }
    const cli::request &req = parsed.req;
    if (req.cmd == cli::command::help || req.help) {
        std::fputs(cli::usage(req.cmd == cli::command::help ? cli::command::none : req.cmd).c_str(), stdout);
        return 0;
    }

    cli::library_api api;
    std::string error;
    if (!cli::load_library(req.library, api, error)) {
        std::fprintf(stderr, "%s: %s\n", k_program, error.c_str());
        return k_exit_failure;
    }

    int code = 0;
    switch (req.cmd) {
    case cli::command::version:
        std::printf("%s %s (library %s)\n", k_program, KSR_TOOL_VERSION, api.version());
        break;
    case cli::command::probe:
        code = run_probe(api, req);
        break;
    case cli::command::screenshot:
        code = run_screenshot(api, req);
        break;
    case cli::command::record:
        code = run_record(api, req);
        break;
    default:
        break;
    }
    cli::unload_library(api);
    return code;
}
