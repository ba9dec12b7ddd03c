#!/usr/bin/python3
"""End-to-end check of one support session: the real session worker and WinHTTP connection (the
Windows program session_worker_e2e under Wine) against the simulator's full_session scenario. It
checks the transcript (message order, fields, pacing) and the program's report.

    run_session_e2e.py --wine-run BUILD/wine-run --exe BUILD/.../session_worker_e2e.exe --work DIR

The other whole-session runners (files, TLS, soak, the turn benchmark) run sessions with the
helpers here.
"""

import argparse
import json
import random
import shutil
import subprocess
import sys
from pathlib import Path

from simulator import PROTOCOL_VERSION, Server

PAUSE = 0.1  # the client's pause between turns
FRAME_SPACING = 0.5  # at most one preview frame per 500 ms
SLACK = 0.01  # timer granularity under Wine
PICTURES = ["cGljdHVyZS0w", "cGljdHVyZS0x"]  # Base64 of the fake screen's "picture-0", "picture-1"
CONNECT = {"type": "ticket_connect", "support_ticket": "123456", "ixcompany": 7,
           "device_id": "0123456789abcdef" * 2, "token": "0123456789abcdef" * 4,
           "market_code": "", "store_code": "", "vendor_code": ""}
REQUEST = {"type": "request", "ixcompany": 7, "screen_preview": True, "multi_monitor": True,
           "monitors": [{"id": "\\\\.\\DISPLAY1", "x": 0, "y": 0, "width": 1600, "height": 1000,
                         "primary": True}], "remote_input": True, "file_transfer": True,
           "market_code": "", "market_name": "", "store_code": "", "store_name": "",
           "vendor_code": "", "vendor_name": "", "program_name": "Quillory",
           "program_version": "2026.10.6.1", "requester": "E2E customer", "reason": ""}


class Check:
    def __init__(self):
        self.failures = []

    def __call__(self, condition, message):
        if not condition:
            self.failures.append(message)
        return condition

    def result(self) -> int:
        for failure in self.failures:
            print("FAIL:", failure)
        return 1 if self.failures else 0


