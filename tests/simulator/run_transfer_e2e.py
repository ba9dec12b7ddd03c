#!/usr/bin/python3
"""Files both ways through the real session worker, WinHTTP connection and file engine (the
whole-session Windows program under Wine, saving offered files into SAVE and picking PICK)
against the simulator's large_files scenario. Checks that the file crossed whole both ways
(SHA-256 at both ends) and that no temporary file is left; prints each direction's time against
the pacing bound (each client message at least the client's 100 ms pause, one chunk a message)
and the program's peak working set.

    run_transfer_e2e.py --wine-run BUILD/wine-run --exe BUILD/.../session_worker_e2e.exe --work DIR
                        [--size 209715200] [--seconds 900]
"""

import hashlib
import json
import sys
from pathlib import Path

from run_session_e2e import PAUSE, Check, arguments, file_folders, session


def sha256(path: Path) -> str:
    with open(path, "rb") as file:
        return hashlib.file_digest(file, "sha256").hexdigest()


def main() -> int:
    args = arguments(("--size", 209715200), ("--seconds", 900))
    work = Path(args.work)
    save, pick, extra = file_folders(work, args.size, -args.size)
    code, report, transcript = session(args, work, "large_files.py", f"size={args.size}",
                                       "wait_timeout=120", seconds=args.seconds, extra=extra)

    notes = {}  # only the notes are parsed: the rest is half a gigabyte of Base64
    with open(transcript) as lines:
        for line in lines:
            if '"event": "note"' in line[:200]:
                notes.update(json.loads(line))
    transcript.unlink()

    check = Check()
    check(code == 0, f"client exited with {code}: {(work / 'client.err').read_text()[-2000:]}")
    saved = save / "large.bin"
    check(notes.get("to_customer_done") and saved.exists() and
          sha256(saved) == notes.get("sent_sha256"), "the file sent to the customer differs")
    check(notes.get("to_staff_done") and notes.get("received_size") == args.size and
          notes.get("received_sha256") == sha256(pick), "the file sent to the agent differs")
    check([p.name for p in save.iterdir()] == ["large.bin"],
          f"left in the save folder: {sorted(p.name for p in save.iterdir())}")

    figures = {"peak_working_set_mb": report.get("peak_working_set_mb")}
    for way in ("to_customer", "to_staff"):
        seconds, bound = notes.get(f"{way}_seconds", 0), notes.get(f"{way}_messages", 0) * PAUSE
        figures[way] = {"seconds": seconds, "chunks": notes.get(f"{way}_chunks"),
                        "messages": notes.get(f"{way}_messages"), "bound_seconds": bound,
                        "over_bound": seconds / bound - 1 if bound else None}
    print(json.dumps(figures, indent=1))
    return check.result()


if __name__ == "__main__":
    sys.exit(main())
