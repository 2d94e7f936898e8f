#!/usr/bin/env python3
"""Fault soak of the station: simulated devices that fail in every way, run through
`corvid-cli station`, and a sweep that pulls a device out at each command of a full run.

    soak.py --bin build/bin                      # 8 devices x 100 runs, then the whole sweep
    soak.py --bin build/bin --runs 3 --sweep 12  # the short version CI runs

    soak.py --bin build/bin --record-server      # also relay the record to a throwaway
                                                 # PostgreSQL that is stopped (SIGSTOP) a while

It prints what a station must keep at zero (crashes, hangs, counters that disagree with the
production record, record rows whose seconds or failed step disagree with the station's log,
descriptors, threads and child processes left over, zombies) and exits 1 when one of them is not
as asked. While the devices run, another program holds the record file locked for longer than the
station's busy timeout, so rows must wait in memory and none may be lost.
"""

import argparse
import datetime
import os
import random
import re
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
from collections import Counter
from pathlib import Path

LETTERS = "EFGHIJKL"
PROFILE = "nand-2k"
# The longest time limit of a command the soak's faults reach (Start Disk: 30 s) with room for
# the rest of a run on a busy machine: a cycle longer than this is a hang.
CYCLE_LIMIT_S = 75.0
LINE = re.compile(r"^(\S+)  slot (\d) ([A-Z])  (.*)$")
# How long another program holds the record file locked: longer than the station's busy timeout.
RECORD_LOCK_S = 8.0
# How long the record server is kept silent (SIGSTOP): longer than a statement's deadline.
SERVER_SILENCE_S = 15.0
RECORD_SERVER = Path(__file__).resolve().parent.parent / "records" / "record_server"
NOTE = re.compile(r"^\S+  drive ([A-Z]): (.*)$")
TOTAL = re.compile(r"Total (\d+)\s+Success (\d+)\s+Fail (\d+)\s+Running (\d+)")


class StationLog:
    """Follows the station's log file and keeps each drive letter's slot lines."""

    def __init__(self, path):
        self.path = path
        self.by_letter = {}
        self.timed = {}  # letter -> [(HH:MM:SS, slot, text)] of its slot lines
        self.all_lines = []
        self.changed = threading.Condition()
        self.stopping = False
        self.thread = threading.Thread(target=self._follow, daemon=True)
        self.thread.start()

    def _follow(self):
        with open(self.path, "r", encoding="utf-8", errors="replace") as log:
            pending = ""
            while True:
                chunk = log.read()
                if not chunk:
                    if self.stopping:
                        return
                    time.sleep(0.02)
                    continue
                pending += chunk
                *lines, pending = pending.split("\n")
                with self.changed:
                    for line in lines:
                        self.all_lines.append(line)
                        match = LINE.match(line)
                        if match:
                            self.by_letter.setdefault(match.group(3), []).append(
                                (int(match.group(2)), match.group(4)))
                            self.timed.setdefault(match.group(3), []).append(
                                (match.group(1), int(match.group(2)), match.group(4)))
                        note = NOTE.match(line)
                        if note:
                            self.by_letter.setdefault(note.group(1), []).append(
                                (None, "note: " + note.group(2)))
                    self.changed.notify_all()

    def lines_of(self, letter, start):
        with self.changed:
            return list(self.by_letter.get(letter, [])[start:])

    def count_of(self, letter):
        with self.changed:
            return len(self.by_letter.get(letter, []))

    def wait(self, predicate, timeout):
        end = time.monotonic() + timeout
        with self.changed:
            while not predicate():
                left = end - time.monotonic()
                if left <= 0:
                    return False
                self.changed.wait(min(left, 0.2))
            return True

    def stop(self):
        self.stopping = True
        self.thread.join(timeout=5)


