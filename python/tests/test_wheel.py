"""The wheel: built by scripts/build-wheel.sh (or given as $KORVEL_WHEEL),
installed into a fresh virtual environment. Its FFmpeg and their dependencies
must come from korvel.libs under names no other copy shares, it may take
only what its platform tag promises from the system, and every operation, the
`korvel` command and `python -m korvel` must work from there. With
$KORVEL_DEBIAN_ROOT (a minimal Debian root made by
scripts/wheel/debian-root.sh) the same operations also run inside that root,
where there is no FFmpeg at all, and must give the host's results."""

from __future__ import annotations

import json
import os
import re
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

from conftest import ROOT

HERE = Path(__file__).resolve().parent
# What a manylinux wheel may take from the system.
SYSTEM = re.compile(r"^(linux-vdso\.so\.1|ld-linux-x86-64\.so\.2|lib(c|m|dl|rt|pthread)\.so\.\d"
                    r"|libgcc_s\.so\.1|libstdc\+\+\.so\.6)$")
FFMPEG = ("libavformat", "libavcodec", "libavutil", "libswresample", "libswscale")
# A bundled library: NAME-HASH.so.N, HASH 8 hex digits.
UNIQUE = re.compile(r"^(?P<base>[A-Za-z0-9_+.]+?)-[0-9a-f]{8}\.so(\.\d+)*$")
# The interpreter may map the system's zlib itself, so it is not in this list.
MEDIA_LIB = re.compile(r"/lib(av|sw|x264|mp3lame|vorbis|ogg|dav1d)")

# ffprobe facts of each result: (format_name, first stream's codec_name).
EXPECTED = {
    "convert_format": ("matroska,webm", "h264"),
    "convert_mpegts": ("mpegts", "h264"),
    "convert_webm": ("matroska,webm", "vorbis"),
    "trim_video": ("mov,mp4,m4a,3gp,3g2,mj2", "h264"),
    "mute_video": ("mov,mp4,m4a,3gp,3g2,mj2", "h264"),
    "strip_metadata": ("mov,mp4,m4a,3gp,3g2,mj2", "h264"),
    "set_metadata": ("mov,mp4,m4a,3gp,3g2,mj2", "h264"),
    "change_speed": ("mov,mp4,m4a,3gp,3g2,mj2", "h264"),
    "merge_videos": ("mov,mp4,m4a,3gp,3g2,mj2", "h264"),
    "extract_audio": ("ogg", "vorbis"),
    "extract_audio_mp3": ("mp3", "mp3"),
    "extract_audio_aac": ("aac", "aac"),
    "extract_audio_wav": ("wav", "pcm_s16le"),
    "adjust_volume": ("mov,mp4,m4a,3gp,3g2,mj2", "h264"),
    "reencode_video": ("mov,mp4,m4a,3gp,3g2,mj2", "h264"),
    "rotate_video": ("mov,mp4,m4a,3gp,3g2,mj2", "h264"),
    "reverse_video": ("mov,mp4,m4a,3gp,3g2,mj2", "h264"),
    "video_to_gif": ("gif", "gif"),
    "extract_frame": ("png_pipe", "png"),
    "extract_frame_jpeg": ("jpeg_pipe", "mjpeg"),
}


def clean_env():
    """No path to the build tree or another FFmpeg: the venv stands alone."""
    return {k: v for k, v in os.environ.items()
            if k not in ("LD_LIBRARY_PATH", "LD_PRELOAD", "KORVEL_LIBRARY", "PYTHONPATH")}


def run(*args, **kwargs) -> subprocess.CompletedProcess:
    kwargs.setdefault("env", clean_env())
    return subprocess.run([str(a) for a in args], check=True, stdout=subprocess.PIPE,
                          text=True, **kwargs)


@pytest.fixture(scope="module")
def wheel(tmp_path_factory) -> Path:
    given = os.environ.get("KORVEL_WHEEL")
    if given:
        return Path(given)
    out = tmp_path_factory.mktemp("wheel")
    made = run(ROOT / "scripts" / "build-wheel.sh", out, env=dict(os.environ))
    return Path(made.stdout.strip().splitlines()[-1])


@pytest.fixture(scope="module")
def site(wheel, tmp_path_factory) -> Path:
    env_dir = tmp_path_factory.mktemp("venv") / "env"
    run(sys.executable, "-m", "venv", env_dir)
    python = env_dir / "bin" / "python"
    run(python, "-m", "pip", "install", "-q", "--no-index", "--no-deps", wheel)
    platlib = run(python, "-c", "import sysconfig; print(sysconfig.get_paths()['platlib'])")
    return Path(platlib.stdout.strip())


