#!/usr/bin/env python3
"""Runs process-tap, parec and (on PipeWire) pw-record on the same playback stream in alternating
rounds and prints their CPU cost, peak memory and start-up delay side by side. Driven by scripts/bench-pulse.sh, which
explains the method; standard library only."""
import argparse
import array
import math
import os
import re
import signal
import statistics
import subprocess
import sys
import threading
import time

EVENT = re.compile(r"Event '(\w+)' on ([\w-]+) #(\d+)")
# A 440 Hz sine of amplitude 0.5 moves at most 0.029 per sample at 48 kHz; a larger step
# means audio was dropped, repeated or mixed twice.
JUMP = 0.1


class Events:
    """Timestamps the server's announcements, so a tool's connection is seen from outside."""

    def __init__(self):
        self.proc = subprocess.Popen(["pactl", "subscribe"], stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True)
        self.lock = threading.Lock()
        self.seen = []
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            stamp = time.monotonic()
            m = EVENT.search(line)
            if m:
                with self.lock:
                    self.seen.append((stamp, m.group(1), m.group(2), int(m.group(3))))

    def first_new(self, facility, start, end):
        with self.lock:
            for stamp, kind, fac, _ in self.seen:
                if start <= stamp <= end and kind == "new" and fac == facility:
                    return stamp
        return None

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()


def read_wav(path):
    with open(path, "rb") as f:
        blob = f.read()
    if blob[:4] != b"RIFF" or blob[8:12] != b"WAVE":
        raise ValueError(f"{path}: not a RIFF/WAVE file")
    pos, fmt, data = 12, None, None
    while pos + 8 <= len(blob):
        cid, size = blob[pos:pos + 4], int.from_bytes(blob[pos + 4:pos + 8], "little")
        body = pos + 8
        if cid == b"fmt ":
            tag = int.from_bytes(blob[body:body + 2], "little")
            channels = int.from_bytes(blob[body + 2:body + 4], "little")
            rate = int.from_bytes(blob[body + 4:body + 8], "little")
            bits = int.from_bytes(blob[body + 14:body + 16], "little")
            if tag == 0xFFFE:
                tag = int.from_bytes(blob[body + 24:body + 26], "little")
            fmt = (tag, channels, rate, bits)
        elif cid == b"data":
            # A writer killed before closing leaves the size unpatched: take what is there.
            end = len(blob) if size in (0, 0xFFFFFFFF) else min(body + size, len(blob))
            data = blob[body:end]
            offset = body
            break
        pos = body + size + (size & 1)
    if fmt is None or data is None:
        raise ValueError(f"{path}: no fmt or data chunk")
    tag, channels, rate, bits = fmt
    if tag != 3 or bits != 32:
        raise ValueError(f"{path}: not 32-bit float (format {tag}, {bits} bits)")
    samples = array.array("f")
    samples.frombytes(data[:len(data) - len(data) % (4 * channels)])
    if sys.byteorder != "little":
        samples.byteswap()
    return samples, channels, rate, offset


