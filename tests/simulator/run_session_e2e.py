#!/usr/bin/python3
"""End-to-end check of one support session: the real session worker and WinHTTP connection (a
Windows program run under Wine) against the simulator's full_session scenario. Starts the
simulator on a free loopback port, runs the program, ends the simulator by its process id, then
checks the transcript (message order, fields, pacing) and the program's report.

    run_session_e2e.py --wine-run BUILD/wine-run --exe BUILD/.../session_worker_e2e.exe --work DIR
"""

import argparse
import json
import re
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
PAUSE = 0.1  # the client's pause between turns
FRAME_SPACING = 0.5  # at most one preview frame per 500 ms
SLACK = 0.01  # timer granularity under Wine


class Check:
    def __init__(self):
        self.failures = []

    def __call__(self, condition, message):
        if not condition:
            self.failures.append(message)
        return condition


def start_simulator(work: Path, scenario: str = "full_session.py", *options: str,
                    server_args: tuple = ()):
    port_file = work / "port"
    transcript = work / "transcript.jsonl"
    for stale in (port_file, transcript):
        stale.unlink(missing_ok=True)
    process = subprocess.Popen(
        ["/usr/bin/python3", str(HERE / "simulator.py"), "--scenario",
         str(HERE / "scenarios" / scenario), "--port-file", str(port_file),
         "--transcript", str(transcript), "--connections", "1", "--set", "wait_timeout=20",
         *(arg for option in options for arg in ("--set", option)), *server_args],
        stdout=open(work / "simulator.log", "w"), stderr=subprocess.STDOUT)
    deadline = time.monotonic() + 30
    while not port_file.exists():
        if process.poll() is not None or time.monotonic() > deadline:
            process.kill()
            raise SystemExit(f"simulator did not start: {(work / 'simulator.log').read_text()}")
        time.sleep(0.05)
    return process, int(port_file.read_text()), transcript


def finish_simulator(process, timeout: float = 30) -> None:
    """Lets the simulator end by itself after its one connection; ends it when it does not."""
    try:
        process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        pass
    if process.poll() is None:
        process.terminate()
        process.wait(timeout=timeout)


def run_client(args, port: int, work: Path, seconds: int = 60, url: str = "") -> dict:
    output = work / "client.out"
    with open(output, "w") as out, open(work / "client.err", "w") as err:
        # Wine's helper processes may outlive the program: its output goes to files, not pipes.
        code = subprocess.call(
            [args.wine_run, args.exe, url or f"ws://127.0.0.1:{port}/client", str(seconds)],
            stdout=out, stderr=err, timeout=seconds + 60)
    lines = [line for line in output.read_text().splitlines() if line.startswith("{")]
    if code != 0 or not lines:
        raise SystemExit(f"client failed with {code}: {output.read_text()}"
                         f"{(work / 'client.err').read_text()}")
    return json.loads(lines[-1])


