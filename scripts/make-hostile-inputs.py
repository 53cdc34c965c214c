#!/usr/bin/env python3
"""Makes small damaged or hostile media files for the robustness tests and
scripts/measure-hostile.sh.

Usage: make-hostile-inputs.py OUTPUT_DIR

Each file is built from a clean stream the ffmpeg CLI makes, then patched:
  cut_faststart.mp4   fast-start MP4 cut 64 bytes into its media data
  stereo_to_mono.mp3  MP3 frames that go from stereo to mono mid-stream
  huge_stsz.mp4       video track whose constant-size sample table claims
                      0x7FFFFFF0 samples
  info_2gb.wav        WAV whose LIST/INFO entries each claim 2 GB
  sps_16000.h264      raw H.264 whose sequence header claims 16000x16000
Existing files are kept.
"""
import os
import struct
import subprocess
import sys
import tempfile


def ffmpeg(*args):
    env = dict(os.environ)
    env.pop("LD_LIBRARY_PATH", None)  # the system CLI, whatever the build uses
    subprocess.run(["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", *args],
                   check=True, env=env)


def made(path, args):
    ffmpeg(*args, path)
    with open(path, "rb") as f:
        return f.read()


def boxes(data, start, end):
    """(type, offset, size) of the ISO-BMFF boxes in data[start:end]."""
    pos = start
    while pos + 8 <= end:
        size, kind = struct.unpack(">I4s", data[pos:pos + 8])
        if size < 8:
            break
        yield kind.decode("latin-1"), pos, size
        pos += size


def find_box(data, path, start=0, end=None):
    end = len(data) if end is None else end
    head, *rest = path
    for kind, offset, size in boxes(data, start, end):
        if kind == head:
            if not rest:
                return offset, size
            return find_box(data, rest, offset + 8, offset + size)
    raise ValueError("no box " + head)


def cut_faststart(tmp):
    data = made(os.path.join(tmp, "faststart.mp4"),
                ["-f", "lavfi", "-i", "testsrc2=size=64x48:rate=10:duration=1",
                 "-f", "lavfi", "-i", "sine=duration=1", "-c:v", "libx264",
                 "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-c:a", "aac",
                 "-b:a", "32k", "-movflags", "+faststart"])
    mdat, _ = find_box(data, ["mdat"])
    moov, _ = find_box(data, ["moov"])
    assert moov < mdat, "the index must come first"
    return data[:mdat + 8 + 64]


def stereo_to_mono(tmp):
    common = ["-c:a", "libmp3lame", "-b:a", "64k", "-write_xing", "0", "-id3v2_version", "0"]
    stereo = made(os.path.join(tmp, "stereo.mp3"),
                  ["-f", "lavfi", "-i", "sine=frequency=440:duration=1", "-ac", "2", *common])
    mono = made(os.path.join(tmp, "mono.mp3"),
                ["-f", "lavfi", "-i", "sine=frequency=660:duration=1", "-ac", "1", *common])
    return stereo + mono


def huge_stsz(tmp):
    data = bytearray(made(os.path.join(tmp, "plain.mp4"),
                          ["-f", "lavfi", "-i", "testsrc2=size=64x48:rate=10:duration=1",
                           "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p"]))
    stsz, _ = find_box(data, ["moov", "trak", "mdia", "minf", "stbl", "stsz"])
    # version/flags, then sample_size (non-zero: every sample that size) and
    # sample_count.
    struct.pack_into(">II", data, stsz + 12, 100, 0x7FFFFFF0)
    return bytes(data)


