#!/usr/bin/env python3
"""What a power cut costs a live capture: how much of each stream is lost, and whether repair
ever presents bytes as audio that the disk never held as audio.

Method (as root, with loop devices; not part of the test command): the capture's ext4 lives in
an image file on a loop device, the image on an XFS file system with reflink, itself on a loop
device over a file here. A producer publishes a pattern in real time and the renderer captures
it. At a random moment the image is cloned (FICLONE: an atomic picture of every write the loop
device had completed; what was only in ext4's page cache is not in it, as after a power cut),
and the producer's position is read from its region. The capture then runs to its end, which is
the reference. The clone is mounted (ext4 replays its journal as after a power cut),
`vaskel_wav repair` runs on it, and each repaired stream file is compared with the reference:
the bit-exact prefix is what was recovered; any byte after it that repair kept is made-up audio.

    sudo python3 scripts/power_cut.py [--build build/linux] [--cuts N] [--seconds S]
                                      [--rows 1x1,8x2,128x2]

Loss per stream = the producer's position at the cut - the end of the bit-exact audio
recovered, in seconds at 48 kHz. It includes what waited in the rings (up to 16 slots of 256
frames: 85 ms).
"""

import argparse
import mmap
import os
import random
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

RATE = 48000
FRAMES = 256
SLOTS = 16


def run(*args, **kw):
    return subprocess.run(list(map(str, args)), check=True, capture_output=True, text=True, **kw)


class Loop:
    """A file on a loop device, made into a file system and mounted."""

    def __init__(self, image, size, fs, mount, options=()):
        self.image, self.mount = Path(image), Path(mount)
        if size:
            with open(self.image, "wb") as f:
                f.truncate(size)
        self.device = run("losetup", "-f", "--show", self.image).stdout.strip()
        if fs:
            run(f"mkfs.{fs}", *options, self.device)
        self.mount.mkdir(parents=True, exist_ok=True)
        run("mount", self.device, self.mount)

    def close(self):
        subprocess.run(["umount", str(self.mount)], capture_output=True)
        subprocess.run(["losetup", "-d", self.device], capture_output=True)


def producer_frames(name):
    """Frames stream 0 of the region has published (writeIndex x chunk)."""
    try:
        with open(f"/dev/shm/{name}", "rb") as f:
            view = mmap.mmap(f.fileno(), 64 + 64, prot=mmap.PROT_READ)
            write_index = struct.unpack_from("<Q", view, 64 + 8)[0]
            view.close()
        return write_index * FRAMES
    except OSError:
        return None


def data_of(path):
    with open(path, "rb") as f:
        head = f.read(80)
        offset = 80 if head[:4] == b"RF64" else 44
        f.seek(offset)
        return f.read()


def common_prefix(a, b):
    """Bytes at the start that a and b share."""
    n = min(len(a), len(b))
    step = 1 << 16
    at = 0
    while at + step <= n and a[at:at + step] == b[at:at + step]:
        at += step
    while at < n and a[at] == b[at]:
        at += 1
    return at


def one_cut(args, xfs, streams, channels, seconds):
    name = f"vaskel-cut-{os.getpid()}-{random.randrange(1 << 30)}"
    take = xfs.cap / "take"
    shutil.rmtree(take, ignore_errors=True)
    producer = subprocess.Popen(
        [str(args.build / "vaskel_producer"), "--streams", str(streams), "--channels",
         str(channels), "--frames-per-chunk", str(FRAMES), "--slots", str(SLOTS), "--seconds",
         str(seconds), "--pace", "1", "--signal", "pattern", name, "--run-renderer",
         str(args.build / "vaskel_renderer"), str(take)],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    time.sleep(random.uniform(0.5, seconds - 1.0))
    position = producer_frames(name)
    clone = xfs.root / "clone.img"
    run("cp", "--reflink=always", xfs.image, clone)
    output = producer.communicate()[0]
    if producer.returncode != 0:
        raise RuntimeError(f"the capture failed:\n{output}")
    mounted = Loop(clone, 0, None, xfs.root / "clone")
    try:
        repaired = subprocess.run([str(args.build / "vaskel_wav"), "repair",
                                   str(mounted.mount / "take")], capture_output=True, text=True)
        losses, made_up, zero_cut = [], 0, 0
        for s in range(streams):
            reference = data_of(take / f"stream-{s}.wav")
            path = mounted.mount / "take" / f"stream-{s}.wav"
            got = data_of(path) if path.exists() and path.stat().st_size >= 44 else b""
            exact = common_prefix(got, reference)
            frame = 4 * channels
            recovered = exact // frame
            losses.append(((position or 0) - recovered) / RATE)
            if len(got) > exact:
                made_up += 1
        zero_cut = repaired.stdout.count("bytes of zeros past what the capture knew")
        return losses, made_up, zero_cut, repaired.returncode
    finally:
        mounted.close()
        clone.unlink(missing_ok=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", type=Path, default=Path("build/linux"))
    parser.add_argument("--cuts", type=int, default=10)
    parser.add_argument("--seconds", type=float, default=8)
    parser.add_argument("--rows", default="1x1,8x2,128x2")
    parser.add_argument("--work", type=Path, default=None)
    args = parser.parse_args()
    args.build = args.build.resolve()
    if os.geteuid() != 0:
        sys.exit("power_cut.py: run as root (loop devices, mounts)")
    work = Path(args.work or tempfile.mkdtemp(prefix="vaskel-powercut-"))

    class Xfs:
        pass

    xfs = Xfs()
    outer = Loop(work / "xfs.img", 8 << 30, "xfs", work / "xfs", ["-q", "-m", "reflink=1"])
    xfs.root = outer.mount
    xfs.image = xfs.root / "ext4.img"
    inner = Loop(xfs.image, 4 << 30, "ext4", work / "cap", ["-q", "-F"])
    xfs.cap = inner.mount
    print(f"power cuts: ext4 in {xfs.image} (XFS, reflink), {args.cuts} cuts a row, "
          f"{args.seconds:g} s captures of {FRAMES}-frame chunks, {SLOTS} slots")
    print(f"{'streams':>8} {'cuts':>5} {'loss max s':>11} {'median s':>9} {'made up':>8} "
          f"{'zero tails cut':>15} {'repair exit':>12}")
    try:
        for row in args.rows.split(","):
            streams, channels = map(int, row.split("x"))
            all_losses, made_up, zero_cut, exits = [], 0, 0, set()
            for _ in range(args.cuts):
                losses, bad, zeros, code = one_cut(args, xfs, streams, channels, args.seconds)
                all_losses += losses
                made_up += bad
                zero_cut += zeros
                exits.add(code)
            print(f"{streams:>5}x{channels} {args.cuts:>5} {max(all_losses):>11.3f} "
                  f"{statistics.median(all_losses):>9.3f} {made_up:>8} {zero_cut:>15} "
                  f"{','.join(map(str, sorted(exits))):>12}", flush=True)
    finally:
        inner.close()
        outer.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
