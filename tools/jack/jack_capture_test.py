#!/usr/bin/env python3
"""End-to-end captures through a real JACK server (the dummy backend, servers of our own).

    jack_capture_test.py --build DIR [--only NAME,...]

vaskel_jack_test_source plays a signal in which every sample names its port and its frame;
vaskel_jack captures it (running vaskel_renderer itself with --output, or beside one started
here) and the files are read back with libsndfile and checked sample by sample:
  pattern    one command: --output and a port pattern record 4 ports to named files in the
             take folder take-001; the take sheet names every stream's port, the client, rate,
             chunk size and start time, and vaskel_wav check names each file's port from it;
             patterns match whole names; no --connect is refused; a second take goes to
             take-002, the first kept; an --output that is a link is refused, untouched
  exact      --seconds with a cut last period, stereo, a source fed twice, and a renderer that
             attaches a second after the bridge (periods before it must not fill the buffer)
  interrupt  Ctrl-C at the terminal (SIGINT to the bridge's process group): the capture ends
             at a period boundary and the renderer the bridge runs completes the files
  period     the server's period changes during the capture (64, 1024, 8192, 32, 256 frames):
             every frame arrives once, in order, in whole chunks of 2048 frames
  stall      the renderer stopped (SIGSTOP) 1.5 s behind rings of two chunks: the bridge's
             buffer rides it out, the take completes bit-exact, its fullest point reported;
             stopped longer than --buffer: overflow, said with the buffer's length, and the
             frames reported are those the repaired files hold
  events     a source client leaves mid-take: its ports' disconnections and its going said
             once and kept in the take sheet; no meter when standard error is a file
  meter      standard error on a terminal: the meter redrawn in place; --quiet: none
  export     --export runs vaskel_wav export on the completed take (a failing one: exit 5)
  children   no renderer beside the bridge: one planted in the current directory is not run
             through "." or an empty PATH entry; the renderer inherits no JACK socket, the
             region loses its name once attached, and a SIGKILLed bridge's renderer ends
             within a second
  attach     no renderer within --attach-timeout: exit 3; xruns while waiting do not count
  killed     the server killed mid-capture: producer_abort, the files repaired and playable
  stopped    the server stopped (SIGSTOP): two interrupts end the bridge, and so does the
             failure a renderer publishes, each within seconds
"""

import argparse
import ctypes
import datetime
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

RATE = 48000
PERIOD = 256
CHUNK = 2048  # the bridge re-cuts the server's periods into chunks of this size


def take(output, number=1):
    """The take folder the bridge makes in its --output directory."""
    return os.path.join(output, f"take-{number:03d}")


class SfInfo(ctypes.Structure):
    _fields_ = [("frames", ctypes.c_int64), ("samplerate", ctypes.c_int),
                ("channels", ctypes.c_int), ("format", ctypes.c_int),
                ("sections", ctypes.c_int), ("seekable", ctypes.c_int)]


def read_wav(path):
    """(channels, rate, samples) through libsndfile, an independent reader."""
    sndfile = ctypes.CDLL("libsndfile.so.1")
    sndfile.sf_open.restype = ctypes.c_void_p
    sndfile.sf_open.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.POINTER(SfInfo)]
    sndfile.sf_readf_float.restype = ctypes.c_int64
    sndfile.sf_readf_float.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int64]
    sndfile.sf_close.argtypes = [ctypes.c_void_p]
    info = SfInfo()
    handle = sndfile.sf_open(path.encode(), 0x10, ctypes.byref(info))  # SFM_READ
    if not handle:
        raise AssertionError(f"libsndfile cannot open {path}")
    buffer = (ctypes.c_float * (info.frames * info.channels))()
    got = sndfile.sf_readf_float(handle, buffer, info.frames)
    sndfile.sf_close(handle)
    if got != info.frames:
        raise AssertionError(f"{path}: read {got} of {info.frames} frames")
    return info.channels, info.samplerate, list(buffer)


def stop_child(child, timeout):
    """Asks a child still running to end (SIGTERM, SIGCONT for a stopped one), then kills it."""
    if child.poll() is None:
        child.send_signal(signal.SIGTERM)
        child.send_signal(signal.SIGCONT)
        try:
            child.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            child.kill()
            child.wait()


