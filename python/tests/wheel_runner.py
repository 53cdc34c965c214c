"""Runs every operation of an installed korvel on the test inputs and prints a
JSON report: the shared objects the process has mapped, errors, and the info
report. The results are written into OUT, one file per operation.

Usage: python wheel_runner.py MEDIA_DIR OUT_DIR [--load-first LIBRARY]

With --load-first, LIBRARY (say the system's libavformat.so.59) is loaded
into the process with RTLD_GLOBAL before korvel is imported, the way another
extension module may have done it. Used by the wheel tests on the host and
inside a minimal Debian root, so it needs nothing but korvel and Python."""

import ctypes
import json
import sys
from pathlib import Path

media, out = Path(sys.argv[1]), Path(sys.argv[2])
if len(sys.argv) == 5 and sys.argv[3] == "--load-first":
    ctypes.CDLL(sys.argv[4], mode=ctypes.RTLD_GLOBAL)

import korvel  # noqa: E402  (after the library loaded first)

av, av2 = (media / "av.mp4").read_bytes(), (media / "av2.mp4").read_bytes()
tone, ramp = (media / "tone.wav").read_bytes(), (media / "ramp.mp4").read_bytes()
calls = {
    "convert_format": lambda: korvel.convert(av, "matroska"),
    "convert_mpegts": lambda: korvel.convert(av, "mpegts"),
    "convert_webm": lambda: korvel.convert(korvel.extract_audio(tone, "ogg"), "webm"),
    "trim_video": lambda: korvel.trim(av, start=0.5, end=1.5),
    "mute_video": lambda: korvel.mute(av),
    "strip_metadata": lambda: korvel.strip_metadata(av),
    "set_metadata": lambda: korvel.set_metadata(av, "title", "Wheel"),
    "change_speed": lambda: korvel.change_speed(av, 2.0),
    "merge_videos": lambda: korvel.merge(av, av2),
    "extract_audio": lambda: korvel.extract_audio(tone, "ogg"),
    "extract_audio_mp3": lambda: korvel.extract_audio(av, "mp3"),
    "extract_audio_aac": lambda: korvel.extract_audio(av, "aac"),
    "extract_audio_wav": lambda: korvel.extract_audio(av, "wav"),
    "adjust_volume": lambda: korvel.adjust_volume(av, 0.5),
    "reencode_video": lambda: korvel.reencode(av, preset="ultrafast", width=80),
    "rotate_video": lambda: korvel.rotate(av, 90),
    "reverse_video": lambda: korvel.reverse(ramp),
    "video_to_gif": lambda: korvel.to_gif(ramp, fps=5, width=80),
    "extract_frame": lambda: korvel.extract_frame(ramp, time=1.0, format="png"),
    "extract_frame_jpeg": lambda: korvel.extract_frame(ramp, time=1.0, format="jpeg"),
}
report = {"errors": {}, "log_libavutil": korvel._log.LIBAVUTIL_PATH}
try:
    korvel.convert(av, "wav")  # two streams: the muxer refuses, with a reason
except korvel.KorvelError as error:
    report["failure_lines"] = list(error.lines)
try:
    report["info"] = korvel.info(av)
except Exception as error:
    report["errors"]["get_video_info"] = repr(error)
for name, call in calls.items():
    try:
        (out / name).write_bytes(call())
    except Exception as error:
        report["errors"][name] = repr(error)
maps = Path("/proc/self/maps").read_text()
report["mapped"] = sorted({line.split()[-1] for line in maps.splitlines()
                           if ".so" in line.split()[-1]})
print(json.dumps(report))
