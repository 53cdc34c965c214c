#!/usr/bin/env python3
"""In-process time and peak memory of every operation on the hostile inputs:
one process per call, the library loaded and the input read before the clock
starts, so the figures are the call's own.

Usage: measure-hostile-inprocess.py LIBKORVEL INPUT_DIR
"""
import ctypes
import os
import resource
import subprocess
import sys
import time

U8P, U64P = ctypes.POINTER(ctypes.c_uint8), ctypes.POINTER(ctypes.c_uint64)
CALLS = {
    "get_video_info": lambda k, d, n, o: k.get_video_info(d, n),
    "convert_format": lambda k, d, n, o: k.convert_format(d, n, b"matroska", o),
    "trim_video": lambda k, d, n, o: k.trim_video(d, n, o, ctypes.c_double(0.1), ctypes.c_double(0.5)),
    "mute_video": lambda k, d, n, o: k.mute_video(d, n, o),
    "strip_metadata": lambda k, d, n, o: k.strip_metadata(d, n, o),
    "set_metadata": lambda k, d, n, o: k.set_metadata(d, n, b"title", b"x", o),
    "change_speed": lambda k, d, n, o: k.change_speed(d, n, o, ctypes.c_double(2.0)),
    "merge_videos": lambda k, d, n, o: k.merge_videos(d, n, d, n, o),
    "extract_audio": lambda k, d, n, o: k.extract_audio(d, n, b"mp3", o),
    "adjust_volume": lambda k, d, n, o: k.adjust_volume(d, n, o, ctypes.c_double(0.5)),
    "reencode_video": lambda k, d, n, o: k.reencode_video(d, n, 30, b"ultrafast", 0, 0, o),
    "rotate_video": lambda k, d, n, o: k.rotate_video(d, n, 90, o),
    "reverse_video": lambda k, d, n, o: k.reverse_video(d, n, o),
    "video_to_gif": lambda k, d, n, o: k.video_to_gif(d, n, 10, 320, o, ctypes.c_double(0), ctypes.c_double(0)),
    "extract_frame": lambda k, d, n, o: k.extract_frame(d, n, b"png", o, ctypes.c_double(0.5)),
}


def child(library, path, name):
    k = ctypes.CDLL(library)
    for f in CALLS:
        getattr(k, f).restype = ctypes.c_void_p
    data = open(path, "rb").read()
    buf = (ctypes.c_uint8 * len(data)).from_buffer_copy(data)
    out = ctypes.c_uint64(0)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    start = time.perf_counter()
    result = CALLS[name](k, buf, ctypes.c_uint64(len(data)), ctypes.byref(out))
    elapsed = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print("%.3f %d %s" % (elapsed, (after - before) // 1024, "result" if result else "null"))


def main():
    if len(sys.argv) == 4:
        return child(*sys.argv[1:])
    library, inputs = sys.argv[1:3]
    print("%-20s %-16s %8s %9s %s" % ("input", "operation", "seconds", "MiB_grown", "outcome"))
    for input_name in sorted(os.listdir(inputs)):
        for name in CALLS:
            line = subprocess.run([sys.executable, __file__, library,
                                   os.path.join(inputs, input_name), name],
                                  capture_output=True, text=True).stdout.strip() or "crashed"
            print("%-20s %-16s %s" % (input_name, name, line.replace(" ", "  ")))


if __name__ == "__main__":
    main()
