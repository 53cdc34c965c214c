"""The wheel: built by scripts/build-wheel.sh from the CMake build (or given as
$KORVEL_WHEEL), installed into a fresh virtual environment, where the FFmpeg
libraries and their dependencies must come from korvel.libs and every
operation must run."""

from __future__ import annotations

import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import ROOT

# Libraries that stay the system's (the C library, its loader, the C++ runtime).
SYSTEM = re.compile(r"^(linux-vdso|ld-linux.*|lib(c|m|mvec|dl|rt|pthread|util|resolv|nsl|anl)"
                    r"|libstdc\+\+|libgcc_s)\.so")
FFMPEG = ("libavformat", "libavcodec", "libavutil")

RUNNER = r'''
import json, sys
from pathlib import Path
import korvel
media, out = Path(sys.argv[1]), Path(sys.argv[2])
av, av2 = (media / "av.mp4").read_bytes(), (media / "av2.mp4").read_bytes()
tone, ramp = (media / "tone.wav").read_bytes(), (media / "ramp.mp4").read_bytes()
calls = {
    "convert_format": lambda: korvel.convert(av, "matroska"),
    "trim_video": lambda: korvel.trim(av, start=0.5, end=1.5),
    "mute_video": lambda: korvel.mute(av),
    "strip_metadata": lambda: korvel.strip_metadata(av),
    "set_metadata": lambda: korvel.set_metadata(av, "title", "Wheel"),
    "change_speed": lambda: korvel.change_speed(av, 2.0),
    "merge_videos": lambda: korvel.merge(av, av2),
    "extract_audio": lambda: korvel.extract_audio(tone, "ogg"),
    "adjust_volume": lambda: korvel.adjust_volume(av, 0.5),
    "reencode_video": lambda: korvel.reencode(av, preset="ultrafast", width=80),
    "rotate_video": lambda: korvel.rotate(av, 90),
    "reverse_video": lambda: korvel.reverse(ramp),
    "video_to_gif": lambda: korvel.to_gif(ramp, fps=5, width=80),
    "extract_frame": lambda: korvel.extract_frame(ramp, time=1.0, format="png"),
}
report = {"library": korvel._native.PATH, "errors": {},
          "log_libavutil": korvel._log.LIBAVUTIL_PATH}
try:
    korvel.convert(av, "wav")
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
# The files of every shared object the process has mapped.
report["mapped"] = sorted({line.split()[-1] for line in maps.splitlines()
                           if ".so" in line.split()[-1]})
print(json.dumps(report))
'''

# ffprobe facts of each result: (format_name, first stream's codec_name).
EXPECTED = {
    "convert_format": ("matroska,webm", "h264"),
    "trim_video": ("mov,mp4,m4a,3gp,3g2,mj2", "h264"),
    "mute_video": ("mov,mp4,m4a,3gp,3g2,mj2", "h264"),
    "strip_metadata": ("mov,mp4,m4a,3gp,3g2,mj2", "h264"),
    "set_metadata": ("mov,mp4,m4a,3gp,3g2,mj2", "h264"),
    "change_speed": ("mov,mp4,m4a,3gp,3g2,mj2", "h264"),
    "merge_videos": ("mov,mp4,m4a,3gp,3g2,mj2", "h264"),
    "extract_audio": ("ogg", "vorbis"),
    "adjust_volume": ("mov,mp4,m4a,3gp,3g2,mj2", "h264"),
    "reencode_video": ("mov,mp4,m4a,3gp,3g2,mj2", "h264"),
    "rotate_video": ("mov,mp4,m4a,3gp,3g2,mj2", "h264"),
    "reverse_video": ("mov,mp4,m4a,3gp,3g2,mj2", "h264"),
    "video_to_gif": ("gif", "gif"),
    "extract_frame": ("png_pipe", "png"),
}