def arguments(*extra) -> argparse.Namespace:
    """--wine-run (a whole command: tests/wine/two-monitors STATE BUILD/wine works too), --exe and
    --work, and each (name, default) of `extra`."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--wine-run", required=True, nargs="+")
    parser.add_argument("--exe", required=True)
    parser.add_argument("--work", required=True)
    for name, default in extra:
        if default is False:
            parser.add_argument(name, action="store_true")
        else:
            parser.add_argument(name, type=type(default), default=default)
    return parser.parse_args()


def windows_path(path: Path) -> str:
    return "Z:" + str(path.resolve()).replace("/", "\\")


def file_folders(work: Path, size: int, seed: int) -> tuple:
    """A fresh work folder with an empty save folder and a file of `size` random bytes to pick:
    (save folder, picked file, the program's arguments naming both)."""
    shutil.rmtree(work, ignore_errors=True)
    save, pick = work / "save", work / "pick" / "upload.bin"
    save.mkdir(parents=True)
    pick.parent.mkdir()
    pick.write_bytes(random.Random(seed).randbytes(size))
    return save, pick, (windows_path(save), windows_path(pick))


def run_program(args, work: Path, url: str, seconds: int, *extra: str) -> tuple:
    """Runs session_worker_e2e; returns its exit code and its report (the last JSON line)."""
    wine = [args.wine_run] if isinstance(args.wine_run, str) else args.wine_run
    output = work / "client.out"
    # Wine's helper processes may outlive the program: its output goes to files, not pipes.
    with open(output, "w") as out, open(work / "client.err", "w") as err:
        code = subprocess.call([*wine, args.exe, url, str(seconds), *extra], stdout=out,
                               stderr=err, timeout=seconds + 300)
    lines = [line for line in output.read_text().splitlines() if line.startswith("{")]
    return code, json.loads(lines[-1]) if lines else {}


def session(args, work: Path, scenario: str, *options: str, seconds: int = 60, extra=(),
            url: str = "ws://127.0.0.1:{port}/client", server_args: tuple = (),
            settle: float = 60) -> tuple:
    """A whole session: (exit code, report, transcript path). The simulator gets `settle` seconds
    after the program to end by itself (it does once its connection closed)."""
    server = Server(work, scenario, dict(option.split("=", 1) for option in options), 1,
                    server_args)
    try:
        code, report = run_program(args, work, url.format(port=server.port), seconds, *extra)
    finally:
        server.stop(settle)
    return code, report, server.transcript


def entries(transcript: Path) -> list:
    return [json.loads(line) for line in transcript.read_text().splitlines()]


def check_session(lines: list, report: dict, check: Check) -> None:
    events = [e for e in lines if e["dir"] == "event"]
    names = [e["event"] for e in events]
    check("scenario_done" in names and "scenario_error" not in names, f"scenario: {events}")
    opened = next((e for e in events if e["event"] == "open"), {})
    check((opened.get("path"), opened.get("user_agent")) == ("/client", "VarnelQuillory/0.5"),
          f"request line {opened}")

    talk = [e for e in lines if e["dir"] in ("client", "server")]
    check(not any(e.get("after_end") for e in talk), "the client spoke after the final state")
    check([e["dir"] for e in talk] == ["client", "server"] * (len(talk) // 2),
          "messages do not alternate client/server")
    sent = [e["msg"] for e in talk if e["dir"] == "client"]
    replies = [e["msg"] for e in talk if e["dir"] == "server"]
    types = [m.get("type") for m in sent]
    if not check(len(replies) > 3, f"the session did not run: {report}"):
        return
    check(sent[:2] == [CONNECT, REQUEST], f"handshake {sent[:2]}")
    check(sent[2:3] == [{"type": "initial_preview", "monitor_id": "", "monitor_revision": 0,
                         "capture_error": "", "jpeg": PICTURES[0], "width": 160, "height": 100}],
          f"initial preview {sent[2:3]}")

    # Exactly one answer to each prompt, echoing the id the server asked about.
    check(types.count("consent") == 1 and types.count("control_consent") == 1,
          f"consent answers in {types}")
    consent_at = types.index("consent") if "consent" in types else -1
    control_at = types.index("control_consent") if "control_consent" in types else -1
    if check(2 < consent_at < control_at, f"consent order {types}"):
        asked = replies[consent_at - 1]["session"]["consent_id"]
        check(sent[consent_at] == {"type": "consent", "consent_id": asked, "approved": True,
                                   "input_approved": True}, f"consent {sent[consent_at]}")
        asked = replies[control_at - 1]["session"]["control_id"]
        check(sent[control_at] == {"type": "control_consent", "consent_id": asked,
                                   "approved": True}, f"control consent {sent[control_at]}")
    frames = [i for i, t in enumerate(types) if t == "preview_frame"]
    check(len(frames) >= 3 and frames[0] > consent_at, f"preview frames at {frames}")
    check(set(types[3:]) <= {"status", "consent", "control_consent", "preview_frame"},
          f"unexpected message types {set(types[3:])}")
    # Pictures: full, changed, then unchanged (the viewer holds the previous one).
    shown = [(sent[i].get("unchanged"), sent[i].get("jpeg"), sent[i].get("width"))
             for i in frames[:3]]
    check(shown == [(False, PICTURES[0], 160), (False, PICTURES[1], 160), (True, None, 160)],
          f"frames {shown}")

    # Pacing, from the simulator's clock: every turn message comes at least 100 ms after the
    # reply before it, and frames at least 500 ms after the previous frame's reply.
    client_t = [e["t"] for e in talk if e["dir"] == "client"]
    server_t = [e["t"] for e in talk if e["dir"] == "server"]
    gaps = [client_t[i + 1] - server_t[i] for i in range(2, len(client_t) - 1)]
    check(min(gaps) >= PAUSE - SLACK, f"turn gap below 100 ms: {min(gaps):.4f} s")
    frame_gaps = [client_t[b] - server_t[a] for a, b in zip(frames, frames[1:])]
    check(all(g >= FRAME_SPACING - SLACK for g in frame_gaps), f"frames closer than 500 ms: {frame_gaps}")

    # The agent ended the session: the last reply says so, and nothing followed it.
    last = replies[-1]["session"]
    check((last["state"], last["end_reason"]) == ("ended", "staff_end"), f"last reply {last}")
    check(sum(len(r.get("inputs", [])) for r in replies) == 3, "the scenario's input commands")
    check({k: report.get(k) for k in ("finished", "timed_out", "status_text", "server_version",
                                      "version_warning", "staff_id", "live_commands",
                                      "refused_commands", "command_warning")} ==
          {"finished": True, "timed_out": False,
           "status_text": "The support agent ended this session. Remote access has stopped.",
           "server_version": PROTOCOL_VERSION, "version_warning": "", "staff_id": "agent-7",
           "live_commands": 3, "refused_commands": 0, "command_warning": ""}, f"report {report}")


def main() -> int:
    args = arguments()
    code, report, transcript = session(args, Path(args.work), "full_session.py")
    check = Check()
    check(code == 0, f"client exited with {code}: {(Path(args.work) / 'client.err').read_text()}")
    lines = entries(transcript)
    check_session(lines, report, check)
    print(f"{sum(e['dir'] == 'client' for e in lines)} client messages, report {report}")
    return check.result()


if __name__ == "__main__":
    sys.exit(main())
