#!/usr/bin/env python3
"""A host in Python with ctypes: records a few seconds of the screen and
prints the summary.

    python3 examples/record.py [--library FILE] [--seconds N] [--options JSON] [OUTPUT]

Without --library it loads libkestrova-screenrecorder.so.1 (or
kestrova-screenrecorder.dll on Windows) through the normal library search,
so LD_LIBRARY_PATH can point at a build or an install.
"""
import argparse
import ctypes
import json
import os
import sys
import time


def load(path):
    if not path:
        path = "kestrova-screenrecorder.dll" if os.name == "nt" else "libkestrova-screenrecorder.so.1"
    lib = ctypes.CDLL(path)
    text = ctypes.c_char_p
    out_text = ctypes.POINTER(ctypes.c_char_p)
    status = ctypes.c_int32
    # Every export, with its exact C signature.
    for name, restype, argtypes in (
        ("screenrecorder_version", text, []),
        ("screenrecorder_last_error", text, []),
        ("screenrecorder_probe", status, [out_text]),
        ("screenrecorder_screenshot", status, [text, text, out_text]),
        ("screenrecorder_start", status, [text, text, ctypes.POINTER(ctypes.c_int32)]),
        ("screenrecorder_status", status, [ctypes.c_int32, out_text]),
        ("screenrecorder_stop", status, [ctypes.c_int32, out_text]),
    ):
        fn = getattr(lib, name)
        fn.restype = restype
        fn.argtypes = argtypes
    return lib


class LibraryError(Exception):
    pass


def check(lib, call, rc):
    if rc != 0:
        raise LibraryError(f"{call} failed with status {rc}: {lib.screenrecorder_last_error().decode()}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output", nargs="?", default="example.mp4")
    parser.add_argument("--library", help="the library file to load")
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--options", default='{"fps":30}', help="the options document")
    args = parser.parse_args()

    lib = load(args.library)
    print("library", lib.screenrecorder_version().decode())

    text = ctypes.c_char_p()
    check(lib, "screenrecorder_probe", lib.screenrecorder_probe(ctypes.byref(text)))
    print("probe:", text.value.decode())

    # Paths are passed as the bytes they are made of.
    job = ctypes.c_int32()
    check(lib, "screenrecorder_start",
          lib.screenrecorder_start(os.fsencode(args.output), args.options.encode(), ctypes.byref(job)))
    try:
        end = time.monotonic() + args.seconds
        while time.monotonic() < end:
            time.sleep(min(1.0, max(0.0, end - time.monotonic())))
            check(lib, "screenrecorder_status", lib.screenrecorder_status(job, ctypes.byref(text)))
            print("status:", text.value.decode())
    finally:
        # Always stop: the job's file is complete only after the stop.
        check(lib, "screenrecorder_stop", lib.screenrecorder_stop(job, ctypes.byref(text)))
    summary = json.loads(text.value)
    print("summary:", text.value.decode())
    if summary["frames"] == 0:
        print(f"no frames were recorded into {args.output}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (OSError, LibraryError) as e:
        print(f"record.py: {e}", file=sys.stderr)
        sys.exit(1)