def analyse(path):
    samples, channels, rate, offset = read_wav(path)
    frames = len(samples) // channels
    first = next((i // channels for i, v in enumerate(samples) if v != 0.0), None)
    out = {"frames": frames, "rate": rate, "first": first, "jumps": 0, "gaps": 0,
           "data_offset": offset, "frame_bytes": 4 * channels,
           "rms": 0.0, "hz": 0.0, "mismatch": 0}
    if first is None:
        return out
    left = samples[first * channels::channels]
    right = samples[first * channels + 1::channels] if channels > 1 else left
    out["rms"] = math.sqrt(math.fsum(v * v for v in left) / len(left))
    out["mismatch"] = sum(1 for a, b in zip(left, right) if a != b)
    jumps = crossings = gaps = zeros = 0
    prev = left[0]
    for v in left[1:]:
        if abs(v - prev) > JUMP:
            jumps += 1
        if (prev < 0.0) != (v < 0.0):
            crossings += 1
        zeros = zeros + 1 if v == 0.0 else 0
        if zeros == rate // 1000:  # a millisecond of exact silence inside the tone
            gaps += 1
        prev = v
    out.update(jumps=jumps, gaps=gaps, hz=crossings / 2 / (len(left) / rate))
    return out


def underruns(log):
    try:
        with open(log, "rb") as f:
            return f.read().count(b"Stream underrun")
    except OSError:
        return 0


class PeakMemory:
    """Samples the tool's VmHWM (peak resident set) until it ends: the rusage of a spawned child
    also counts this Python process's pages from before the exec."""

    def __init__(self, pid):
        self.pid, self.peak = pid, 0.0
        self.thread = threading.Thread(target=self._poll, daemon=True)
        self.thread.start()

    def _poll(self):
        while True:
            try:
                with open(f"/proc/{self.pid}/status") as f:
                    for line in f:
                        if line.startswith("VmHWM:"):
                            self.peak = max(self.peak, int(line.split()[1]) / 1024.0)
            except OSError:
                return
            time.sleep(0.02)


class Growth:
    """Watches the output file grow during the first seconds of a run, to see from outside
    when the tool's first audio reached the file."""

    def __init__(self, path, start, window):
        self.path, self.start, self.window = path, start, window
        self.sizes = []
        self.done = threading.Event()
        self.thread = threading.Thread(target=self._poll, daemon=True)
        self.thread.start()

    def _poll(self):
        last = -1
        while not self.done.is_set() and time.monotonic() - self.start < self.window:
            try:
                size = os.stat(self.path).st_size
            except OSError:
                size = -1
            if size != last:
                self.sizes.append((time.monotonic(), size))
                last = size
            time.sleep(0.0005)

    def stop(self):
        self.done.set()
        self.thread.join()

    def reached(self, size):
        """ms from spawn until the file held at least size bytes, if seen in the window."""
        for stamp, seen in self.sizes:
            if seen >= size:
                return (stamp - self.start) * 1000.0
        return None


def run_once(tool, argv, seconds, work, tag, events, env, player_log, out):
    stdout_path = os.path.join(work, f"{tag}.out")
    stderr_path = os.path.join(work, f"{tag}.err")
    actions = [(os.POSIX_SPAWN_OPEN, 1, stdout_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644),
               (os.POSIX_SPAWN_OPEN, 2, stderr_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)]
    hung = []

    def overrun():
        hung.append(True)
        os.kill(pid, signal.SIGKILL)

    before = underruns(player_log)
    start = time.monotonic()
    pid = os.posix_spawn(argv[0], argv, env, file_actions=actions,
                         setsigdef=(signal.SIGINT, signal.SIGTERM))
    growth = Growth(out, start, min(seconds, 3.0))
    memory = PeakMemory(pid)
    RUNNING.add(pid)
    watchdog = threading.Timer(seconds + 20.0, overrun)
    watchdog.daemon = True
    watchdog.start()
    try:
        if tool != "process-tap":
            time.sleep(max(0.0, start + seconds - time.monotonic()))
            os.kill(pid, signal.SIGINT)
        _, status, usage = os.wait4(pid, 0)
    finally:
        watchdog.cancel()
        growth.stop()
    RUNNING.discard(pid)  # only once reaped: an interrupted run's child is killed by main()
    end = time.monotonic()
    time.sleep(0.05)  # let the last announcements arrive
    code = os.waitstatus_to_exitcode(status)
    switches = usage.ru_nvcsw + usage.ru_nivcsw
    result = {"tool": tool, "tag": tag, "code": code, "hung": bool(hung),
              "cpu": usage.ru_utime + usage.ru_stime, "wall": end - start,
              "rss": memory.peak,
              "switches": switches, "underruns": underruns(player_log) - before, "growth": growth,
              "client": None, "stream": None, "summary": "", "faults": [], "notes": []}
    for key, facility in (("client", "client"), ("stream", "source-output")):
        stamp = events.first_new(facility, start, end)
        result[key] = None if stamp is None else (stamp - start) * 1000.0
    with open(stdout_path) as f:
        result["summary"] = f.read().strip()
    with open(stderr_path) as f:
        result["stderr"] = f.read().strip()
    # pw-record (0.3.65) answers its SIGINT with status 1, its file complete.
    ok_codes = {"process-tap": (0,), "pw-record": (0, 1, -signal.SIGINT, 130)}.get(
        tool, (0, -signal.SIGINT, 130))
    if hung:
        result["faults"].append(f"did not exit within {seconds + 20:.0f} s, killed")
    elif code not in ok_codes:
        result["faults"].append(f"exit status {code}: {result['stderr'][-300:]}")
    return result


RUNNING = set()


def median_range(values, fmt):
    values = [v for v in values if v is not None]
    if not values:
        return "n/a"
    text = fmt.format(statistics.median(values))
    if len(values) > 1:
        text += " [" + fmt.format(min(values)) + "-" + fmt.format(max(values)) + "]"
    return text


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--process-tap", required=True)
    parser.add_argument("--sink-input", required=True, type=int)
    parser.add_argument("--keyword", default="Music")
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--work", required=True)
    parser.add_argument("--player-log", required=True)
    parser.add_argument("--pw-target", help="record with pw-record too, from this sink")
    args = parser.parse_args()

    parec = subprocess.run(["sh", "-c", "command -v parec"], capture_output=True,
                           text=True, check=True).stdout.strip()
    secs = f"{args.seconds:g}"
    # parec-100ms asks for the 100 ms fragments process-tap uses once it runs: the same work,
    # where plain parec takes the server's default (2 s under pipewire-pulse).
    tools = ["process-tap", "parec", "parec-100ms"] + (["pw-record"] if args.pw_target else [])
    parec_argv = lambda sink_input, out, *extra: [  # noqa: E731
        parec, f"--monitor-stream={sink_input}", *extra, "--format=float32le", "--rate=48000",
        "--channels=2", "--file-format=wav", out]
    commands = {
        "process-tap": lambda out: [args.process_tap, out, secs, args.keyword],
        "parec": lambda out: parec_argv(args.sink_input, out),
        "parec-100ms": lambda out: parec_argv(args.sink_input, out, "--latency-msec=100"),
        # The sink's monitor: on the bench's private server it carries only the one stream.
        "pw-record": lambda out: [subprocess.run(["sh", "-c", "command -v pw-record"],
                                                 capture_output=True, text=True).stdout.strip(),
                                  "--target", str(args.pw_target), "-P",
                                  "{ stream.capture.sink = true }", "--format", "f32",
                                  "--rate", "48000", "--channels", "2", out],
    }
    env = dict(os.environ)
    events = Events()
    time.sleep(0.3)  # subscribed before the first tool starts
    runs = []
    try:
        for r in range(args.rounds):
            order = tools if r % 2 == 0 else tools[::-1]
            for tool in order:
                tag = f"{tool}-{r + 1}"
                out = os.path.join(args.work, tag + ".wav")
                res = run_once(tool, commands[tool](out), args.seconds, args.work, tag, events, env,
                               args.player_log, out)
                if not res["faults"] or os.path.exists(out):
                    try:
                        res.update(analyse(out))
                    except (OSError, ValueError) as e:
                        res["faults"].append(str(e))
                check(res, args.seconds)
                runs.append(res)
                print(line_for(res), flush=True)
                time.sleep(0.3)
    except KeyboardInterrupt:
        raise SystemExit(130)
    finally:
        for pid in list(RUNNING):
            try:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
            except OSError:
                pass
        events.close()
    table(runs, args)
    return 1 if any(r["faults"] for r in runs) else 0


def check(res, seconds):
    if "frames" not in res:
        return
    rate = res["rate"]
    if res["first"] is None:
        res["faults"].append("file holds only silence")
        return
    damage = []
    if res["jumps"]:
        damage.append(f"{res['jumps']} jumps > {JUMP} in the tone (lost or repeated audio)")
    if res["gaps"]:
        damage.append(f"{res['gaps']} silent gaps >= 1 ms after the first sound")
    if abs(res["rms"] - 0.5 / math.sqrt(2)) > 0.01 or abs(res["hz"] - 440.0) > 2.0:
        damage.append(f"tone reads {res['hz']:.1f} Hz RMS {res['rms']:.4f} "
                      f"(expected 440 Hz RMS 0.3536)")
    if damage and res["underruns"]:
        # A starved player is mixed as silence: both tools would record that gap.
        res["notes"].append("; ".join(damage) + f" while the player underran "
                            f"{res['underruns']} time(s): not counted against the tool")
    else:
        res["faults"] += damage
    if res["mismatch"]:
        res["faults"].append(f"{res['mismatch']} frames whose channels differ")
    if res["tool"] == "process-tap":
        m = re.search(r"frames=(\d+)", res["summary"])
        if not m or int(m.group(1)) != res["frames"]:
            res["faults"].append(f"summary says {m.group(1) if m else '?'} frames, "
                                 f"file holds {res['frames']}")
        # The wait and the device's cycles start a moment apart: the last cycle may miss it.
        if abs(res["frames"] - round(seconds * rate)) > rate // 100:
            res["faults"].append(f"{res['frames']} frames for {seconds:g} s at {rate} Hz")


def line_for(res):
    rec = res.get("frames", 0) / res.get("rate", 48000)
    cpu = res["cpu"] * 1000.0 / rec if rec else float("nan")
    first = res.get("first")
    first_ms = "n/a" if first is None else f"{first * 1000.0 / res['rate']:.1f}"
    stream = "n/a" if res["stream"] is None else f"{res['stream']:.1f}"
    text = (f"  {res['tag']:<14} cpu {res['cpu'] * 1000:7.1f} ms ({cpu:5.2f} ms/s)  "
            f"recorded {rec:6.3f} s  wall {res['wall']:6.3f} s  stream after {stream} ms  "
            f"first sound at {first_ms} ms")
    if first is not None:
        disk = res["growth"].reached(res["data_offset"] + (first + 1) * res["frame_bytes"])
        text += f" (in the file {'n/a' if disk is None else f'{disk:.1f}'} ms after spawn)"
    for note in res["notes"]:
        text += f"\n    note: {note}"
    for fault in res["faults"]:
        text += f"\n    FAULT: {fault}"
    return text


def table(runs, args):
    def per(tool):
        return [r for r in runs if r["tool"] == tool and "frames" in r and r["frames"]]

    cols = {t: per(t) for t in ("process-tap", "parec", "parec-100ms", "pw-record") if per(t)}

    def col(fn, fmt):
        return [median_range([fn(r) for r in cols[t]], fmt) for t in cols]

    def rec(r):
        return r["frames"] / r["rate"]

    def first_ms(r):
        return None if r["first"] is None else r["first"] * 1000.0 / r["rate"]

    def on_disk(r):
        if r["first"] is None:
            return None
        return r["growth"].reached(r["data_offset"] + (r["first"] + 1) * r["frame_bytes"])

    def first_data(r):
        return r["growth"].reached(r["data_offset"] + r["frame_bytes"])

    def delay(r):
        return None if r["stream"] is None or r["first"] is None else r["stream"] + first_ms(r)

    rows = [
        ("CPU ms per recorded second", col(lambda r: r["cpu"] * 1000.0 / rec(r), "{:.2f}")),
        ("CPU ms per run (user+sys)", col(lambda r: r["cpu"] * 1000.0, "{:.1f}")),
        ("peak RSS, MB", col(lambda r: r["rss"], "{:.1f}")),
        ("context switches per second", col(lambda r: r["switches"] / rec(r), "{:.0f}")),
        ("recorded seconds", col(rec, "{:.3f}")),
        ("spawn to exit, s", col(lambda r: r["wall"], "{:.3f}")),
        ("spawn to client connected, ms", col(lambda r: r["client"], "{:.1f}")),
        ("spawn to record stream, ms (a)", col(lambda r: r["stream"], "{:.1f}")),
        ("first sound in file, ms (b)", col(first_ms, "{:.1f}")),
        ("start delay a+b, ms", col(delay, "{:.1f}")),
        ("spawn to first audio in file, ms (c)", col(first_data, "{:.1f}")),
        ("spawn to first sound in file, ms (d)", col(on_disk, "{:.1f}")),
        ("spawn to exit - recorded, ms", col(lambda r: (r["wall"] - rec(r)) * 1000.0, "{:.0f}")),
        ("tone read back, Hz / RMS", [
            median_range([r["hz"] for r in cols[t]], "{:.1f}") + " / "
            + median_range([r["rms"] for r in cols[t]], "{:.4f}") for t in cols]),
    ]
    print()
    print(f"{args.rounds} rounds x {args.seconds:g} s, one 440 Hz stream '{args.keyword}' "
          f"(sink input #{args.sink_input}); median [min-max]; load average "
          f"{os.getloadavg()[0]:.2f} on {os.cpu_count()} CPUs")
    width = max(len(name) for name, _ in rows) + 2
    cw = max(22, *(len(v) + 2 for _, vals in rows for v in vals))
    print(f"{'':<{width}}" + "".join(f"{t:<{cw}}" for t in cols))
    for name, vals in rows:
        print(f"{name:<{width}}" + "".join(f"{v:<{cw}}" for v in vals))
    def median(tool, fn):
        values = [fn(r) for r in cols.get(tool, []) if fn(r) is not None]
        return statistics.median(values) if values else None

    def target(name, fn, peer, limit):
        mine, theirs = median("process-tap", fn), median(peer, fn)
        if mine is None or not theirs:
            return
        ratio = mine / theirs
        print(f"{name} process-tap/{peer}: {ratio:.2f} (target <= {limit:g}: "
              f"{'met' if ratio <= limit else 'missed'})")

    cpu = lambda r: r["cpu"] / rec(r)  # noqa: E731
    target("CPU per recorded second", cpu, "parec", 1)
    target("CPU per recorded second", cpu, "parec-100ms", 1)
    target("CPU per recorded second", cpu, "pw-record", 1)
    target("peak RSS", lambda r: r["rss"], "parec", 1.5)
    target("spawn to first sound in file (d)", on_disk, "parec", 2)
    faults = sum(len(r["faults"]) for r in runs)
    print(f"faults: {faults}" + ("" if not faults else " (see FAULT lines above)")
          + f"; player underruns during runs: {sum(r['underruns'] for r in runs)}")


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    sys.exit(main())
