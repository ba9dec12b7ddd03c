#!/usr/bin/python3
"""Soak: the whole-session Windows program (with --real the program's own screen capture and
input injector) against the simulator's soak scenario, an instant server that keeps the viewer
open, sends input every turn and moves files both ways back to back. The program samples its
working set, private bytes and kernel and GDI object counts every --sample-every turns; this
prints them and fails when they grow after the warm-up (the first third of the run).

    run_soak.py --wine-run BUILD/wine-run --exe .../session_worker_e2e.exe --work DIR
                [--turns 300] [--size 16384] [--real] [--sample-every 50]

The full soak is --turns 10000 by hand (about 20 minutes at 8.5 turns a second); --wine-run
tests/wine/two-monitors STATE BUILD/wine gives it a display of its own.
"""
import json
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "simulator"))
from run_session_e2e import Check, arguments, file_folders, session  # noqa: E402

# Growth allowed from the end of the warm-up to the end of the run.
SLACK = {"handles": 8, "gdi_objects": 8, "working_set_mb": 16.0, "private_mb": 16.0}


def main() -> int:
    args = arguments(("--turns", 300), ("--size", 16384), ("--sample-every", 0), ("--real", False))
    work = Path(args.work)
    save, _, files = file_folders(work, args.size, args.size)
    code, report, transcript = session(
        args, work, "soak.py", f"turns={args.turns}", f"size={args.size}", "wait_timeout=120",
        seconds=120 + args.turns // 2,  # a turn takes 100 ms and more: five times that
        extra=(*files, "--sample-every", str(args.sample_every or max(1, args.turns // 20)),
               *["--real"] * args.real))

    # Frames make the transcript large: only the notes are parsed.
    notes, frames, pictures = [], 0, 0
    with open(transcript) as lines:
        for line in lines:
            if '"event": "note"' in line:
                notes.append(json.loads(line))
            elif '"dir": "client"' in line and '"type": "preview_frame"' in line:
                frames += 1
                pictures += '"jpeg"' in line
    sent = [n["sent"] for n in notes if "sent" in n]
    received = [n["received"] for n in notes if "received" in n]
    saved = [p.stat().st_size for p in save.iterdir()]

    check = Check()
    check(code == 0 and report.get("finished"),
          f"the program ended with {code} and {report or (work / 'client.err').read_text()}")
    check(report.get("turns", 0) >= args.turns, f"{report.get('turns')} turns, {args.turns} wanted")
    check(pictures > 0, f"{frames} preview frames, none with a picture")
    check(sent and set(sent + received + saved) == {args.size} and len(saved) == len(sent),
          f"transfers not whole: sent {sent}, received {received}, saved {saved}")
    check(not report.get("file_warning") and not report.get("command_warning"),
          f"warnings: {report.get('file_warning')!r} {report.get('command_warning')!r}")
    samples = report.get("samples", [])
    print(f"turns {report.get('turns')}, {report.get('turns_per_second', 0):.2f} turns/s, "
          f"{len(sent)} files out, {len(received)} back, {frames} previews ({pictures} with a "
          f"picture), input {'real' if args.real else 'fake'}")
    print("turn    working set MB  private MB  handles  GDI objects")
    for sample in samples:
        print(f"{sample['turn']:6d}  {sample['working_set_mb']:14.1f}  {sample['private_mb']:10.1f}"
              f"  {sample['handles']:7d}  {sample['gdi_objects']:11d}")
    if check(len(samples) >= 4, f"only {len(samples)} samples"):
        # Growth up to the peak: the last sample, taken after the stop closed the session's own
        # handles, would hide that many leaked ones.
        warm = samples[len(samples) // 3]
        for key, slack in SLACK.items():
            peak = max(samples[len(samples) // 3:], key=lambda sample: sample[key])
            check(peak[key] <= warm[key] + slack, f"{key} grew from {warm[key]} (turn "
                  f"{warm['turn']}) to {peak[key]} (turn {peak['turn']})")
    return check.result()


if __name__ == "__main__":
    sys.exit(main())