def venv_bin(site: Path, name: str) -> Path:
    return site.parents[2] / "bin" / name


def run_operations(python, media_dir: Path, out: Path, *extra) -> dict:
    done = run(python, HERE / "wheel_runner.py", media_dir, out, *extra, cwd=str(out))
    return json.loads(done.stdout)


@pytest.fixture(scope="module")
def venv_run(site, media_dir, tmp_path_factory):
    out = tmp_path_factory.mktemp("venv-results")
    return out, run_operations(venv_bin(site, "python"), media_dir, out)


def elf_files(site: Path):
    bundle = site / "korvel.libs"
    return [site / "korvel" / "_lib" / "libkorvel.so", site / "korvel" / "_lib" / "korvel"] + \
        sorted(bundle.iterdir())


def needed(path: Path):
    dynamic = run("readelf", "-d", path).stdout
    return re.findall(r"\(NEEDED\).*\[(.*)\]", dynamic), re.findall(r"\(SONAME\).*\[(.*)\]", dynamic)


def ldd(path: Path):
    """(soname, resolved path or None) of every library the loader would load."""
    found = []
    for line in run("ldd", path).stdout.splitlines():
        parts = line.split()
        if len(parts) >= 3 and parts[1] == "=>":
            found.append((parts[0], None if parts[2] == "not" else parts[2]))
    return found


def test_layout_and_run_time_paths(site):
    library = site / "korvel" / "_lib" / "libkorvel.so"
    assert library.is_file() and (site / "korvel.libs").is_dir()
    assert run("patchelf", "--print-rpath", library).stdout.strip() == "$ORIGIN/../../korvel.libs"


def test_bundled_libraries_have_unique_names_and_resolve_in_the_bundle(site):
    bundle = (site / "korvel.libs").resolve()
    names = sorted(p.name for p in bundle.iterdir())
    bases = {UNIQUE.match(n).group("base") for n in names if UNIQUE.match(n)}
    assert [n for n in names if not UNIQUE.match(n)] == []
    assert set(FFMPEG) <= bases, names
    for target in elf_files(site):
        deps, soname = needed(target)
        if target.parent == bundle:
            assert soname == [target.name]  # the file name is the SONAME
        # Every dependency is bundled (by its unique name) or the system's.
        assert [d for d in deps if d not in names and d != "libkorvel.so" and not SYSTEM.match(d)] \
            == [], target.name
        for name, path in ldd(target):
            if SYSTEM.match(name):
                continue
            assert path is not None, f"{target.name}: {name} not found"
            assert Path(path).resolve().parent in (bundle, target.parent), f"{target.name}: {name}"


def test_platform_tag_covers_what_the_files_need(wheel, site):
    tag = re.search(r"-py3-none-manylinux_2_(\d+)_x86_64\.whl$", wheel.name)
    assert tag, wheel.name
    newest, cxx = 0, (0,)
    for target in elf_files(site):
        symbols = run("objdump", "-T", target).stdout
        newest = max([newest] + [int(m) for m in re.findall(r"GLIBC_2\.(\d+)", symbols)])
        cxx = max([cxx] + [tuple(map(int, m.split("."))) for m in
                           re.findall(r"GLIBCXX_(\d+\.\d+\.\d+)", symbols)])
    # The lowest glibc level whose libstdc++ offers that GLIBCXX: Ubuntu
    # 22.04 (glibc 2.35) ships 3.4.30, RHEL 9 (2.34) 3.4.29.
    floor = 35 if cxx >= (3, 4, 30) else 34 if cxx >= (3, 4, 29) else 0
    assert int(tag.group(1)) == max(newest, floor)


def test_size_limits(wheel):
    with zipfile.ZipFile(wheel) as archive:
        unpacked = sum(info.file_size for info in archive.infolist())
        names = archive.namelist()
    assert wheel.stat().st_size <= 15 * 2 ** 20
    assert unpacked <= 45 * 2 ** 20
    # The licences travel with the binaries.
    licences = {Path(n).name for n in names if "/licenses/" in n}
    assert {"LICENSE", "ffmpeg-COPYING.GPLv2", "ffmpeg-COPYING.LGPLv2.1", "GPL-2"} <= licences
    for project in ("x264", "mp3lame", "vorbis", "ogg", "dav1d", "zlib"):
        assert any(project in n for n in licences), (project, licences)


def test_metadata_version_is_the_cmake_project_version(site):
    cmake = re.search(r"project\(korvel VERSION ([0-9.]+)", (ROOT / "CMakeLists.txt").read_text())
    version = run(venv_bin(site, "python"), "-c",
                  "import importlib.metadata as m; print(m.version('korvel'))").stdout.strip()
    assert version == cmake.group(1)


