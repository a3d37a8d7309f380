#!/usr/bin/env python3
"""The cost of a file per target, side by side in one run on the server of the environment:
one player into one file (with the build given as --before too, when given) and two players into
two files, rounds alternating their order. CPU is the tool's own rusage (user + sys) per second
of audio recorded; every run must exit 0 with round(D x R) frames."""
import argparse, os, re, statistics, subprocess, sys


def run(argv):
    pid = os.posix_spawn(argv[0], argv, dict(os.environ),
                         file_actions=[(os.POSIX_SPAWN_OPEN, 1, "/tmp/bench-tracks.out",
                                        os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644),
                                       (os.POSIX_SPAWN_OPEN, 2, "/tmp/bench-tracks.err",
                                        os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)])
    _, status, usage = os.wait4(pid, 0)
    out = open("/tmp/bench-tracks.out").read()
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"{argv}: status {status}: {open('/tmp/bench-tracks.err').read()}")
    return usage.ru_utime + usage.ru_stime, usage.ru_nvcsw + usage.ru_nivcsw, out


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--process-tap", required=True)
    p.add_argument("--before")
    p.add_argument("--clients", required=True, help="A,B")
    p.add_argument("--seconds", type=float, default=10)
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--work", required=True)
    a = p.parse_args()
    first = a.clients.split(",")[0]
    cases = [("one into one", a.process_tap, os.path.join(a.work, "one.wav"), first),
             ("two into two", a.process_tap, os.path.join(a.work, "two-{name}.wav"), a.clients)]
    if a.before:
        cases.insert(0, ("one into one, before", a.before, os.path.join(a.work, "before.wav"), first))
    results = {name: [] for name, *_ in cases}
    for r in range(a.rounds):
        for name, tool, out, keyword in (cases if r % 2 == 0 else cases[::-1]):
            cpu, switches, summary = run([tool, out, str(a.seconds), keyword])
            frames = int(re.search(r" frames=(\d+)", summary).group(1))
            if frames != round(a.seconds * 48000):
                sys.exit(f"{name}: frames={frames}")
            results[name].append((cpu / a.seconds * 1000, switches / a.seconds))
    base = statistics.median(c for c, _ in results["one into one"])
    print(f"| {a.rounds} x {a.seconds:g} s | CPU per recorded second | against one into one |"
          " context switches per second |")
    print("|---|---|---|---|")
    for name, *_ in cases:
        cpu = statistics.median(c for c, _ in results[name])
        sw = statistics.median(s for _, s in results[name])
        print(f"| {name} | {cpu:.2f} ms | {cpu / base:.2f}x | {sw:.0f} |")


if __name__ == "__main__":
    main()
