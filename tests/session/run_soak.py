#!/usr/bin/python3
"""Soak: the whole-session Windows program (session_worker_e2e, with --real the program's screen
capture and input injector) against the simulator's soak scenario, an instant server that keeps
the viewer open, sends input every turn and moves files both ways back to back. The program
samples its working set, private bytes and kernel and GDI object counts every --sample-every
turns; this prints them and fails when they grow after the warm-up (the first third of the run).

    run_soak.py --wine-run BUILD/wine-run --exe .../session_worker_e2e.exe --work DIR
                [--turns 300] [--real] [--sample-every 50]

The full soak is --turns 10000 by hand (about 20 minutes at 8.5 turns a second). --wine-run takes
a whole command, so a private display works too: --wine-run tests/wine/two-monitors STATE
BUILD/wine.
"""
import argparse
import json
import random
import shutil
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "simulator"))
from run_session_e2e import finish_simulator, start_simulator  # noqa: E402

# Growth allowed from the end of the warm-up to the end of the run.
HANDLE_SLACK = 8
GDI_SLACK = 8
MEMORY_SLACK_MB = 16.0


def windows_path(path: Path) -> str:
    return "Z:" + str(path.resolve()).replace("/", "\\")


def scan(transcript: Path):
    """The scenario's notes, and the numbers of preview frames and of pictures among them. Frames
    make the transcript large: only the notes are parsed."""
    found, frames, pictures = [], 0, 0
    with open(transcript) as lines:
        for line in lines:
            if '"event": "note"' in line:
                found.append(json.loads(line))
            elif '"dir": "client"' in line and '"type": "preview_frame"' in line:
                frames += 1
                pictures += '"jpeg"' in line
    return found, frames, pictures


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--wine-run", required=True, nargs="+")
    parser.add_argument("--exe", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--turns", type=int, default=300)
    parser.add_argument("--size", type=int, default=16384)
    parser.add_argument("--sample-every", type=int, default=0)
    parser.add_argument("--real", action="store_true")
    args = parser.parse_args()
    sample_every = args.sample_every or max(1, args.turns // 20)

    work = Path(args.work)
    shutil.rmtree(work, ignore_errors=True)
    save, pick = work / "save", work / "pick" / "upload.bin"
    save.mkdir(parents=True)
    pick.parent.mkdir()
    pick.write_bytes(random.Random(args.size).randbytes(args.size))
    # A turn takes 100 ms and more; give a loaded machine five times that.
    seconds = 120 + args.turns // 2

    simulator, port, transcript = start_simulator(
        work, "soak.py", f"turns={args.turns}", f"size={args.size}", "wait_timeout=120")
    try:
        with open(work / "client.out", "w") as out, open(work / "client.err", "w") as err:
            code = subprocess.call(
                [*args.wine_run, args.exe, *(["--real"] if args.real else []), "--sample-every",
                 str(sample_every), f"ws://127.0.0.1:{port}/client", str(seconds),
                 windows_path(save), windows_path(pick)],
                stdout=out, stderr=err, timeout=seconds + 300)
    finally:
        finish_simulator(simulator, 60)

    lines = [l for l in (work / "client.out").read_text().splitlines() if l.startswith("{")]
    report = json.loads(lines[-1]) if lines else {}
    failures = []
    if code != 0 or not report.get("finished"):
        failures.append(f"the program ended with {code} and {report or (work / 'client.err').read_text()}")
    if report.get("turns", 0) < args.turns:
        failures.append(f"{report.get('turns')} turns, {args.turns} wanted")
    found, frames, pictures = scan(transcript)
    if pictures == 0:
        failures.append(f"{frames} preview frames, none with a picture")
    sent = [n["sent"] for n in found if "sent" in n]
    received = [n["received"] for n in found if "received" in n]
    if not sent or any(size != args.size for size in sent + received):
        failures.append(f"transfers not whole: sent {sent}, received {received}")
    saved = sorted(p.name for p in save.iterdir())
    if len(saved) != len(sent) or any(p.stat().st_size != args.size for p in save.iterdir()):
        failures.append(f"saved files {saved} for {len(sent)} transfers")
    if report.get("file_warning") or report.get("command_warning"):
        failures.append(f"warnings: {report.get('file_warning')!r} {report.get('command_warning')!r}")

    samples = report.get("samples", [])
    print(f"turns {report.get('turns')}, {report.get('turns_per_second', 0):.2f} turns/s, "
          f"{len(sent)} files out, {len(received)} back, {frames} previews ({pictures} with a "
          f"picture), input {'real' if args.real else 'fake'}")
    print("turn    working set MB  private MB  handles  GDI objects")
    for sample in samples:
        print(f"{sample['turn']:6d}  {sample['working_set_mb']:14.1f}  {sample['private_mb']:10.1f}"
              f"  {sample['handles']:7d}  {sample['gdi_objects']:11d}")
    if len(samples) < 4:
        failures.append(f"only {len(samples)} samples")
    else:
        warm, last = samples[len(samples) // 3], samples[-1]
        for key, slack in (("handles", HANDLE_SLACK), ("gdi_objects", GDI_SLACK),
                           ("working_set_mb", MEMORY_SLACK_MB), ("private_mb", MEMORY_SLACK_MB)):
            if last[key] > warm[key] + slack:
                failures.append(f"{key} grew from {warm[key]} (turn {warm['turn']}) to "
                                f"{last[key]} (turn {last['turn']})")
    for failure in failures:
        print("FAIL:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
