#!/usr/bin/env python3
"""Where a running recording's time goes, thread by thread, beside parec on the same stream, on
the server of the environment: process-tap, parec asking for its 100 ms fragments and parec as
is record one playback stream ('Music') at once; after 3 s, `perf stat --per-thread` counts each
thread's CPU time and context switches (its wake-ups) for WINDOW seconds."""
import argparse, json, os, subprocess, sys, time


def sink_input(client):
    for _ in range(100):
        streams = json.loads(subprocess.run(["pactl", "-f", "json", "list", "sink-inputs"],
                                            capture_output=True, text=True).stdout or "[]")
        for s in streams:
            if s["properties"].get("application.name") == client:
                return str(s["index"])
        time.sleep(0.05)
    sys.exit(f"no playback stream of {client}")


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--process-tap", required=True)
    p.add_argument("--window", type=float, default=15)
    p.add_argument("--client", default="Music")
    p.add_argument("--work", required=True, help="a folder for the files")
    a = p.parse_args()
    work = a.work
    index = sink_input(a.client)
    quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    tools = {
        "process-tap": subprocess.Popen([a.process_tap, f"{work}/pt.wav", str(a.window + 6),
                                         a.client], **quiet),
        "parec 100 ms": subprocess.Popen(["parec", f"--monitor-stream={index}",
                                          "--latency-msec=100", "--file-format=wav",
                                          f"{work}/p100.wav"], **quiet),
        "parec": subprocess.Popen(["parec", f"--monitor-stream={index}", "--file-format=wav",
                                   f"{work}/p.wav"], **quiet),
    }
    time.sleep(3)
    pids = ",".join(str(t.pid) for t in tools.values())
    stat = subprocess.run(["perf", "stat", "--per-thread", "-x", ";", "-e",
                           "task-clock,context-switches", "-p", pids, "sleep", str(a.window)],
                          capture_output=True, text=True).stderr
    owner = {tid: name for name, t in tools.items() for tid in os.listdir(f"/proc/{t.pid}/task")}
    for name, t in tools.items():
        if name != "process-tap":
            t.send_signal(2)
        t.wait()
    # Lines "comm-tid;value;unit;event;..."
    threads = {}
    for line in stat.splitlines():
        fields = line.split(";")
        if len(fields) < 4 or not fields[1].replace(".", "", 1).isdigit():
            continue
        comm, _, tid = fields[0].rpartition("-")
        threads.setdefault((comm, tid), {})[fields[3].split(":")[0]] = float(fields[1])
    print(f"| {a.window:g} s of a running recording | thread | CPU per second | wake-ups per second |")
    print("|---|---|---|---|")
    totals = {}
    for name, t in tools.items():
        mine = [(k, v) for k, v in threads.items() if owner.get(k[1]) == name]
        for (comm, tid), v in sorted(mine, key=lambda kv: -kv[1].get("task-clock", 0)):
            cpu = v.get("task-clock", 0) / a.window
            sw = v.get("context-switches", 0) / a.window
            totals.setdefault(name, [0, 0])
            totals[name][0] += cpu
            totals[name][1] += sw
            print(f"| {name} | {comm} | {cpu:.2f} ms | {sw:.1f} |")
    for name, (cpu, sw) in totals.items():
        print(f"| {name} | all | **{cpu:.2f} ms** | **{sw:.1f}** |")
    base = totals.get("parec 100 ms", [0])[0]
    if base:
        print(f"process-tap / parec 100 ms: {totals['process-tap'][0] / base:.2f}x CPU")
    print(f"load average {os.getloadavg()[0]:.2f} on {os.cpu_count()} CPUs")


if __name__ == "__main__":
    main()