def expected_sample(port, frame):
    """The test source's sample: ((frame mod 2^20) + (port mod 8) * 2^20) / 2^23, exact."""
    return ((frame & 0xFFFFF) | ((port % 8) << 20)) / 8388608.0


def check_files(output, streams, channels, feeds, frames=None):
    """Checks every sample; feeds[i] is the source port of input port i (None: unconnected).
    Returns the frames per stream. Every stream starts at the same source frame."""
    start = None
    lengths = []
    for stream in range(streams):
        got_channels, rate, samples = read_wav(os.path.join(output, f"stream-{stream}.wav"))
        assert (got_channels, rate) == (channels, RATE), (stream, got_channels, rate)
        length = len(samples) // channels
        lengths.append(length)
        if frames is not None:
            assert length == frames, f"stream {stream}: {length} frames, expected {frames}"
        for channel in range(channels):
            port = feeds[stream * channels + channel]
            values = samples[channel::channels]
            if port is None:
                assert not any(values), f"stream {stream}: an unconnected port is not silent"
                continue
            if start is None and values:
                start = round(values[0] * 8388608.0) & 0xFFFFF
            for k, value in enumerate(values):
                if value != expected_sample(port, start + k):
                    raise AssertionError(f"stream {stream} channel {channel} frame {k}: "
                                         f"{value!r}, expected {expected_sample(port, start + k)!r}")
    return lengths


class Failure(Exception):
    pass


def expect(condition, message):
    if not condition:
        raise Failure(message)


class Bridge:
    """A vaskel_jack run: its process, and its output once it has ended."""

    def __init__(self, harness, name, args, session=False, program=None, **popen):
        self.harness, self.name = harness, name
        self.err_path = os.path.join(harness.work, f"bridge-{name}.log")
        self.process = harness.start(
            [program or os.path.join(harness.build, "vaskel_jack"), "--client", f"bridge_{name}"]
            + args, self.err_path, session=session, **popen)
        self.code = self.out = None

    def err(self):
        with open(self.err_path) as log:
            return log.read()

    def wait_for(self, text, timeout=30):
        """Waits until the bridge's standard error says `text`, however slow the machine."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if text in self.err():
                return
            expect(self.process.poll() is None,
                   f"{self.name}: ended (exit {self.process.returncode}) before '{text}': "
                   f"{self.err()}")
            time.sleep(0.02)
        raise Failure(f"{self.name}: no '{text}' within {timeout} s")

    def finish(self, timeout=60):
        """Waits for the end; returns (exit code, standard output)."""
        self.out, _ = self.process.communicate(timeout=timeout)
        self.code = self.process.returncode
        return self.code, self.out


class Harness:
    def __init__(self, build, work):
        self.build, self.work = build, work
        self.children = []
        self.servers = 0

    def start(self, args, log, session=False, env=None, cwd=None):
        child = subprocess.Popen(args, env=env or self.env, stdout=subprocess.PIPE,
                                 stderr=open(os.path.join(self.work, log), "w"), text=True,
                                 start_new_session=session, cwd=cwd)
        self.children.append(child)
        return child

    def start_server(self, name=None):
        """A server of our own with a source of 4 ports, src:out_0 to src:out_3."""
        self.servers += 1
        self.server = name or f"vaskel-test-{os.getpid()}-{self.servers}"
        self.env = dict(os.environ, JACK_DEFAULT_SERVER=self.server,
                        JACK_NO_AUDIO_RESERVATION="1")
        # Synchronous mode with a long client timeout: on a loaded machine the server waits for
        # a late client instead of running the graph without it, which would break the signal.
        self.jackd = self.start(["jackd", "--no-realtime", "-n", self.server, "-S", "-t", "10000",
                                 "-d", "dummy", "-r", str(RATE), "-p", str(PERIOD)],
                                f"jackd-{self.servers}.log")
        self.jack_tool(["jack_wait", "-s", self.server, "-w", "-t", "20"])
        if name is None:
            self.start([os.path.join(self.build, "vaskel_jack_test_source"), "src", "4"],
                       f"source-{self.servers}.log")
            time.sleep(0.5)

    def jack_tool(self, args):
        subprocess.run(args, env=self.env, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=30)

    def buffer_size(self, frames):
        self.jack_tool(["jack_bufsize", str(frames)])

    def kill_server(self):
        self.jackd.kill()
        self.jackd.wait()
        # A killed server keeps its slot (of eight) in JACK's registry, which only a server of
        # the same name reclaims: one is started and stopped cleanly. The semaphores of its
        # clients stay behind too.
        killed = self.server
        self.start_server(name=killed)
        stop_child(self.jackd, 5)
        for name in os.listdir("/dev/shm"):
            if f"_{killed}_" in name:
                os.unlink(os.path.join("/dev/shm", name))

    def stop_all(self):
        for child in reversed(self.children):
            stop_child(child, 5)

    def output(self, name):
        return os.path.join(self.work, name)

    def renderer(self, region, output, delay_us=0, idle_ms=10000):
        return subprocess.Popen([os.path.join(self.build, "vaskel_renderer"), region, output,
                                 str(delay_us), str(idle_ms), "10000"], env=self.env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)

    def region(self, name):
        return f"vaskel-jack-test-{os.getpid()}-{name}"


def check_take_sheet(output, state, client, sources, frames=None):
    """The take sheet names each file's ports, the client, rate, chunk size and start time."""
    with open(os.path.join(output, "streams.json")) as sheet_file:
        sheet = json.load(sheet_file)
    expect(sheet["state"] == state, f"take sheet state {sheet['state']}, expected {state}")
    expect((sheet["client"], sheet["sampleRate"], sheet["framesPerChunk"])
           == (client, RATE, CHUNK), f"take sheet: {sheet}")
    expect([s["file"] for s in sheet["streams"]]
           == [f"stream-{i}.wav" for i in range(len(sources))], f"take sheet: {sheet['streams']}")
    expect([s["ports"] for s in sheet["streams"]] == sources, f"take sheet: {sheet['streams']}")
    started = datetime.datetime.strptime(sheet["startTime"], "%Y-%m-%dT%H:%M:%S.%fZ")
    now = datetime.datetime.now(datetime.timezone.utc).replace(tzinfo=None)
    expect(abs((now - started).total_seconds()) < 120, f"start time {sheet['startTime']}")
    expect(sheet["framesPerStream"] == frames, f"take sheet frames {sheet['framesPerStream']}")
    return sheet


