/*
 * kestrova-screenrecorder: records the desktop into MP4 (H.264 or HEVC with a
 * silent AAC track) or GIF files, and takes PNG screenshots.
 *
 * Every call runs on the caller's thread. A status of 0 means success; a
 * negative status means failure, and screenrecorder_last_error() then holds
 * the message. Result texts are JSON kept in the library's own static
 * buffers: the caller never frees them, and a later call may overwrite them.
 * Options are a JSON object text (see the README); NULL or "" means defaults,
 * and a malformed text is never an error.
 */
#ifndef KESTROVA_SCREENRECORDER_H
#define KESTROVA_SCREENRECORDER_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(KESTROVA_SCREENRECORDER_BUILD)
#define KESTROVA_SR_API
#else
#define KESTROVA_SR_API __declspec(dllimport)
#endif
#else
#define KESTROVA_SR_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The version text "1.0.0"; always the same pointer. */
KESTROVA_SR_API const char *screenrecorder_version(void);

/* The message of the most recent failure of any call; "" before the first.
 * Always the same pointer, never NULL. A successful call leaves it alone. */
KESTROVA_SR_API const char *screenrecorder_last_error(void);

/* Reports the first display's size, the capture method and whether a default
 * audio capture device exists.
 * 0: *out_json points to the probe text.
 * -1: out_json is NULL ("out_json pointer is NULL"). */
KESTROVA_SR_API int32_t screenrecorder_probe(const char **out_json);

/* Writes one rectangle of the screen (or the test pattern when no grab is
 * possible) to the PNG file output_path. out_json may be NULL.
 * 0: success, *out_json (when given) points to the result text.
 * -1: output_path NULL or empty ("output PNG path cannot be empty").
 * -2: no such display ("display index %d out of range").
 * -3: no memory for the pixels ("out of memory for screenshot buffer").
 * -4: the PNG could not be written ("failed to write PNG file '%s': rc %d"). */
KESTROVA_SR_API int32_t screenrecorder_screenshot(const char *output_path, const char *options_json,
                                                  const char **out_json);

/* Starts a recording job into output_path (MP4, or a GIF with {"gif":true}).
 * 0: *out_job receives the job number, 1 to 8.
 * -1: output_path NULL or empty ("output path cannot be empty"), out_job NULL
 *     ("job pointer is NULL"), or output_path too long ("output path too long").
 * -2: no such display ("display index %d out of range").
 * -3: 8 jobs are running ("maximum concurrent recording jobs reached (8)").
 * -4: the worker thread could not be created ("failed to create recording thread"). */
KESTROVA_SR_API int32_t screenrecorder_start(const char *output_path, const char *options_json,
                                             int32_t *out_job);

/* Reports elapsed seconds, current file size and dropped frames of a job.
 * 0: *out_json points to the job's status text.
 * -1: out_json NULL ("out_json pointer is NULL") or no such job
 *     ("invalid job handle %d"). */
KESTROVA_SR_API int32_t screenrecorder_status(int32_t job, const char **out_json);

/* Stops a job, waits until its file is complete (and, for a GIF job, converted)
 * and frees the job number. out_json may be NULL.
 * 0: *out_json (when given) points to the job's summary text.
 * -1: no such job ("invalid job handle %d"). */
KESTROVA_SR_API int32_t screenrecorder_stop(int32_t job, const char **out_json);

#ifdef __cplusplus
}
#endif

#endif /* KESTROVA_SCREENRECORDER_H */