class Soak:
    def __init__(self, args):
        self.bin = Path(args.bin).resolve()
        self.work = Path(tempfile.mkdtemp(prefix="corvid-soak-"))
        self.sim = self.work / "sim"
        self.home = self.work / "station"
        self.random = random.Random(args.seed)
        self.lock = threading.Lock()
        self.findings = []
        self.cycles = Counter()
        self.verdicts = Counter()
        self.station = None
        self.log = None
        self.server_state = self.work / "record-server" if args.record_server else None
        self.record_url = None
        self.silent_seconds = 0.0

    # --- the simulator ---------------------------------------------------------------------
    def devsim(self, *words, check=True):
        result = subprocess.run([str(self.bin / "corvid-devsim"), *words, "--dir", str(self.sim)],
                                capture_output=True, text=True, timeout=60)
        if check and result.returncode != 0:
            raise RuntimeError(f"corvid-devsim {' '.join(words)}: {result.stderr.strip()}")
        return result

    def plugged(self):
        out = self.devsim("list").stdout
        return {line[0] for line in out.splitlines() if line[:1].isalpha() and line[1:3] == "  "}

    def plug(self, letter, state, options, trace="none", profile=PROFILE):
        self.devsim("plug", "--letter", letter, "--profile", profile, "--state", str(state),
                    "--trace", str(trace), *options)

    def unplug(self, letter):
        self.devsim("unplug", letter, check=False)

    # --- the station -----------------------------------------------------------------------
    def start(self):
        self.devsim("serve", "--daemon")
        subprocess.run([str(self.bin / "corvid-cli"), "init-home", str(self.home)], check=True,
                       capture_output=True)
        log_path = self.work / "station.log"
        log_path.touch()
        self.log = StationLog(log_path)
        command = [str(self.bin / "corvid-cli"), "station", "--home", str(self.home), "--sim-dir",
                   str(self.sim), "--pause-scale", "0"]
        if self.server_state:
            self.record_server("start")
            if (self.server_state / "unavailable").exists():
                raise RuntimeError("PostgreSQL cannot run here: " +
                                   (self.server_state / "unavailable").read_text().strip())
            self.record_url = (self.server_state / "url").read_text().strip()
            command += ["--record-db", self.record_url]
        with open(log_path, "w") as out:
            self.station = subprocess.Popen(command, stdout=out, stderr=subprocess.STDOUT,
                                            stdin=subprocess.DEVNULL)
        if not self.log.wait(lambda: any("station ready" in l for l in self.log.all_lines), 30):
            raise RuntimeError("the station never said it was ready")
        time.sleep(0.2)
        return resources(self.station.pid)

    def stop(self):
        """Ctrl-C once: with nothing running the station ends; returns its exit status."""
        self.station.send_signal(signal.SIGINT)
        try:
            return self.station.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.station.kill()
            self.station.wait()
            self.findings.append("the station did not end within 60 s of Ctrl-C")
            return None

    # --- the record's troubles ---------------------------------------------------------------
    def record_server(self, command):
        subprocess.run([str(RECORD_SERVER), command, str(self.server_state)], check=True,
                       capture_output=True, timeout=120)

    def server_rows(self):
        psql = Path((self.server_state / "bin").read_text().strip()) / "psql"
        result = subprocess.run([str(psql), "-X", "-A", "-t", "-q", "-d", self.record_url, "-c",
                                 "SELECT count(*), count(DISTINCT run_id) FROM runs"],
                                capture_output=True, text=True, timeout=60)
        return result.stdout.strip()

    def troubles(self, stop):
        """While the devices run and are pulled: another program holds the record file locked for
        longer than the busy timeout; then the record server, if any, is silent (SIGSTOP) for a
        while."""
        if stop.wait(3):
            return
        db = sqlite3.connect(self.home / "log" / "production.db", isolation_level=None,
                             timeout=30)
        db.execute("BEGIN IMMEDIATE")
        print(f"  the record file is locked by another program for {RECORD_LOCK_S:.0f} s",
              flush=True)
        time.sleep(RECORD_LOCK_S)
        db.execute("COMMIT")
        db.close()
        if self.server_state is None or stop.wait(1):
            return
        print(f"  the record server is silent (SIGSTOP) for up to {SERVER_SILENCE_S:.0f} s",
              flush=True)
        began = time.monotonic()
        self.record_server("silence")
        try:
            stop.wait(SERVER_SILENCE_S)
        finally:
            self.record_server("wake")
            self.silent_seconds = time.monotonic() - began

    def check_record_against_log(self, rows):
        """Each row's seconds and failed step against the station's own log of that run: the
        run's lines from its FSM download to its verdict."""
        def seconds_of(clock):
            h, m, sec = (int(part) for part in clock.split(":"))
            return h * 3600 + m * 60 + sec

        # (letter, slot, verdict second, final status, first second, statuses, pulled)
        runs = []
        for letter, lines in self.log.timed.items():
            first, steps, pulled = None, [], False
            for clock, slot, text in lines:
                # A run begins with the FSM download of its arrival. "Waiting device..." before
                # its verdict line means the device was pulled: the slot was freed at once, and
                # what its worker did after that is not shown (though its record names it).
                if text == "status: FSM Writing":
                    first, steps, pulled = seconds_of(clock), [], False
                elif text.startswith("status: Waiting device"):
                    pulled = True
                elif text.startswith("status: "):
                    steps.append(text[len("status: "):])
                elif text.startswith(("pass (", "fail (")):
                    runs.append((letter, slot, seconds_of(clock), text[6:-1], first, steps, pulled))
                    first, steps, pulled = None, [], False
        wrong = 0
        for letter, slot, end_time, seconds, passed, final, failed_step in rows:
            # The record keeps UTC, the station's log the local clock.
            end = seconds_of(datetime.datetime.strptime(end_time, "%Y-%m-%d %H:%M:%SZ")
                             .replace(tzinfo=datetime.timezone.utc).astimezone()
                             .strftime("%H:%M:%S"))
            found = [r for r in runs if r[0] == letter and r[1] == slot and r[3] == final
                     and abs(r[2] - end) <= 2]
            if not found:
                wrong += 1
                self.finding(f"record row {letter} slot {slot} ended {end_time} ({final}): no "
                             "such run in the station's log")
                continue
            run = min(found, key=lambda r: abs(r[2] - end))
            runs.remove(run)
            if run[4] is not None and abs((run[2] - run[4]) - seconds) > 3:
                wrong += 1
                self.finding(f"record row {letter} slot {slot} ended {end_time}: {seconds:.1f} s, "
                             f"the log shows {run[2] - run[4]} s")
            if passed and failed_step:
                wrong += 1
                self.finding(f"record row {letter} slot {slot} ended {end_time}: passed with "
                             f"failed step {failed_step!r}")
            # A run that fails before it shows a step of its own (its device cannot be opened)
            # names its step "start".
            own_steps = [step for step in run[5]
                         if not step.startswith("FSM Writing") and step != final]
            if not own_steps and failed_step == "start":
                continue
            if not passed and not run[6] and not any(step.startswith(failed_step)
                                                     for step in run[5]):
                wrong += 1
                self.finding(f"record row {letter} slot {slot} ended {end_time} ({final}): "
                             f"failed step {failed_step!r} is none of the statuses the log "
                             f"shows: {run[5]}")
        return wrong

    # --- one device's life -----------------------------------------------------------------
    def cycle(self, letter, options, number, trace="none"):
        """Plugs a blank device with the given faults, waits for the station to be done with it,
        pulls it out and waits for its slot to be free. Returns ("pass"|"fail"|"arrival"|"gone",
        text, seconds)."""
        state = self.work / "state" / f"{letter}-{number}"
        start_index = self.log.count_of(letter)
        began = time.monotonic()
        self.plug(letter, state, options, trace)
        ended = {}

        def finished():
            for slot, text in self.log.by_letter.get(letter, [])[start_index:]:
                if text.startswith("pass (") or text.startswith("fail ("):
                    ended.update(kind=text[:4], text=text[6:-1], slot=slot)
                    return True
                if text.startswith("status: FSM Writingfail"):
                    ended.update(kind="arrival", text=text, slot=slot)
                    return True
                # A lie in the arrival checks can make it look like another make's disk.
                if text.startswith("note: ") and text.endswith("left alone"):
                    ended.update(kind="refused", text=text, slot=None)
                    return True
            return False

        while not self.log.wait(finished, 1.0):
            if time.monotonic() - began > CYCLE_LIMIT_S:
                self.finding(f"{letter} run {number} ({' '.join(options) or 'no fault'}): "
                             f"no end after {CYCLE_LIMIT_S:.0f} s")
                ended.update(kind="hang", text="", slot=None)
                break
            # A device that left during its arrival checks ends without a verdict.
            if letter not in self.plugged():
                seen = self.log.lines_of(letter, start_index)
                if not any(t.startswith("status: FILE Writing") for _, t in seen):
                    if not self.log.wait(finished, 2.0):
                        slots = [slot for slot, _ in seen if slot is not None]
                        ended.update(kind="gone", text="", slot=slots[-1] if slots else None)
                    break
        seconds = time.monotonic() - began
        self.unplug(letter)
        if ended.get("slot") is not None:
            # The slot was taken once in this cycle, so any freeing line since is its own.
            freed = self.log.wait(lambda: any(
                t.startswith("status: Waiting device...")
                for _, t in self.log.by_letter.get(letter, [])[start_index:]), 30)
            if not freed:
                self.finding(f"{letter} run {number}: its slot was never freed after removal")
        shutil.rmtree(state, ignore_errors=True)
        return ended.get("kind"), ended.get("text", ""), seconds

    def finding(self, text):
        with self.lock:
            self.findings.append(text)
        print("  FINDING: " + text, flush=True)

    def swap_under_stall(self):
        """A device pulled in the middle of its run and an ordinary USB disk of the user's put on
        its letter, while a device silent in its FSM download holds the station: the user's disk
        must come out byte for byte as it went in. Returns the finding, or None."""
        foreign_state = self.work / "state" / "foreign"
        self.plug("Z", foreign_state, [], profile="foreign")
        volume = Path(os.path.realpath(self.sim / "Z.volume"))
        mtools = dict(os.environ, MTOOLS_SKIP_CHECK="1")
        own = self.work / "OWN.TXT"
        own.write_text("the user's own data\n")
        for command in (["mkfs.fat", "-F", "16", "-n", "USERDATA", str(volume)],
                        ["mcopy", "-i", str(volume), str(own), "::"]):
            subprocess.run(command, check=True, capture_output=True, env=mtools,
                           timeout=60)
        before = volume.read_bytes()
        self.unplug("Z")

        start = self.log.count_of("N")
        self.plug("N", self.work / "state" / "swap-N", ["--latency-ms", "20"])
        if not self.log.wait(lambda: any(t.startswith("status: Program Write Setup")
                                         for _, t in self.log.lines_of("N", start)), 60):
            return "swap: N never reached its firmware download"
        self.plug("M", self.work / "state" / "swap-M", ["--silent", "FSM_WRITE_SETUP"])
        if not self.log.wait(lambda: any(t.startswith("status: Start Disk")
                                         for _, t in self.log.lines_of("N", start)), 60):
            return "swap: N never reached Start Disk"
        self.unplug("N")
        self.plug("N", foreign_state, [], profile="foreign")
        ended = self.log.wait(lambda: any(t.startswith(("pass (", "fail ("))
                                          for _, t in self.log.lines_of("N", start)), 60)
        self.unplug("M")
        time.sleep(2)  # what the station would still do to the disk on N, it does now
        self.unplug("N")
        if volume.read_bytes() != before:
            return "swap: the user's disk put on N was written to"
        if not ended:
            return "swap: the run pulled from N never ended"
        return None

    # --- the soak --------------------------------------------------------------------------
    def reference_trace(self):
        """One clean run on E with a trace: the commands of a full run, in order."""
        trace = self.work / "reference.trace"
        kind, text, _ = self.cycle("E", [], 0, trace)
        if kind != "pass":
            raise RuntimeError(f"the clean reference run did not pass: {kind} {text}")
        # A trace line: time, letter, CDB, direction, length, result, command, [-- note].
        names = [line.split()[6] for line in trace.read_text().splitlines() if line.strip()]
        seen = Counter()
        commands = []
        for name in names:
            seen[name] += 1
            commands.append((name, seen[name]))
        return commands

    def random_faults(self, rng, commands):
        name, occurrence = rng.choice(commands)
        roll = rng.random()
        if roll < 0.40:
            return []
        if roll < 0.60:
            return ["--fail", f"{name}@{occurrence}:{rng.choice(['call', 'status'])}"]
        if roll < 0.80:
            return ["--unplug-during", f"{name}@{occurrence}"]
        if roll < 0.85:
            return ["--silent", f"{name}@{occurrence}"]
        if roll < 0.93:
            return ["--latency-ms", f"{rng.uniform(2, 25):.1f}"]
        return ["--lie", f"{rng.randrange(1 << 30)}:{rng.choice([1, 5, 20])}"]

    def device_worker(self, letter, runs, commands, seed):
        rng = random.Random(seed)
        number = 0
        done = 0
        while done < runs and number < runs * 3:
            number += 1
            options = self.random_faults(rng, commands)
            kind, text, seconds = self.cycle(letter, options, number)
            with self.lock:
                self.cycles[kind] += 1
                if kind in ("pass", "fail"):
                    self.verdicts[kind] += 1
            if kind in ("pass", "fail"):
                done += 1
            if kind == "fail" and not text:
                self.finding(f"{letter} run {number} ({' '.join(options)}): failed without a text")
            if kind == "pass" and options and options[0] in ("--unplug-during", "--silent"):
                self.finding(f"{letter} run {number} ({' '.join(options)}): passed")
            if kind == "hang":
                return

    def sweep(self, commands, sample, rng):
        """Pulls the device out at command k, for every k of a full run (or a sample of them),
        on the eight letters in turn."""
        ks = list(range(len(commands)))
        if sample and sample < len(ks):
            ks = sorted(rng.sample(ks, sample))
        results = Counter()
        lock = threading.Lock()
        queue = list(ks)

        def worker(letter):
            while True:
                with lock:
                    if not queue:
                        return
                    k = queue.pop(0)
                name, occurrence = commands[k]
                options = ["--unplug-during", f"{name}@{occurrence}"]
                kind, text, seconds = self.cycle(letter, options, 10000 + k)
                with lock:
                    results[kind] += 1
                if kind == "pass":
                    self.finding(f"sweep: pulled out at command {k + 1} ({name}@{occurrence}), "
                                 "the run passed")
                elif kind == "fail" and not text:
                    self.finding(f"sweep: command {k + 1} ({name}@{occurrence}): no failure text")
                elif kind == "hang":
                    return

        threads = [threading.Thread(target=worker, args=(l,)) for l in LETTERS]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        return len(ks), results