def case_pattern(h):
    output = h.output("pattern")
    bridge = Bridge(h, "pattern", ["--output", output, "--connect", "src:out_[0-3]",
                                   "--seconds", "1"])
    code, out = bridge.finish()
    expect("recording these ports:\nvaskel_jack:   stream-0.wav: src:out_0\n" in bridge.err(),
           bridge.err())
    output = take(output)
    expect(code == 0 and "verdict=completed,framesPerStream=48000,xruns=" in out,
           f"exit {code}: {out}")
    # The renderer's own summary comes through, one line per stream.
    expect(len(re.findall(r"^streamId=\d,writtenChunks=", out, re.M)) == 4, out)
    check_files(output, 4, 1, [0, 1, 2, 3], frames=48000)
    check_take_sheet(output, "complete", "bridge_pattern",
                     [["src:out_0"], ["src:out_1"], ["src:out_2"], ["src:out_3"]], frames=48000)
    # vaskel_wav check reads the sheet back: each file's lines name its port.
    check = subprocess.run([os.path.join(h.build, "vaskel_wav"), "check", output],
                           capture_output=True, text=True, timeout=60)
    expect(check.returncode == 0 and all(
        f"stream-{i}.wav: finalised\n  ports: src:out_{i}\n" in check.stdout for i in range(4)),
        f"vaskel_wav check: exit {check.returncode}: {check.stdout}{check.stderr}")
    # A pattern of input ports, or of nothing, is refused by name before anything starts; a
    # pattern matches a whole name ("out_[0-3]" is no port's name).
    for word, said in (("system:playback_.*", "matches only input ports (system:playback_1, "
                                              "system:playback_2)"),
                       ("src:in_.*", "matches no audio output port"),
                       ("out_[0-3]", "matches no audio output port")):
        refused = Bridge(h, "refused", ["--output", h.output("refused"), "--connect", word])
        code, _ = refused.finish()
        expect(code == 2 and f"--connect '{word}' {said}" in refused.err(),
               f"--connect {word}: exit {code}: {refused.err()}")
    missing = Bridge(h, "missing", ["--output", h.output("pattern")])
    code, _ = missing.finish()
    expect(code == 2 and "--connect is missing" in missing.err() and
           "--connect 'system:capture_.*'" in missing.err(), f"exit {code}: {missing.err()}")

    # A second take into the same directory gets a folder of its own; the first stays whole.
    second = Bridge(h, "second", ["--output", h.output("pattern"), "--connect", "src:out_1",
                                  "--seconds", "0.5"])
    code, out = second.finish()
    expect(code == 0 and f"take folder {take(h.output('pattern'), 2)}\n" in second.err(),
           f"exit {code}: {out}{second.err()}")
    check_files(take(h.output("pattern"), 2), 1, 1, [1], frames=24000)
    check_files(output, 4, 1, [0, 1, 2, 3], frames=48000)

    # --output that is a link to someone else's recordings: refused, nothing there touched.
    victim = h.output("victim")
    os.makedirs(victim)
    for name in ("streams.json", "stream-0.wav"):
        with open(os.path.join(victim, name), "w") as planted:
            planted.write("theirs")
    os.symlink(victim, h.output("link"))
    linked = Bridge(h, "linked", ["--output", h.output("link"), "--connect", "src:out_1",
                                  "--seconds", "0.5"])
    code, _ = linked.finish()
    expect(code == 1 and sorted(os.listdir(victim)) == ["stream-0.wav", "streams.json"] and
           all(open(os.path.join(victim, name)).read() == "theirs"
               for name in ("streams.json", "stream-0.wav")), f"exit {code}: {linked.err()}")
    return ("4 ports by one pattern into take-001/stream-0..3.wav, every sample, the take "
            "sheet complete and read back by check; patterns of input ports, of nothing, or of "
            "part of a name refused; no --connect refused; a second take in take-002, the first "
            "kept; --output through a link refused")