def test_command_and_module_run_the_bundled_tool(site, media_dir, oracle, tmp_path):
    clip = media_dir / "av.mp4"
    by_command = json.loads(run(venv_bin(site, "korvel"), "info", clip).stdout)
    by_module = json.loads(run(venv_bin(site, "python"), "-m", "korvel", "info", clip).stdout)
    assert by_command == by_module
    assert (by_command["width"], by_command["height"]) == (160, 120)
    # Bytes through pipes, and the tool's exit status for bad arguments.
    mkv = subprocess.run([str(venv_bin(site, "korvel")), "convert", "-", "-", "--format", "matroska"],
                         input=clip.read_bytes(), stdout=subprocess.PIPE, check=True,
                         env=clean_env()).stdout
    assert oracle.probe(mkv)["format"]["format_name"] == "matroska,webm"
    wrong = subprocess.run([str(venv_bin(site, "python")), "-m", "korvel", "rotate"],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=clean_env())
    assert wrong.returncode == 2


def test_own_ffmpeg_is_used_when_the_system_one_is_loaded_first(site, media_dir, tmp_path):
    system = next((p for p in ("/usr/lib/x86_64-linux-gnu/libavformat.so.59",
                               "/usr/lib/x86_64-linux-gnu/libavformat.so.58") if Path(p).exists()), None)
    if system is None:
        pytest.skip("no system libavformat to load first")
    report = run_operations(venv_bin(site, "python"), media_dir, tmp_path, "--load-first", system)
    assert report["errors"] == {}
    bundle = str((site / "korvel.libs").resolve())
    mapped = report["mapped"]
    assert str(Path(system).resolve()) in mapped
    # Both copies are in the process, and korvel's NEEDED entries took its own.
    for lib in FFMPEG:
        assert any(p.startswith(bundle + "/" + lib + "-") for p in mapped), (lib, mapped)


def test_operations_load_ffmpeg_from_the_bundle(site, venv_run):
    _, report = venv_run
    bundle = str((site / "korvel.libs").resolve())
    library = (site / "korvel" / "_lib" / "libkorvel.so").resolve()
    assert str(library) in report["mapped"]
    media_libs = [p for p in report["mapped"] if MEDIA_LIB.search(p)]
    assert media_libs and [p for p in media_libs if not p.startswith(bundle)] == []


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
    assert (report["info"]["width"], report["info"]["height"]) == (160, 120)


def facts(oracle, data: bytes) -> dict:
    """What ffprobe says about a result, without fields an encoder may vary."""
    probed = oracle.probe(data)
    keep = ("codec_type", "codec_name", "width", "height", "sample_rate", "channels", "pix_fmt")
    return {"format": probed["format"]["format_name"],
            "duration": round(float(probed["format"].get("duration", 0)), 1),
            "streams": [{k: s.get(k) for k in keep} for s in probed["streams"]]}


@pytest.fixture(scope="module")
def debian_root():
    root = os.environ.get("KORVEL_DEBIAN_ROOT")
    if not root:
        pytest.skip("no minimal Debian root given (KORVEL_DEBIAN_ROOT)")
    return Path(root)


def test_operations_in_a_minimal_debian_root_match_the_host(debian_root, wheel, media_dir,
                                                             venv_run, oracle):
    """The wheel in a venv inside a Debian root without FFmpeg gives the same
    results as on the host."""
    work = debian_root / "tmp" / "korvel-wheel-test"
    shutil.rmtree(work, ignore_errors=True)
    (work / "out").mkdir(parents=True)
    shutil.copy(wheel, work)
    shutil.copytree(media_dir, work / "media")
    shutil.copy(HERE / "wheel_runner.py", work)
    inside = "/tmp/korvel-wheel-test"
    # /proc for the venv and for the report's /proc/self/maps, unmounted on exit.
    script = (f"set -e; mount -t proc proc /proc; trap 'umount /proc' EXIT; "
              f"cd {inside}; python3 -m venv env; "
              f"env/bin/pip install -q --no-index --no-deps {inside}/{wheel.name}; "
              f"env/bin/python wheel_runner.py media out")
    done = run("chroot", debian_root, "/bin/sh", "-c", script,
               env={"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "HOME": "/root", "LANG": "C.UTF-8"})
    report = json.loads(done.stdout.strip().splitlines()[-1])
    assert report["errors"] == {}
    assert not any(MEDIA_LIB.search(p) and "/korvel.libs/" not in p for p in report["mapped"])
    host_out, host = venv_run
    assert report["info"] == host["info"]
    for operation in sorted(EXPECTED):
        assert facts(oracle, (work / "out" / operation).read_bytes()) == \
            facts(oracle, (host_out / operation).read_bytes()), operation