def resources(pid):
    """Descriptors, threads and child processes of a process, and zombies among its children."""
    fds = len(os.listdir(f"/proc/{pid}/fd"))
    threads = len(os.listdir(f"/proc/{pid}/task"))
    children = []
    zombies = 0
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            stat = Path(f"/proc/{entry}/stat").read_text()
        except OSError:
            continue
        fields = stat[stat.rindex(")") + 2:].split()
        if int(fields[1]) == pid:
            children.append(int(entry))
            zombies += fields[0] == "Z"
    return {"descriptors": fds, "threads": threads, "children": len(children), "zombies": zombies}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", required=True, help="folder of corvid-cli and corvid-devsim")
    parser.add_argument("--runs", type=int, default=100, help="runs per device (default 100)")
    parser.add_argument("--sweep", type=int, default=0,
                        help="commands of the sweep to pull out at (0: every one)")
    parser.add_argument("--seed", type=int, default=None, help="seed of the faults")
    parser.add_argument("--record-server", action="store_true",
                        help="relay the record to a throwaway PostgreSQL (tests/records/"
                             "record_server) and stop it with SIGSTOP for a while")
    args = parser.parse_args()
    if args.seed is None:
        args.seed = random.randrange(1 << 31)
    soak = Soak(args)
    print(f"soak: seed {args.seed}, {len(LETTERS)} devices x {args.runs} runs, in {soak.work}",
          flush=True)
    try:
        return run(soak, args)
    finally:
        if soak.station and soak.station.poll() is None:
            soak.station.kill()
        soak.devsim("stop", check=False)
        if soak.server_state:
            subprocess.run([str(RECORD_SERVER), "stop", str(soak.server_state)],
                           capture_output=True, timeout=120)
        if soak.log:
            soak.log.stop()
        if not soak.findings:
            shutil.rmtree(soak.work, ignore_errors=True)


