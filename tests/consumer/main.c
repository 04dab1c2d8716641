/* Calls the library through the installed header and import library or
 * shared object: the version, the empty last error, and a failing call that
 * must set the message. Exits 0 when all of them answer as documented. */
#include <kestrova/screenrecorder.h>

#include <stdio.h>
#include <string.h>

int main(void) {
    const char *json = NULL;
    int32_t job = 0;
    int failures = 0;

    if (strcmp(screenrecorder_version(), "1.0.0") != 0) {
        printf("version: %s\n", screenrecorder_version());
        ++failures;
    }
    if (screenrecorder_last_error() == NULL || screenrecorder_last_error()[0] != '\0') {
        printf("last error is not empty at start\n");
        ++failures;
    }
    if (screenrecorder_start("", NULL, &job) != -1 ||
        strcmp(screenrecorder_last_error(), "output path cannot be empty") != 0) {
        printf("start with an empty path: %s\n", screenrecorder_last_error());
        ++failures;
    }
    if (screenrecorder_status(9, &json) != -1 || strcmp(screenrecorder_last_error(), "invalid job handle 9") != 0) {
        printf("status of job 9: %s\n", screenrecorder_last_error());
        ++failures;
    }
    printf("consumer: library %s, %s\n", screenrecorder_version(), failures == 0 ? "ok" : "FAILED");
    return failures == 0 ? 0 : 1;
}
