#!/usr/bin/python3
"""Turn-loop benchmark under Wine: the real session worker and WinHTTP connection (the
session_worker_e2e program of a Windows build) against the simulator's instant scenario, which
answers at once with control granted and one input command per reply. Reports the turns per
second (bounded by one turn per 100 ms pause plus the round trip) and the CPU time per turn.
Figures only: it fails only when the session itself fails.

    bench/session_turns_wine.py --wine-run build/windows/wine-run \\
        --exe build/windows/tests/session/session_worker_e2e.exe [--turns 200]
"""

import argparse
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "simulator"))
from run_session_e2e import entries, session  # noqa: E402


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--wine-run", required=True)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--turns", type=int, default=200)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="quillory-turns-") as folder:
        code, report, transcript = session(args, Path(folder), "instant.py", f"turns={args.turns}",
                                           seconds=args.turns // 5 + 60)
        lines = entries(transcript)
    talk = [e for e in lines if e["dir"] in ("client", "server")]
    # Round trip as the simulator sees it is nil; the client's side of it is in the turn time.
    replies = [e["t"] for e in talk if e["dir"] == "server"]
    requests = [e["t"] for e in talk if e["dir"] == "client"]
    gaps = sorted(b - a for a, b in zip(replies[2:], requests[3:]))
    if code or not report.get("finished") or "turns_per_second" not in report:
        print(f"session failed: {report}")
        return 1
    print(f"turns:                    {report['turns']}")
    print(f"turns per second:         {report['turns_per_second']:.2f} "
          f"(bound 1 / (0.100 s + round trip) = 10 at most)")
    print(f"reply-to-next-message:    median {gaps[len(gaps) // 2] * 1000:.1f} ms, "
          f"max {gaps[-1] * 1000:.1f} ms")
    print(f"worker CPU per turn:      {report['worker_cpu_ms_per_turn']:.3f} ms")
    print(f"process CPU per turn:     {report['process_cpu_ms_per_turn']:.3f} ms")
    print(f"live input batches:       {report['live_batches']}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