def case_exact(h):
    # Stereo, with src:out_0 fed twice and the last input left unconnected; 1.3 s cuts the
    # last period (62400 frames are 243.75 periods). The renderer comes a second late, more
    # than the ring's quarter second: periods before it attached must not be in the ring.
    region, output = h.region("exact"), h.output("exact")
    args = [region, "--streams", "3", "--channels", "2", "--seconds", "1.3"]
    for port in ["src:out_0", "src:out_1", "src:out_2", "src:out_3", "src:out_0"]:
        args += ["--connect", port]
    bridge = Bridge(h, "exact", args)
    bridge.wait_for("waiting for the renderer")
    time.sleep(1.0)
    renderer = h.renderer(region, output)
    code, out = bridge.finish()
    _, renderer_err = renderer.communicate(timeout=60)
    expect((code, renderer.returncode) == (0, 0) and
           out.startswith("verdict=completed,framesPerStream=62400,"),
           f"bridge {code} '{out}', renderer {renderer.returncode} '{renderer_err}'")
    check_files(output, 3, 2, [0, 1, 2, 3, 0, None], frames=62400)
    return "3 stereo streams, 62400 frames each, every sample, a renderer a second late"


def case_interrupt(h):
    output = h.output("interrupt")
    bridge = Bridge(h, "interrupt", ["--output", output, "--connect", "src:out_2"],
                    session=True)
    bridge.wait_for("capturing")
    time.sleep(1.0)
    # Ctrl-C at a terminal goes to the foreground process group: the renderer the bridge runs
    # must not be in it, or it would stop with "interrupted" (when it sees the signal before the
    # closed streams) instead of completing the files.
    with open(f"/proc/{bridge.process.pid}/task/{bridge.process.pid}/children") as children:
        renderer = [int(pid) for pid in children.read().split()]
    expect(len(renderer) == 1 and os.getpgid(renderer[0]) != os.getpgid(bridge.process.pid),
           f"the renderer {renderer} shares the bridge's process group")
    os.killpg(bridge.process.pid, signal.SIGINT)
    code, out = bridge.finish()
    output = take(output)
    lengths = check_files(output, 1, 1, [2])
    expect(code == 0 and out.startswith("mapping=") and lengths[0] > 0 and
           lengths[0] % PERIOD == 0, f"exit {code} '{out}', {lengths}")
    check_take_sheet(output, "complete", "bridge_interrupt", [["src:out_2"]], frames=lengths[0])
    return f"closed at a period boundary after {lengths[0]} frames, the renderer completed"