def run(soak, args):
    began = time.monotonic()
    before = soak.start()
    commands = soak.reference_trace()
    print(f"a full {PROFILE} run: {len(commands)} commands", flush=True)

    rng = random.Random(args.seed)
    threads = [threading.Thread(target=soak.device_worker,
                                args=(letter, args.runs, commands, rng.randrange(1 << 31)))
               for letter in LETTERS]
    calm = threading.Event()
    troubles = threading.Thread(target=soak.troubles, args=(calm,))
    troubles.start()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    soak_seconds = time.monotonic() - began
    swept, sweep_results = soak.sweep(commands, args.sweep, rng)
    swap_finding = soak.swap_under_stall()
    if swap_finding:
        soak.finding(swap_finding)
    calm.set()  # the troubles go on through the sweep
    troubles.join()
    time.sleep(0.5)
    after = resources(soak.station.pid)

    status = soak.stop()
    # The station has ended: read its log to the end before judging its last lines.
    soak.log.stop()
    totals = [TOTAL.search(l) for l in soak.log.all_lines if TOTAL.search(l)]
    last = totals[-1].groups() if totals else ("?", "?", "?", "?")
    verdict_lines = Counter(t[:4] for lines in soak.log.by_letter.values() for _, t in lines
                            if t.startswith(("pass (", "fail (")))
    db = sqlite3.connect(soak.home / "log" / "production.db")
    rows, passed = db.execute("SELECT COUNT(*), COALESCE(SUM(passed), 0) FROM runs").fetchone()
    record_rows = db.execute("SELECT letter, slot, end_time, seconds, passed, final_status, "
                             "failed_step FROM runs").fetchall()
    pending = db.execute("SELECT COUNT(*) FROM pending_runs").fetchone()[0]
    db.close()
    disagree = 0
    wrong_rows = soak.check_record_against_log(record_rows)
    server = None
    if soak.server_state:
        server = soak.server_rows()
        if server != f"{rows}|{rows}" or pending != 0:
            disagree += 1
            soak.finding(f"the record server holds {server} (rows|distinct run ids), the file "
                         f"{rows} rows with {pending} still waiting")
    if (str(rows), str(passed), str(rows - passed)) != last[:3] or last[3] != "0":
        disagree += 1
        soak.finding(f"counters Total {last[0]} Success {last[1]} Fail {last[2]} Running "
                     f"{last[3]}; record {rows} rows, {passed} passed")
    if verdict_lines["pass"] + verdict_lines["fail"] != rows:
        disagree += 1
        soak.finding(f"{sum(verdict_lines.values())} verdict lines but {rows} record rows")
    crashes = 0 if status in (0, 1) else 1
    if crashes:
        soak.finding(f"corvid-cli station ended with status {status}")
    hangs = soak.cycles["hang"] + sweep_results["hang"]
    left = {key: after[key] - before[key] for key in ("descriptors", "threads", "children")}

    print()
    print(f"runs            {soak.verdicts['pass'] + soak.verdicts['fail']} "
          f"(+{soak.cycles['arrival'] + soak.cycles['gone']} devices that failed or left during "
          f"their arrival checks, {soak.cycles['refused']} that lied their way out of being "
          "taken)")
    print(f"passes          {soak.verdicts['pass']}")
    print(f"fails           {soak.verdicts['fail']}")
    print(f"crashes         {crashes}")
    print(f"hangs           {hangs}   (a device not done with after {CYCLE_LIMIT_S:.0f} s)")
    print(f"counters        {disagree} disagreeing with the record "
          f"(Total {last[0]}, record {rows} rows)")
    for key in ("descriptors", "threads", "children"):
        print(f"{key:<15} {after[key]} at the end, {before[key]} at the start")
    print(f"record rows     {wrong_rows} whose seconds or failed step disagree with the log")
    if server is not None:
        print(f"record server   {server.split('|')[0]} rows after {soak.silent_seconds:.0f} s "
              f"silent, {pending} waiting")
    print(f"zombies         {after['zombies']}")
    print(f"sweep           pulled out at {swept} of {len(commands)} commands: "
          f"{sweep_results['fail']} failed runs, {sweep_results['arrival']} failed arrivals, "
          f"{sweep_results['gone']} left during arrival, {sweep_results['refused']} not taken, "
          f"{sweep_results['pass']} passed")
    print(f"swapped disk    {'written to' if swap_finding else 'untouched'} (a device pulled "
          "mid-run, a user's disk put on its letter while another device stalls the station)")
    print(f"station exit    {status}")
    print(f"time            {soak_seconds:.0f} s soak, {time.monotonic() - began:.0f} s in all")
    bad = (soak.findings or crashes or hangs or disagree or wrong_rows or any(left.values())
           or after["zombies"] or sweep_results["pass"])
    if bad:
        print(f"soak: FAILED; the folder {soak.work} is kept", file=sys.stderr)
        for finding in soak.findings:
            print("  " + finding, file=sys.stderr)
        return 1
    print("soak: every figure as asked")
    return 0


if __name__ == "__main__":
    sys.exit(main())
