#!/usr/bin/env python3
"""corvid-cli station on a pseudo-terminal 60, 80 and 130 columns wide, devices running, the
table redrawn many times and the terminal resized once: the screen holds one table, every line
of it within the width, and an ended run's bad-block count shows whatever the width."""

import argparse
import fcntl
import os
import pty
import re
import select
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import time
import unicodedata
from pathlib import Path

ROWS = 40
HEADER = "Slot Drive"


class Screen:
    """The terminal controls the table sends: text, CR, LF, ESC[nF (up n lines, column 0), ESC[J
    (erase below), ESC[H and ESC[2J (home, erase the screen), ESC[...m (colours, no columns).
    A character that does not fit in the line goes on the next one, as a terminal wraps."""

    def __init__(self, columns):
        self.columns = columns
        self.lines = [""]
        self.row = 0
        self.column = 0

    def top(self):
        return max(0, len(self.lines) - ROWS)

    def visible(self):
        return self.lines[self.top():]

    def _put(self, char):
        width = 2 if unicodedata.east_asian_width(char) in "WF" else 1
        if self.column + width > self.columns:
            self._newline()
        line = self.lines[self.row]
        self.lines[self.row] = line[:self.column] + char + line[self.column + width:]
        self.column += width

    def _newline(self):
        self.row += 1
        self.column = 0
        if self.row == len(self.lines):
            self.lines.append("")

    def feed(self, text):
        i = 0
        while i < len(text):
            char = text[i]
            if char == "\x1b":
                match = re.match(r"\x1b\[([0-9;]*)([A-Za-z])", text[i:])
                if match is None:
                    i += 1
                    continue
                number = int(match.group(1) or "0") if match.group(1).isdigit() else 0
                command = match.group(2)
                if command == "F":
                    self.row = max(self.top(), self.row - max(1, number))
                    self.column = 0
                elif command == "J":
                    start = self.top() if number == 2 else self.row
                    if number == 2:
                        del self.lines[start:]
                        self.lines.extend([""] * (ROWS if start > 0 else 1))
                    else:
                        self.lines[self.row] = self.lines[self.row][:self.column]
                        del self.lines[self.row + 1:]
                elif command == "H":
                    self.row = self.top()
                    self.column = 0
                i += match.end()
                continue
            if char == "\n":
                self._newline()
            elif char == "\r":
                self.column = 0
            elif char >= " ":
                self._put(char)
            i += 1


def set_width(fd, columns):
    fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack("HHHH", ROWS, columns, 0, 0))


def run(bin_dir, work, columns, resize_to):
    sim = work / "sim"
    home = work / "station"
    devsim = [str(bin_dir / "corvid-devsim")]
    cli = str(bin_dir / "corvid-cli")
    subprocess.run(devsim + ["serve", "--daemon", "--dir", str(sim)], check=True)
    try:
        subprocess.run([cli, "init-home", str(home)], check=True, capture_output=True)
        subprocess.run([cli, "settings", "set", "Blanking check=1", "--home", str(home)],
                       check=True, capture_output=True)
        master, slave = pty.openpty()
        set_width(slave, columns)
        station = subprocess.Popen(
            [cli, "station", "--home", str(home), "--sim-dir", str(sim), "--pause-scale", "0.3"],
            stdin=slave, stdout=slave, stderr=slave, close_fds=True)
        os.close(slave)
        screen = Screen(columns)
        decoder = __import__("codecs").getincrementaldecoder("utf-8")("replace")
        raw = []

        def read(seconds):
            end = time.monotonic() + seconds
            while time.monotonic() < end:
                ready, _, _ = select.select([master], [], [], 0.05)
                if ready:
                    try:
                        data = os.read(master, 65536)
                    except OSError:
                        return
                    raw.append(data)
                    screen.feed(decoder.decode(data))

        read(2)
        for number, letter in enumerate("EFG", start=1):
            subprocess.run(devsim + ["plug", "--letter", letter, "--profile", "nand-2k", "--port",
                                     str(number), "--trace", "none", "--dir", str(sim)],
                           check=True, capture_output=True)
        read(3)
        if resize_to:
            set_width(master, resize_to)
            screen.columns = resize_to
            station.send_signal(signal.SIGWINCH)
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline and "Total 3" not in "\n".join(screen.visible()):
            read(0.5)
        read(1)
        station.send_signal(signal.SIGINT)
        read(3)
        station.wait(timeout=60)
        os.close(master)
    finally:
        subprocess.run(devsim + ["stop", "--dir", str(sim)], capture_output=True)
    return screen, b"".join(raw)


def check(screen, drawn, label):
    problems = []
    shown = screen.visible()
    headers = [line for line in shown if line.startswith(HEADER)]
    if len(headers) != 1:
        problems.append(f"{len(headers)} tables on the screen")
    for line in shown:
        if len(line) > screen.columns:
            problems.append(f"a line wider than {screen.columns} columns: {line!r}")
    text = "\n".join(shown)
    if "Total 3" not in text:
        problems.append("the three runs did not end")
    # The ended runs' result line: bad blocks/blocks, size, time.
    if not re.search(r"\d+/\d+, \d+MB", text):
        problems.append("no bad-block count on the screen")
    if drawn.count(HEADER.encode()) < 10:
        problems.append("the table was drawn fewer than 10 times")
    for problem in problems:
        print(f"{label}: {problem}", file=sys.stderr)
    if problems:
        print(f"{label}: the screen:\n" + "\n".join(shown), file=sys.stderr)
    return not problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    args = parser.parse_args()
    good = True
    for columns, resize_to in ((60, 0), (80, 0), (130, 0), (130, 60)):
        label = f"{columns} columns" + (f", then {resize_to}" if resize_to else "")
        with tempfile.TemporaryDirectory(prefix="corvid-pty-") as work:
            screen, drawn = run(Path(args.bin).resolve(), Path(work), columns, resize_to)
            good = check(screen, drawn, label) and good
    return 0 if good else 1


if __name__ == "__main__":
    sys.exit(main())
