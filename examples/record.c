/*
 * A minimal host in C: probes, records a few seconds of the screen into an
 * MP4 file and prints the summary.
 *
 *   record-example [FILE [SECONDS]]      (defaults: example.mp4, 3)
 */
#include <kestrova/screenrecorder.h>

#include <stdio.h>
#include <stdlib.h>

#if defined(_WIN32)
#include <windows.h>
static void sleep_ms(unsigned ms) {
    Sleep(ms);
}
#else
#include <time.h>
static void sleep_ms(unsigned ms) {
    struct timespec ts;
    ts.tv_sec = (time_t)(ms / 1000u);
    ts.tv_nsec = (long)(ms % 1000u) * 1000000L;
    nanosleep(&ts, NULL);
}
#endif

static int fail(const char *call, int32_t status) {
    fprintf(stderr, "%s failed with status %d: %s\n", call, (int)status, screenrecorder_last_error());
    return 1;
}

int main(int argc, char **argv) {
    const char *output = argc > 1 ? argv[1] : "example.mp4";
    int seconds = argc > 2 ? atoi(argv[2]) : 3;
    const char *json = NULL;
    int32_t job = 0;
    int32_t rc;
    int i;

    if (seconds < 1)
        seconds = 1;
    printf("library %s\n", screenrecorder_version());

    rc = screenrecorder_probe(&json);
    if (rc != 0)
        return fail("screenrecorder_probe", rc);
    printf("probe: %s\n", json);

    /* 30 frames per second, 4 Mbit/s H.264; any option left out keeps its default. */
    rc = screenrecorder_start(output, "{\"fps\":30,\"bitrate_kbps\":4000,\"codec\":\"h264\"}", &job);
    if (rc != 0)
        return fail("screenrecorder_start", rc);

    for (i = 0; i < seconds; ++i) {
        sleep_ms(1000);
        rc = screenrecorder_status(job, &json);
        if (rc != 0)
            return fail("screenrecorder_status", rc);
        printf("status: %s\n", json);
    }

    /* Waits until the file is complete; the summary stays valid until this
     * job number's slot is used again. */
    rc = screenrecorder_stop(job, &json);
    if (rc != 0)
        return fail("screenrecorder_stop", rc);
    printf("summary: %s\n", json);
    return 0;
}