def case_period(h):
    # The server's period changes during the capture, to more than a chunk too: every frame
    # arrives once, in order, re-cut into whole chunks.
    output = h.output("period")
    bridge = Bridge(h, "period", ["--output", output, "--connect", "src:out_1", "--connect",
                                  "src:out_3", "--seconds", "3"])
    bridge.wait_for("capturing")
    for frames in (64, 1024, 8192, 32, 256):
        time.sleep(0.3)
        h.buffer_size(frames)
    code, out = bridge.finish()
    expect(code == 0 and re.search(r"^verdict=completed,framesPerStream=144000,xruns=\d+,"
                                   r"bufferPeakSeconds=[0-9.]+$", out, re.M), f"exit {code}: {out}")
    # Every chunk but the last is whole: 144000 frames are 70.3 chunks of 2048.
    expect(",writtenChunks=71,writtenFrames=144000," in out, out)
    check_files(take(output), 2, 1, [1, 3], frames=3 * RATE)
    return "periods of 64, 1024, 8192, 32 and 256 frames: 144000 frames in 71 chunks"


def renderer_of(bridge):
    """The renderer the bridge runs (its one child)."""
    pid = bridge.process.pid
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        with open(f"/proc/{pid}/task/{pid}/children") as children:
            found = [int(child) for child in children.read().split()]
        if found:
            return found[0]
        time.sleep(0.02)
    raise Failure(f"{bridge.name}: no renderer child")


def case_stall(h):
    # A renderer held up (stopped) for 1.5 s, behind rings of two chunks (85 ms): the bridge's
    # buffer of 4 s rides it out and the take completes, every sample.
    output = h.output("stall")
    bridge = Bridge(h, "stall", ["--output", output, "--connect", "src:out_0", "--connect",
                                 "src:out_2", "--slots", "2", "--seconds", "4"])
    bridge.wait_for("capturing")
    renderer = renderer_of(bridge)
    time.sleep(0.3)
    os.kill(renderer, signal.SIGSTOP)
    time.sleep(1.5)
    os.kill(renderer, signal.SIGCONT)
    code, out = bridge.finish()
    peak = re.search(r"bufferPeakSeconds=([0-9.]+)", out)
    with open(os.path.join(take(output), "streams.json")) as sheet_file:
        sheet = json.load(sheet_file)
    expect(sheet["bufferFrames"] == 4 * RATE and
           abs(sheet["bufferPeakFrames"] / RATE - float(peak.group(1))) < 0.001,
           f"take sheet buffer: {sheet}")
    expect(code == 0 and "\nverdict=completed,framesPerStream=192000," in out and peak and
           1.2 <= float(peak.group(1)) < 4, f"exit {code}: {out}{bridge.err()}")
    check_files(take(output), 2, 1, [0, 2], frames=4 * RATE)

    # A stall longer than --buffer: overflow, said so with the buffer's length, and the counts
    # reported are what the (repaired) files hold.
    output = h.output("overflow")
    bridge = Bridge(h, "overflow", ["--output", output, "--connect", "src:out_1", "--connect",
                                    "src:out_3", "--slots", "2", "--buffer", "0.5"])
    bridge.wait_for("capturing")
    renderer = renderer_of(bridge)
    time.sleep(0.3)
    os.kill(renderer, signal.SIGSTOP)
    try:
        bridge.wait_for("overflow: the buffer of 0.5 s is full", timeout=20)
    finally:
        os.kill(renderer, signal.SIGCONT)
    code, out = bridge.finish()
    err = bridge.err()
    frames = re.search(r"^verdict=overflow,framesPerStream=(\d+),", out, re.M)
    expect(code == 4 and frames and "the disk fell" in err and "--buffer" in err and
           "frames, header set" in err, f"exit {code}: {out}{err}")
    lengths = check_files(take(output), 2, 1, [1, 3])
    expect(min(lengths) == int(frames.group(1)) > 0,
           f"verdict says {frames.group(1)} frames, the files hold {lengths}")
    return (f"a renderer stopped 1.5 s: completed, buffer peak {peak.group(1)} s; "
            f"stopped longer than --buffer 0.5: overflow, {lengths} frames as reported")


