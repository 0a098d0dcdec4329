#!/usr/bin/env python3
"""Many reads and writes by rq7cli against rq7sim on a line that misbehaves at random (see soak-cli.sh).

  soak-cli.py RQ7CLI RQ7SIM READS WRITES

Each run has an adapter of its own (rq7sim with --dump and its own seed), so what the adapter holds
afterwards is known exactly. A run is sound when it ends with exit 0 and the exact block, or with a
non-zero exit and its message, and when nothing it printed or wrote differs from what the adapter
holds; every run is sorted into an outcome, and the counts are printed at the end.
"""
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

NOISE = os.environ.get("SOAK_NOISE", "3")
LOSE = os.environ.get("SOAK_LOSE", "3")
LATE = os.environ.get("SOAK_LATE", "3")
LATE_MS = os.environ.get("SOAK_LATE_MS", "400")
SEED = int(os.environ.get("SOAK_SEED", "1000"))
PASSWORDS = b"Vosek\nTrimel\n"
RUN_GUARD_S = 120  # a run that has not ended by then hangs


class Adapter:
    """rq7sim in a process of its own; stop() ends it and returns its dump."""

    def __init__(self, rq7sim, seed, folder):
        self.dump = os.path.join(folder, "dump.txt")
        self.proc = subprocess.Popen(
            [rq7sim, "--seed", str(seed), "--noise", NOISE, "--lose", LOSE, "--late", LATE,
             "--late-ms", LATE_MS, "--dump", self.dump],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.device = None
        for line in self.proc.stdout:
            m = re.search(r"adapter at address \d+ on (\S+)", line)
            if m:
                self.device = m.group(1)
                break
        if self.device is None:
            raise RuntimeError("rq7sim did not start")

    def stop(self):
        self.proc.send_signal(signal.SIGINT)
        self.proc.communicate(timeout=30)
        slots, spoiled = {}, (0, 0, 0)
        with open(self.dump, encoding="utf-8") as f:
            for line in f:
                words = line.split()
                if words[:1] == ["image"]:
                    image = "".join(words[1:])
                    slots = {k: image[8 * k:8 * k + 8] for k in range(1, 17)}
                elif words[:1] == ["misbehaviour"]:
                    spoiled = (int(words[2]), int(words[4]), int(words[6]))
        return slots, spoiled


def has_message(err, *texts):
    return any(t in err for t in texts)


def check_read(rc, out, err, output_path, held):
    """The outcome of a read, and whether it broke the rule."""
    wrote = os.path.exists(output_path)
    if rc in (0, 7):
        try:
            shown = json.loads(out)
        except ValueError:
            return f"exit {rc} without its JSON", True
        exact = [s.upper() for s in shown["slots"]] == [held[k] for k in range(1, 17)]
        if rc == 0:
            if not (exact and shown["checksum_ok"] and wrote):
                return "exit 0 with a block the adapter does not hold", True
            with open(output_path, encoding="cp1251", newline="") as f:
                lines = f.read().split("\r\n")
            if lines[2] != shown["factory_number"] or lines[3:15] != shown["texts"]:
                return "exit 0 with a file that differs from what it printed", True
            return "exit 0, the exact block printed and in the file", False
        if not has_message(err, "Ошибка кс"):
            return "exit 7 without \"Ошибка кс\"", True
        if wrote:
            return "exit 7, yet the block written to a file", True
        if exact:
            return "exit 7 \"Ошибка кс\", the values held by the adapter", False
        return "exit 7 \"Ошибка кс\", values printed under the warning differ from the adapter's", False
    if rc == 3:
        if out.strip() or wrote:
            return "exit 3, yet values printed or a file written", True
        if has_message(err, "Нет ответа"):
            return "exit 3 \"Нет ответа\", nothing printed", False
        if has_message(err, "Сбой!"):
            return "exit 3 \"Сбой!\", nothing printed", False
        return "exit 3 without its message", True
    first = err.strip().splitlines()[:1]
    return f"exit {rc}: {first[0] if first else 'no message'}", True


TRACE_WRITE = re.compile(r"^\+\s*[\d.]+ -> ((?:[0-9A-F]{2} )+[0-9A-F]{2})\s+write slot (\d+)")


def sent_slots(err):
    """The bytes last sent to each slot, from the trace."""
    sent = {}
    for line in err.splitlines():
        m = TRACE_WRITE.match(line)
        if m:
            frame = m.group(1).split()
            sent[int(m.group(2))] = "".join(frame[7:11])
    return sent


def slot_list(text):
    """The slots of a list like "1-4, 7" ("нет": none)."""
    slots = set()
    if text != "нет":
        for part in text.split(", "):
            first, _, last = part.partition("-")
            slots.update(range(int(first), int(last or first) + 1))
    return slots


REPORT_LINE = re.compile(r"Слоты с новыми значениями: ([\d, -]+|нет)"
                         r"(?:; не известно \(подтверждение не получено\): ([\d, -]+))?"
                         r"(?:; с прежними значениями: ([\d, -]+))?;")


def check_write(rc, out, err, held, before):
    """A write of a whole block: the adapter must hold what each exit code reports (before: the block the
    adapter had before the run)."""
    sent = sent_slots(err)
    holds = lambda slots: all(k in sent and held[k] == sent[k] for k in slots)
    if rc == 0:
        if len(sent) == 16 and holds(range(1, 17)) and "все 16 слотов совпадают" in out:
            return "exit 0, the adapter holds every byte sent", False
        return "exit 0, but the adapter does not hold what was sent", True
    if rc == 9:
        if len(sent) < 16 or not holds(range(1, 17)):
            return "exit 9, but the adapter does not hold all 16 slots sent", True
        if "Коэффициенты записаны" in out and has_message(err, "Проверка записи не выполнена"):
            return "exit 9 \"Проверка записи не выполнена\", the 16 slots written held", False
        if re.search(r"Слоты с новыми значениями: 1-16;", err):
            return "exit 9, the 16 slots named as new held", False
        return "exit 9 without its message", True
    if rc == 8:
        m = REPORT_LINE.search(err)
        if not m or not sent:
            return "exit 8 without the slots written, or with no write request sent", True
        new, unknown, old = (slot_list(g) if g else set() for g in m.groups())
        if new & unknown or new & old or unknown & old or new | unknown | old != set(range(1, 17)):
            return "exit 8 with slots named twice or not at all", True
        if not holds(new):
            return "exit 8, a slot named as new not held", True
        if any(held[k] != before[k] for k in old):
            return "exit 8, a slot named as old not holding its old bytes", True
        if any(held[k] not in (sent.get(k), before[k]) for k in unknown):
            return "exit 8, a slot of unknown state holding neither old nor sent bytes", True
        return (f"exit 8, the slots named as new and old held ({'some' if unknown else 'none'} "
                f"of unknown state)"), False
    if rc == 3:
        if not has_message(err, "Нет ответа", "Сбой!"):
            return "exit 3 without its message", True
        if sent:
            return "exit 3, yet a write request sent", True
        if held != before:
            return "exit 3, yet the adapter's block changed", True
        return "exit 3, nothing sent", False
    if rc == 4:
        named = {int(k): (w.replace(" ", ""), r.replace(" ", "")) for k, w, r in re.findall(
            r"Слот (\d+): записано ((?:[0-9A-F]{2} ?){4}), прочитано ((?:[0-9A-F]{2} ?){4})", err)}
        if not named:
            return "exit 4 naming no slot", True
        if any(k not in sent or w != sent[k] or r != held[k] or r == w for k, (w, r) in named.items()):
            return "exit 4 naming a slot as the adapter does not hold it", True
        if not holds(k for k in range(1, 17) if k not in named):
            return "exit 4, a slot that differs left unnamed", True
        return "exit 4 naming the slots the adapter holds differently", False
    first = err.strip().splitlines()[:1]
    return f"exit {rc}: {first[0] if first else 'no message'}", True


def write_file(path, run):
    values = [f"{1000 + run % 50}", "630", "16.0012", "3.9988", "85", "-40", "16.0034", "4.0021", "200",
              "1.5", "15.9987", "3.9992"]
    lines = ["1", "03/07/2012(14:05:10)", f"{200000 + run:07d}"] + values
    with open(path, "w", encoding="cp1251", newline="") as f:
        f.write("\r\n".join(lines) + "\r\n")


def run_one(rq7cli, rq7sim, kind, run, seed, folder, before):
    adapter = Adapter(rq7sim, seed, folder)
    output = os.path.join(folder, "block.dat")
    if os.path.exists(output):
        os.remove(output)
    if kind == "read":
        args = [rq7cli, "read", "--json", "--output", output, "--port", adapter.device]
        given = b""
    else:
        source = os.path.join(folder, "source.dat")
        write_file(source, run)
        args = [rq7cli, "write", source, "--trace", "--port", adapter.device]
        given = PASSWORDS
    start = time.monotonic()
    try:
        # The service record of the soak's runs stays in its folder.
        env = dict(os.environ, RQ7_HISTORY=os.path.join(folder, "history.sqlite"))
        done = subprocess.run(args, input=given, capture_output=True, timeout=RUN_GUARD_S, env=env)
        rc, out, err = done.returncode, done.stdout.decode("utf-8", "replace"), done.stderr.decode(
            "utf-8", "replace")
    except subprocess.TimeoutExpired:
        rc, out, err = None, "", ""
    seconds = time.monotonic() - start
    held, spoiled = adapter.stop()
    if rc is None:
        return f"no end within {RUN_GUARD_S} s", True, spoiled, seconds
    if kind == "read":
        outcome, bad = check_read(rc, out, err, output, held)
    else:
        outcome, bad = check_write(rc, out, err, held, before)
    return outcome, bad, spoiled, seconds


def main():
    rq7cli, rq7sim, reads, writes = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    print(f"soak: {reads} reads and {writes} writes; per reply {NOISE}% noise, {LOSE}% lost, {LATE}% late "
          f"(up to {LATE_MS} ms); seeds from {SEED}", flush=True)
    counts = {}
    broken = []
    spoiled_total = [0, 0, 0]
    seconds = {"read": [], "write": []}
    plan = [("read", i) for i in range(reads)] + [("write", i) for i in range(writes)]
    with tempfile.TemporaryDirectory(prefix="rq7-soak.") as folder:
        before, _ = Adapter(rq7sim, SEED, folder).stop()  # the block every adapter starts with
        for n, (kind, run) in enumerate(plan, 1):
            seed = SEED + (run if kind == "read" else 100000 + run)
            outcome, bad, spoiled, took = run_one(rq7cli, rq7sim, kind, run, seed, folder, before)
            key = (kind, outcome)
            counts[key] = counts.get(key, 0) + 1
            spoiled_total = [a + b for a, b in zip(spoiled_total, spoiled)]
            seconds[kind].append(took)
            if bad:
                broken.append((kind, seed, outcome))
                print(f"  BROKEN: {kind} with --seed {seed}: {outcome}", flush=True)
            elif outcome.startswith(("exit 7", "exit 8", "exit 9")):
                print(f"  note: {kind} with --seed {seed}: {outcome}", flush=True)
            if n % 50 == 0 or n == len(plan):
                print(f"  {n}/{len(plan)} runs", flush=True)
    print("\noutcomes:")
    for kind in ("read", "write"):
        for (k, outcome), count in sorted(counts.items(), key=lambda item: -item[1]):
            if k == kind:
                print(f"  {kind:5} {count:4}  {outcome}")
    print(f"replies spoiled by the simulator: {spoiled_total[0]} noise, {spoiled_total[1]} lost, "
          f"{spoiled_total[2]} late")
    for kind, times in seconds.items():
        if times:
            times.sort()
            print(f"{kind} wall time: median {times[len(times) // 2]:.2f} s, longest {times[-1]:.2f} s")
    print(f"runs that broke the rule (a value the adapter does not hold, or no message): {len(broken)}")
    for kind, seed, outcome in broken:
        print(f"  {kind} --seed {seed}: {outcome}")
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main())
