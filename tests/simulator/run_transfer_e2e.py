#!/usr/bin/python3
"""File-transfer integration: the real session worker, WinHTTP connection and file engine (the
whole-session Windows program under Wine) against the simulator's large_files scenario. The
program saves offered files into SAVE and picks PICK when asked:

    session_worker_e2e <server url> <seconds> <save folder> <file to pick>

Checks that the file crossed whole both ways (SHA-256 at both ends), that no temporary file is
left, and reports the time of each direction against the pacing bound (one client message per
turn, each turn at least the client's 100 ms pause; one chunk per message) and the program's peak
working set.

    run_transfer_e2e.py --wine-run BUILD/wine-run --exe BUILD/.../session_worker_e2e.exe --work DIR
"""

import argparse
import hashlib
import json
import random
import re
import shutil
import subprocess
import sys
from pathlib import Path

from run_session_e2e import Check, finish_simulator, start_simulator

PAUSE = 0.1
HEAD = re.compile(r'\{"t": (?P<t>[0-9.]+), "conn": [0-9]+, "dir": "(?P<dir>[a-z]+)"')


def windows_path(path: Path) -> str:
    return "Z:" + str(path.resolve()).replace("/", "\\")


def sha256(path: Path) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as file:
        while block := file.read(1 << 20):
            digest.update(block)
    return digest.hexdigest()


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--wine-run", required=True)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--size", type=int, default=209715200)
    parser.add_argument("--seconds", type=int, default=900)
    args = parser.parse_args()

    work = Path(args.work)
    shutil.rmtree(work, ignore_errors=True)
    save, pick = work / "save", work / "pick" / "upload.bin"
    save.mkdir(parents=True)
    pick.parent.mkdir()
    pick.write_bytes(random.Random(-args.size).randbytes(args.size))
    upload_sha = sha256(pick)

    simulator, port, transcript = start_simulator(work, "large_files.py", f"size={args.size}",
                                                  "wait_timeout=120")
    try:
        # Wine's helper processes may outlive the program: its output goes to files, not pipes.
        with open(work / "client.out", "w") as out, open(work / "client.err", "w") as err:
            code = subprocess.call(
                [args.wine_run, args.exe, f"ws://127.0.0.1:{port}/client", str(args.seconds),
                 windows_path(save), windows_path(pick)],
                stdout=out, stderr=err, timeout=args.seconds + 120)
    finally:
        finish_simulator(simulator)
    lines = [l for l in (work / "client.out").read_text().splitlines() if l.startswith("{")]
    report = json.loads(lines[-1]) if lines else {}

    # Each turn's time splits into the client's (from a reply to the next message: its 100 ms
    # pause and its own work) and the simulator's (from a message to its reply).
    notes, ways, client, server = {}, [], 0.0, 0.0
    last = None
    with open(transcript) as entries:
        for line in entries:
            head = HEAD.match(line)
            t, direction = float(head["t"]), head["dir"]
            if direction == "event" and '"event": "note"' in line[:200]:
                entry = json.loads(line)
                notes.update({k: v for k, v in entry.items()
                              if k not in ("t", "conn", "dir", "event")})
                ways.append((client, server))
            elif direction in ("client", "server"):
                if last is not None:
                    client += t - last if direction == "client" else 0
                    server += t - last if direction == "server" else 0
                last = t
    transcript.unlink()  # half a gigabyte of Base64

    check = Check()
    check(code == 0, f"client exited with {code}: {(work / 'client.err').read_text()[-2000:]}")
    saved = save / "large.bin"
    check(notes.get("to_customer_done") and saved.exists() and
          sha256(saved) == notes.get("sent_sha256"), "the file sent to the customer differs")
    check(notes.get("to_staff_done") and notes.get("received_size") == args.size and
          notes.get("received_sha256") == upload_sha, "the file sent to the agent differs")
    check(sorted(p.name for p in save.iterdir()) == ["large.bin"],
          f"left in the save folder: {sorted(p.name for p in save.iterdir())}")

    figures = {"peak_working_set_mb": report.get("peak_working_set_mb")}
    # Notes: the first before the download, one after it, one after the upload.
    for way, (start, end) in zip(("to_customer", "to_staff"), zip(ways, ways[1:])):
        messages, seconds = notes.get(f"{way}_messages", 0), notes.get(f"{way}_seconds", 0)
        bound = messages * PAUSE
        figures[way] = {"seconds": seconds, "chunks": notes.get(f"{way}_chunks"),
                        "messages": messages, "bound_seconds": bound,
                        "over_bound": seconds / bound - 1 if bound else None,
                        "client_seconds": end[0] - start[0],
                        "client_over_bound": (end[0] - start[0]) / bound - 1 if bound else None,
                        "simulator_seconds": end[1] - start[1]}
    print(json.dumps(figures, indent=1))
    for failure in check.failures:
        print("FAIL:", failure, file=sys.stderr)
    return 1 if check.failures else 0


if __name__ == "__main__":
    sys.exit(main())