def info_2gb(_tmp):
    channels, rate, bits = 2, 44100, 16
    fmt = struct.pack("<HHIIHH", 1, channels, rate, rate * channels * bits // 8,
                      channels * bits // 8, bits)
    samples = bytes(1024)
    entries = b"".join(tag + struct.pack("<I", 0x7FFFFFC0) + b"x" * 16
                       for tag in (b"INAM", b"IART", b"ICMT", b"ICOP"))
    chunks = (b"fmt " + struct.pack("<I", len(fmt)) + fmt +
              b"data" + struct.pack("<I", len(samples)) + samples +
              b"LIST" + struct.pack("<I", 0xFFFFFFF0) + b"INFO" + entries)
    body = b"WAVE" + chunks + b"\0" * (1752 - 8 - 4 - len(chunks))
    return b"RIFF" + struct.pack("<I", len(body)) + body


class Bits:
    def __init__(self, data=b""):
        self.data, self.pos, self.out = data, 0, []

    def u(self, n):
        value = 0
        for _ in range(n):
            value = (value << 1) | ((self.data[self.pos >> 3] >> (7 - (self.pos & 7))) & 1)
            self.pos += 1
        return value

    def ue(self):
        zeros = 0
        while self.u(1) == 0:
            zeros += 1
        return (1 << zeros) - 1 + self.u(zeros)

    def put(self, value, n):
        self.out.extend((value >> (n - 1 - i)) & 1 for i in range(n))

    def put_ue(self, value):
        code = value + 1
        n = code.bit_length()
        self.put(0, n - 1)
        self.put(code, n)

    def bytes(self):
        bits = self.out + [1]  # rbsp stop bit
        bits += [0] * (-len(bits) % 8)
        return bytes(int("".join(map(str, bits[i:i + 8])), 2) for i in range(0, len(bits), 8))


def unescape(nal):
    out, zeros = bytearray(), 0
    for b in nal:
        if zeros >= 2 and b == 3:
            zeros = 0
            continue
        out.append(b)
        zeros = zeros + 1 if b == 0 else 0
    return bytes(out)


def escape(rbsp):
    out, zeros = bytearray(), 0
    for b in rbsp:
        if zeros >= 2 and b <= 3:
            out.append(3)
            zeros = 0
        out.append(b)
        zeros = zeros + 1 if b == 0 else 0
    return bytes(out)


def rewrite_sps(sps, width_mbs, height_mbs):
    """A baseline-profile SPS with the same fields but another size and no VUI."""
    r, w = Bits(unescape(sps[1:])), Bits()
    for _ in range(3):  # profile_idc, constraint flags, level_idc
        w.put(r.u(8), 8)
    assert sps[1] == 66, "baseline profile expected"
    w.put_ue(r.ue())                     # seq_parameter_set_id
    w.put_ue(r.ue())                     # log2_max_frame_num_minus4
    poc_type = r.ue()
    w.put_ue(poc_type)
    assert poc_type != 1
    if poc_type == 0:
        w.put_ue(r.ue())                 # log2_max_pic_order_cnt_lsb_minus4
    w.put_ue(r.ue())                     # max_num_ref_frames
    w.put(r.u(1), 1)                     # gaps_in_frame_num_allowed
    r.ue(), r.ue()                       # the real size, replaced
    w.put_ue(width_mbs - 1)
    w.put_ue(height_mbs - 1)
    frame_mbs_only = r.u(1)
    w.put(frame_mbs_only, 1)
    if not frame_mbs_only:
        w.put(r.u(1), 1)
    w.put(r.u(1), 1)                     # direct_8x8_inference
    w.put(0, 1)                          # no cropping
    w.put(0, 1)                          # no VUI
    return sps[:1] + escape(w.bytes())


def sps_16000(tmp):
    data = made(os.path.join(tmp, "small.h264"),
                ["-f", "lavfi", "-i", "testsrc2=size=64x48:rate=10", "-frames:v", "3",
                 "-c:v", "libx264", "-preset", "ultrafast", "-profile:v", "baseline",
                 "-x264-params", "no-info=1", "-pix_fmt", "yuv420p", "-f", "h264"])
    units = [u.rstrip(b"\0") for u in data.split(b"\0\0\1")]
    out = bytearray()
    for unit in filter(None, units):
        if unit[0] & 0x1F == 7:
            unit = rewrite_sps(unit, 1000, 1000)
        out += b"\0\0\0\1" + unit
    return bytes(out)


MAKERS = {
    "cut_faststart.mp4": cut_faststart,
    "stereo_to_mono.mp3": stereo_to_mono,
    "huge_stsz.mp4": huge_stsz,
    "info_2gb.wav": info_2gb,
    "sps_16000.h264": sps_16000,
}


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        for name, maker in MAKERS.items():
            path = os.path.join(out, name)
            if os.path.exists(path) and os.path.getsize(path) > 0:
                continue
            data = maker(tmp)
            tmp_path = "%s.%d.tmp" % (path, os.getpid())
            with open(tmp_path, "wb") as f:
                f.write(data)
            os.replace(tmp_path, path)


if __name__ == "__main__":
    main()