def gone(pid):
    """True once the process has ended (a zombie waiting for init counts as ended)."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] == "Z"
    except FileNotFoundError:
        return True


def on_terminal(h, name, args):
    """Runs a bridge with its standard error on a terminal (a pseudo-terminal); returns the
    exit code and what the terminal received."""
    import pty
    master, slave = pty.openpty()
    child = subprocess.Popen([os.path.join(h.build, "vaskel_jack"), "--client", f"bridge_{name}"]
                             + args, env=h.env, stdout=subprocess.DEVNULL, stderr=slave)
    h.children.append(child)
    os.close(slave)
    received = b""
    while True:
        try:
            chunk = os.read(master, 65536)
        except OSError:  # the other side closed: the bridge has ended
            break
        if not chunk:
            break
        received += chunk
    os.close(master)
    return child.wait(timeout=60), received.decode(errors="replace")


def case_meter(h):
    # On a terminal: one line per stream, redrawn in place (cursor up, erase), with a level that
    # the test source's signal (a ramp below full scale) sets above -inf; --quiet: none.
    code, seen = on_terminal(h, "meter", ["--output", h.output("meter"), "--connect",
                                          "src:out_[01]", "--seconds", "1.5"])
    lines = re.findall(r"stream-1\.wav +(-?[0-9.]+|-inf) dBFS \[[#.]{30}\] +buffer +\d+ %", seen)
    expect(code == 0 and "\x1b[2A" in seen and len(lines) >= 3 and
           any(level != "-inf" for level in lines), f"exit {code}: {seen!r}")
    code, quiet = on_terminal(h, "quiet", ["--output", h.output("meter"), "--connect",
                                           "src:out_[01]", "--seconds", "0.5", "--quiet"])
    expect(code == 0 and "dBFS" not in quiet and "\x1b[" not in quiet, f"exit {code}: {quiet!r}")
    return f"{len(lines)} redraws of stream-1's line in 1.5 s on a terminal; none with --quiet"


def case_export(h):
    # --export runs vaskel_wav export on the completed take. Until vaskel_wav has the command,
    # only the failing export is checked (exit 5, the take whole), and that is said loudly.
    probe = subprocess.run([os.path.join(h.build, "vaskel_wav"), "export"], capture_output=True,
                           text=True, timeout=30)
    has_export = "unknown command export" not in probe.stderr
    output = h.output("export")
    bridge = Bridge(h, "export", ["--output", output, "--connect", "src:out_1", "--seconds", "0.5",
                                  "--export", "wav24"])
    code, out = bridge.finish()
    err = bridge.err()
    said = f"exporting: {os.path.join(h.build, 'vaskel_wav')} export {take(output)} "
    expect(said in err and "verdict=completed,framesPerStream=24000," in out,
           f"exit {code}: {out}{err}")
    check_files(take(output), 1, 1, [1], frames=24000)
    if not has_export:
        expect(code == 5 and "the export failed" in err, f"exit {code}: {err}")
        return "SKIPPED (vaskel_wav has no export command yet): a failing export is exit 5"
    exported = os.path.join(take(output), "export")
    expect(code == 0 and os.path.isdir(exported) and os.listdir(exported),
           f"exit {code}: {err}")
    return f"exported as wav24 into {os.listdir(exported)}"


def case_children(h):
    # Without a renderer beside vaskel_jack, one planted in the current directory is never run,
    # whether PATH names it with "." or with an empty entry. The renderer the bridge runs holds
    # none of the bridge's descriptors (its JACK sockets), the region has no name once both sides
    # hold it, and a bridge killed outright takes its renderer with it within a second, leaving
    # files that repair. A killed client stalls a synchronous server: it ends here.
    lone, planted = h.output("lone"), h.output("planted")
    os.makedirs(lone)
    os.makedirs(planted)
    shutil.copy2(os.path.join(h.build, "vaskel_jack"), lone)
    marker = os.path.join(h.work, "planted-ran")
    with open(os.path.join(planted, "vaskel_renderer"), "w") as script:
        script.write(f"#!/bin/sh\ntouch {marker}\n")
    os.chmod(os.path.join(planted, "vaskel_renderer"), 0o755)
    for search in (".:/usr/bin:/bin", "/usr/bin::/bin", "/usr/bin:/bin:"):
        alone = Bridge(h, "alone", ["--output", h.output("alone"), "--connect", "src:out_0",
                                    "--seconds", "0.5"], program=os.path.join(lone, "vaskel_jack"),
                       env=dict(h.env, PATH=search), cwd=planted)
        code, _ = alone.finish()
        expect(code == 1 and "no vaskel_renderer beside vaskel_jack" in alone.err() and
               not os.path.exists(marker), f"PATH={search}: exit {code}: {alone.err()}")
    output = h.output("children")
    bridge = Bridge(h, "children", ["--output", output, "--connect", "src:out_0"])
    bridge.wait_for("capturing")
    renderer = renderer_of(bridge)
    sockets = [os.readlink(f"/proc/{renderer}/fd/{fd}") for fd in os.listdir(f"/proc/{renderer}/fd")]
    expect(not any(link.startswith("socket:") for link in sockets),
           f"the renderer holds the bridge's sockets: {sockets}")
    region = f"/dev/shm/vaskel-jack-{bridge.process.pid}"
    expect(not os.path.exists(region), f"{region} still has its name while capturing")
    time.sleep(0.5)
    bridge.process.kill()
    bridge.process.wait()
    killed = time.monotonic()
    while not gone(renderer) and time.monotonic() - killed < 5:
        time.sleep(0.01)
    took = time.monotonic() - killed
    expect(took < 1, f"the renderer outlived its killed bridge by {took:.2f} s")
    subprocess.run([os.path.join(h.build, "vaskel_wav"), "repair", take(output)],
                   stdout=subprocess.DEVNULL, check=True, timeout=30)
    lengths = check_files(take(output), 1, 1, [0])
    expect(lengths[0] > 0, f"{lengths}")

    h.kill_server()
    return (f"no socket inherited, the region nameless while capturing; killed, the renderer "
            f"ended {took:.2f} s after, {lengths[0]} frames repaired; a planted renderer not run")


def case_events(h):
    # A client that fed two streams leaves mid-take: each of its ports' disconnections and the
    # client's going are said once on stderr and kept in the take sheet, in order, at the frame
    # they happened; the take goes on (silence from then on) and completes.
    source = h.start([os.path.join(h.build, "vaskel_jack_test_source"), "gone", "2"],
                     "source-gone.log")
    time.sleep(0.5)
    output = h.output("events")
    bridge = Bridge(h, "events", ["--output", output, "--connect", "gone:out_[01]", "--connect",
                                  "src:out_2", "--seconds", "2.5"])
    bridge.wait_for("capturing")
    time.sleep(0.7)
    stop_child(source, 5)
    code, out = bridge.finish()
    err = bridge.err()
    expect(code == 0 and "verdict=completed,framesPerStream=120000," in out,
           f"exit {code}: {out}{err}")
    for said in (": port_disconnected, stream-0.wav (gone:out_0)\n",
                 ": port_disconnected, stream-1.wav (gone:out_1)\n", ": client_gone (gone)\n"):
        expect(err.count(said) == 1, f"'{said.strip()}' not said once: {err}")
    with open(os.path.join(take(output), "streams.json")) as sheet_file:
        events = json.load(sheet_file)["events"]
    mine = [(e["kind"], e["stream"], e["detail"]) for e in events if e["kind"] != "xrun"]
    expect(sorted(mine, key=str) == sorted([("port_disconnected", 0, "gone:out_0"),
                                            ("port_disconnected", 1, "gone:out_1"),
                                            ("client_gone", None, "gone")], key=str),
           f"take sheet events: {events}")
    frames = [e["frame"] for e in events]
    expect(frames == sorted(frames) and all(0 < f < 120000 for f in frames), f"{events}")
    # Not a terminal: no meter, not one cursor movement.
    expect("\x1b[" not in err, f"a meter drawn on a file: {err!r}")
    return (f"a source client gone mid-take: {len(mine)} events said once and kept at frames "
            f"{[e['frame'] for e in events if e['kind'] != 'xrun']}; no meter on a file")


def case_attach(h):
    bridge = Bridge(h, "attach", [h.region("attach"), "--connect", "src:out_0",
                                  "--attach-timeout", "2"])
    bridge.wait_for("waiting for the renderer")
    h.jackd.send_signal(signal.SIGSTOP)  # the server falls behind: xruns, while nobody captures
    time.sleep(0.5)
    h.jackd.send_signal(signal.SIGCONT)
    code, out = bridge.finish(timeout=30)
    err = bridge.err()
    expect(code == 3 and "no renderer attached within 2 s" in err and "xrun" not in err,
           f"exit {code}: {out}{err}")
    return "exit 3 after the attach timeout; the xruns before any capture not counted"


def case_killed(h):
    output = h.output("killed")
    bridge = Bridge(h, "killed", ["--output", output, "--connect", "src:out_0",
                                  "--connect", "src:out_2"])
    bridge.wait_for("capturing")
    time.sleep(0.7)
    h.kill_server()
    code, out = bridge.finish(timeout=60)
    err = bridge.err()
    output = take(output)
    expect(code == 4 and out.startswith("verdict=producer_abort,") and
           "the JACK server shut down" in err and err.count(" frames, header set") == 2,
           f"exit {code}: {out}{err}")
    lengths = check_files(output, 2, 1, [0, 2])
    expect(min(lengths) > 0, f"{lengths}")
    sox = subprocess.run(["sox", "--i", "-s", os.path.join(output, "stream-1.wav")],
                         capture_output=True, text=True, check=True)
    expect(int(sox.stdout) == lengths[1], f"sox reads {sox.stdout.strip()} samples")
    check_take_sheet(output, "failed", "bridge_killed", [["src:out_0"], ["src:out_2"]])
    return f"producer_abort; both files repaired and playable, {lengths} frames"


def case_stopped(h):
    # Two bridges capture when the server stops: one is interrupted twice, the other's renderer
    # gives up (idle timeout) and publishes producer_abort. Neither may wait for the server.
    bridges, renderers = {}, {}
    for name, idle_ms in (("twice", 10000), ("failed", 1000)):
        region = h.region(f"stopped-{name}")
        bridges[name] = Bridge(h, f"stopped-{name}", [region, "--connect", "src:out_1"])
        bridges[name].wait_for("waiting for the renderer")
        renderers[name] = h.renderer(region, h.output(f"stopped-{name}"), idle_ms=idle_ms)
        bridges[name].wait_for("capturing")
    time.sleep(0.5)
    h.jackd.send_signal(signal.SIGSTOP)
    time.sleep(0.3)
    for _ in range(2):
        bridges["twice"].process.send_signal(signal.SIGTERM)
        time.sleep(0.2)
    interrupted = time.monotonic()
    code, out = bridges["twice"].finish(timeout=60)
    took = time.monotonic() - interrupted
    expect(code == 130 and took < 10, f"interrupted twice: exit {code} after {took:.1f} s: "
                                      f"{out}{bridges['twice'].err()}")
    renderers["failed"].communicate(timeout=60)
    failed = time.monotonic()
    code, out = bridges["failed"].finish(timeout=60)
    took_failed = time.monotonic() - failed
    expect(code == 4 and out.startswith("verdict=producer_abort,") and took_failed < 10,
           f"renderer failed: exit {code} after {took_failed:.1f} s: {out}"
           f"{bridges['failed'].err()}")
    renderers["twice"].communicate(timeout=60)
    h.kill_server()
    return (f"stopped server: ended {took:.1f} s after a second interrupt, "
            f"{took_failed:.1f} s after the renderer's failure")


CASES = [("pattern", case_pattern), ("exact", case_exact), ("interrupt", case_interrupt),
         ("period", case_period), ("stall", case_stall), ("events", case_events),
         ("meter", case_meter), ("export", case_export),
         ("children", case_children), ("attach", case_attach),
         ("killed", case_killed), ("stopped", case_stopped)]


def run(harness, only):
    failures = 0
    server_up = False
    for name, case in CASES:
        if only and name not in only:
            continue
        if not server_up:
            harness.start_server()
            server_up = True
        try:
            print(f"ok   {name}: {case(harness)}", flush=True)
        except (Failure, AssertionError, subprocess.SubprocessError) as error:
            failures += 1
            print(f"FAIL {name}: {error}", flush=True)
        # These two end their server: the next case gets a new one.
        server_up = server_up and name not in ("children", "killed", "stopped")
    return failures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--only", default="", help="comma-separated case names")
    arguments = parser.parse_args()
    build = os.path.abspath(arguments.build)
    work = tempfile.mkdtemp(prefix="vaskel-jack-test.")
    harness = Harness(build, work)
    # A timeout's SIGTERM still stops the server and the clients (the finally below).
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("jack_capture_test: terminated"))
    try:
        failures = run(harness, [name for name in arguments.only.split(",") if name])
    finally:
        harness.stop_all()
        shutil.rmtree(work, ignore_errors=True)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
