#!/usr/bin/python3
"""Status window benchmark under Wine (a Windows build with its Wine test session running):

- start-up: from starting Quillory.exe to its window being shown and painted (first visible to
  the automation helper, which polls every 50 ms), over several starts;
- idle CPU: the program's own CPU time (and the prefix's Wine server's) while the window sits in
  the waiting state of a session for 30 s (the worker exchanging a message about every 100 ms),
  and while it shows the entry form with no session, as a share of one core. The goal is under
  0.5 %.

Figures only; it fails only when the program does not run. Without a Wine test session up (after
the tests, say), it starts one for itself and stops it at the end.

    bench/window_wine.py --config build/windows/tests/e2e/e2e_config.json [--starts 5] [--idle 30]
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
from desktop import Desktop, Simulator  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS  # utime + stime


def wineserver_pid(prefix):
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            if "wineserver" not in (entry / "comm").read_text():
                continue
            environ = (entry / "environ").read_bytes().split(b"\0")
        except OSError:
            continue
        if f"WINEPREFIX={prefix}".encode() in environ:
            return int(entry.name)
    return None


def start_up_seconds(desktop):
    """One start: a waiting helper sees the window appear; the program is then closed."""
    watcher = subprocess.Popen(
        [desktop.wine_run, str(desktop.bin / "uidriver.exe"), "wait-window", "--class",
         desktop.window_class, "--timeout", "60"], stdout=subprocess.PIPE, text=True)
    time.sleep(1.0)  # the helper is up and polling before the program starts
    started = time.monotonic()
    program = desktop.start_quillory()
    line = watcher.stdout.readline()
    shown = time.monotonic()
    watcher.wait(timeout=60)
    desktop.driver("close", json.loads(line)["hwnd"])
    program.wait()
    return shown - started


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--config", required=True)
    parser.add_argument("--starts", type=int, default=5)
    parser.add_argument("--idle", type=float, default=30.0)
    args = parser.parse_args()
    config = json.loads(Path(args.config).read_text())
    desktop = Desktop(config)
    state = Path(config["wine_run"]).parent / "wine"
    own_session = not (state / "display").exists()
    if own_session:
        subprocess.run([str(ROOT / "tests/wine/session"), "start", str(state),
                        str(Path(config["bin"]).parent / "tests/wine/wine_keeper.exe")],
                       check=True, stdout=subprocess.DEVNULL)
    try:
        return measure(args, desktop, state)
    finally:
        if own_session:
            subprocess.run([str(ROOT / "tests/wine/session"), "stop", str(state)], check=False)


def measure(args, desktop, state):

    starts = [start_up_seconds(desktop) for _ in range(args.starts)]
    report = {"start_up_seconds": {"median": round(statistics.median(starts), 3),
                                   "min": round(min(starts), 3), "max": round(max(starts), 3)}}

    server = wineserver_pid(str(state / "prefix"))

    def idle_cpu(program):
        before = (cpu_seconds(program.process.pid), server and cpu_seconds(server))
        time.sleep(args.idle)
        after = (cpu_seconds(program.process.pid), server and cpu_seconds(server))
        return {"seconds": args.idle,
                "program_cpu_percent_of_a_core":
                    round(100 * (after[0] - before[0]) / args.idle, 3),
                "wineserver_cpu_percent_of_a_core":
                    round(100 * (after[1] - before[1]) / args.idle, 3) if server else None}

    with tempfile.TemporaryDirectory(prefix="quillory-window-bench-") as folder:
        simulator = Simulator(Path(folder))
        try:
            program = desktop.start_quillory("--server-url", simulator.url,
                                              "--allow-insecure-local")
            window = desktop.window()
            report["idle_entry_form"] = idle_cpu(program)
            window.set_text("name", "Bench")
            window.set_text("ticket", "300001")  # waits in "waiting" until the window closes
            window.click("connect")
            window.wait(lambda c: c["status"]["text"] == "Connected - Waiting for support agent")
            sent = len(simulator.client_messages("300001"))
            report["idle_waiting_state"] = idle_cpu(program)
            report["idle_waiting_state"]["messages_sent"] = (
                len(simulator.client_messages("300001")) - sent)
            window.close()
            desktop.answer(desktop.wait_box(title="End remote support?"), 6)
            program.wait()
        finally:
            simulator.stop()
    print(json.dumps(report, indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main())