def check_transcript(entries: list, report: dict, check: Check) -> None:
    events = [e for e in entries if e["dir"] == "event"]
    names = [e["event"] for e in events]
    check("scenario_done" in names, f"scenario did not finish: {events}")
    check("scenario_error" not in names, f"scenario error: {events}")
    opened = next((e for e in events if e["event"] == "open"), {})
    check(opened.get("path") == "/client", f"request path {opened.get('path')!r}")
    check(opened.get("user_agent") == "VarnelQuillory/0.5",
          f"user agent {opened.get('user_agent')!r}")

    talk = [e for e in entries if e["dir"] in ("client", "server")]
    check(all(e["dir"] != "client" or not e.get("after_end") for e in talk),
          "the client spoke after the final state")
    # Strict lock-step: client, server, client, server...
    check([e["dir"] for e in talk] == ["client", "server"] * (len(talk) // 2),
          "messages do not alternate client/server")
    sent = [e["msg"] for e in talk if e["dir"] == "client"]
    replies = [e["msg"] for e in talk if e["dir"] == "server"]
    types = [m.get("type") for m in sent]

    check(types[:3] == ["ticket_connect", "request", "initial_preview"],
          f"handshake order {types[:3]}")
    first = sent[0]
    check(first.get("support_ticket") == "123456" and first.get("ixcompany") == 7,
          f"ticket_connect fields {first}")
    check(re.fullmatch(r"[0-9a-f]{32}", first.get("device_id", "")) is not None and
          re.fullmatch(r"[0-9a-f]{64}", first.get("token", "")) is not None,
          "device identity malformed")
    request = sent[1]
    check(all(request.get(k) is True for k in
              ("screen_preview", "multi_monitor", "remote_input", "file_transfer")),
          f"capabilities {request}")
    check(request.get("requester") == "E2E customer" and request.get("ixcompany") == 7,
          "request identity")
    check(request.get("monitors") == [{"id": "\\\\.\\DISPLAY1", "x": 0, "y": 0, "width": 1600,
                                       "height": 1000, "primary": True}],
          f"monitor list {request.get('monitors')}")
    initial = sent[2]
    check(initial.get("monitor_id") == "" and initial.get("monitor_revision") == 0 and
          initial.get("capture_error") == "" and initial.get("jpeg") == report["pictures"][0],
          f"initial preview {initial}")

    # Consent: exactly one answer to each prompt, echoing the id the server asked about.
    consent_at = types.index("consent") if "consent" in types else -1
    control_at = types.index("control_consent") if "control_consent" in types else -1
    if check(consent_at > 0 and control_at > consent_at, f"consent order {types}"):
        asked = replies[consent_at - 1]["session"]
        check(sent[consent_at] == {"type": "consent", "consent_id": asked["consent_id"],
                                   "approved": True, "input_approved": True},
              f"consent {sent[consent_at]}")
        asked = replies[control_at - 1]["session"]
        check(sent[control_at] == {"type": "control_consent", "consent_id": asked["control_id"],
                                   "approved": True},
              f"control consent {sent[control_at]}")
    check(types.count("consent") == 1 and types.count("control_consent") == 1,
          "a consent answer was sent twice")
    frames = [i for i, t in enumerate(types) if t == "preview_frame"]
    check(len(frames) >= 3 and frames[0] > consent_at, f"preview frames at {frames}")
    check(all(t in ("status", "consent", "control_consent", "preview_frame") for t in types[3:]),
          f"unexpected message types {set(types[3:])}")

    # Pictures: full, changed, then unchanged (the viewer holds the previous one).
    if len(frames) >= 3:
        f1, f2, f3 = (sent[i] for i in frames[:3])
        check(f1.get("unchanged") is False and f1.get("jpeg") == report["pictures"][0],
              f"first frame {f1}")
        check(f2.get("unchanged") is False and f2.get("jpeg") == report["pictures"][1],
              f"second frame {f2}")
        check(f3.get("unchanged") is True and "jpeg" not in f3 and f3.get("width") == 160,
              f"third frame {f3}")

    # Pacing, from the simulator's clock: every turn message comes at least 100 ms after the
    # reply before it, and frames at least 500 ms after the previous frame's reply.
    client_t = [e["t"] for e in talk if e["dir"] == "client"]
    server_t = [e["t"] for e in talk if e["dir"] == "server"]
    gaps = [client_t[i + 1] - server_t[i] for i in range(2, len(client_t) - 1)]
    check(min(gaps) >= PAUSE - SLACK, f"turn gap below 100 ms: {min(gaps):.4f} s")
    frame_gaps = [client_t[b] - server_t[a] for a, b in zip(frames, frames[1:])]
    check(all(g >= FRAME_SPACING - SLACK for g in frame_gaps),
          f"frames closer than 500 ms: {frame_gaps}")

    # The session ended by the agent: the last reply says so, and nothing followed it.
    last = replies[-1]["session"]
    check(last["state"] == "ended" and last["end_reason"] == "staff_end", f"last reply {last}")
    inputs_sent = sum(len(r.get("inputs", [])) for r in replies)
    check(inputs_sent == 3, f"the scenario sent {inputs_sent} input commands")


def check_report(report: dict, check: Check) -> None:
    check(report["finished"] and not report["timed_out"], f"not finished: {report}")
    check(report["status_text"] ==
          "The support agent ended this session. Remote access has stopped.",
          f"last status {report['status_text']!r}")
    check(report["server_version"] == "0.9.2" and report["version_warning"] == "",
          "server version")
    check(report["staff_id"] == "agent-7", "staff id")
    check(report["live_commands"] == 3 and report["refused_commands"] == 0,
          f"input batches {report}")
    check(report["command_warning"] == "", "command warning")


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--wine-run", required=True)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    work = Path(args.work)
    work.mkdir(parents=True, exist_ok=True)

    simulator, port, transcript = start_simulator(work)
    try:
        report = run_client(args, port, work)
    finally:
        finish_simulator(simulator)

    entries = [json.loads(line) for line in transcript.read_text().splitlines()]
    check = Check()
    check_transcript(entries, report, check)
    check_report(report, check)
    turns = sum(1 for e in entries if e["dir"] == "client")
    print(f"{turns} client messages, report {json.dumps(report)}")
    for failure in check.failures:
        print("FAIL:", failure)
    return 1 if check.failures else 0


if __name__ == "__main__":
    sys.exit(main())