def clean_env():
    """No path to the build tree or another FFmpeg: the venv stands alone."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("LD_LIBRARY_PATH", "LD_PRELOAD", "KORVEL_LIBRARY", "PYTHONPATH")}
    return env


@pytest.fixture(scope="module")
def wheel(tmp_path_factory) -> Path:
    given = os.environ.get("KORVEL_WHEEL")
    if given:
        return Path(given)
    build = Path(os.environ["KORVEL_LIBRARY"]).resolve().parent
    out = tmp_path_factory.mktemp("wheel")
    # Built with the caller's library path, so that a build against a
    # non-system FFmpeg bundles that FFmpeg.
    made = subprocess.run([str(ROOT / "scripts" / "build-wheel.sh"), str(build), str(out)],
                          check=True, stdout=subprocess.PIPE, text=True)
    return Path(made.stdout.strip().splitlines()[-1])


@pytest.fixture(scope="module")
def site(wheel, tmp_path_factory) -> Path:
    env_dir = tmp_path_factory.mktemp("venv") / "env"
    subprocess.run([sys.executable, "-m", "venv", str(env_dir)], check=True, env=clean_env())
    python = env_dir / "bin" / "python"
    subprocess.run([str(python), "-m", "pip", "install", "-q", "--no-index", "--no-deps",
                    str(wheel)], check=True, env=clean_env())
    platlib = subprocess.run([str(python), "-c", "import sysconfig; print(sysconfig.get_paths()['platlib'])"],
                             check=True, stdout=subprocess.PIPE, text=True, env=clean_env())
    return Path(platlib.stdout.strip())


@pytest.fixture(scope="module")
def venv_run(site, media_dir, tmp_path_factory):
    out = tmp_path_factory.mktemp("venv-results")
    script = out / "runner.py"
    script.write_text(RUNNER)
    python = site.parents[2] / "bin" / "python"
    done = subprocess.run([str(python), str(script), str(media_dir), str(out)], check=True,
                          stdout=subprocess.PIPE, text=True, env=clean_env(), cwd=str(out))
    return out, json.loads(done.stdout)


def ldd(path: Path):
    """(soname, resolved path or None) of every library the loader would load."""
    listing = subprocess.run(["ldd", str(path)], check=True, stdout=subprocess.PIPE, text=True,
                             env=clean_env()).stdout
    found = []
    for line in listing.splitlines():
        parts = line.split()
        if len(parts) >= 3 and parts[1] == "=>":
            found.append((parts[0], None if parts[2] == "not" else parts[2]))
    return found


def test_library_lies_two_folders_below_site_packages(site):
    library = site / "korvel" / "_lib" / "libkorvel.so"
    assert library.is_file()
    assert (site / "korvel.libs").is_dir()
    runpath = subprocess.run(["patchelf", "--print-rpath", str(library)], check=True,
                             stdout=subprocess.PIPE, text=True).stdout.strip()
    assert runpath == "$ORIGIN/../../korvel.libs"


def test_every_library_resolves_inside_korvel_libs(site):
    bundle = (site / "korvel.libs").resolve()
    bundled = sorted(p.name for p in bundle.iterdir())
    assert all(any(name.startswith(f + ".so") for name in bundled) for f in FFMPEG), bundled
    # From libkorvel.so, and from each bundled library on its own ($ORIGIN).
    for target in [site / "korvel" / "_lib" / "libkorvel.so"] + sorted(bundle.iterdir()):
        for soname, path in ldd(target):
            if SYSTEM.match(soname):
                continue
            assert path is not None, f"{target.name}: {soname} not found"
            assert Path(path).resolve().parent == bundle, f"{target.name}: {soname} => {path}"


def test_operations_load_ffmpeg_from_the_bundle(site, venv_run):
    _, report = venv_run
    assert Path(report["library"]).resolve() == (site / "korvel" / "_lib" / "libkorvel.so").resolve()
    bundle = str((site / "korvel.libs").resolve())
    media_libs = [p for p in report["mapped"]
                  if re.search(r"/lib(av|sw|x264|x265|mp3lame|vorbis|opus|vpx|aom|dav1d)", p)]
    assert media_libs
    assert [p for p in media_libs if not p.startswith(bundle)] == []


def test_log_bridge_hooks_the_bundled_libavutil(site, venv_run):
    # Found through libkorvel's own dependencies, whatever the bundle calls it,
    # and working: the failure carries FFmpeg's line.
    _, report = venv_run
    bundle = str((site / "korvel.libs").resolve())
    assert os.path.realpath(report["log_libavutil"]).startswith(bundle + os.sep)
    assert any("one stream" in line for line in report["failure_lines"])


def test_info_runs_from_the_venv(venv_run):
    _, report = venv_run
    assert "get_video_info" not in report["errors"]
    assert (report["info"]["width"], report["info"]["height"]) == (160, 120)


@pytest.mark.parametrize("operation", sorted(EXPECTED))
def test_operation_runs_from_the_venv(venv_run, oracle, operation):
    out, report = venv_run
    assert operation not in report["errors"], report["errors"][operation]
    probed = oracle.probe((out / operation).read_bytes())
    assert (probed["format"]["format_name"], probed["streams"][0]["codec_name"]) == \
        EXPECTED[operation]
