#!/usr/bin/python3
"""The demo session (tests/simulator/scenarios/demo_session.py), started by scripts/demo.

    demo_session.py session CONFIG_JSON OUT [--headless]
        starts Notepad (the agent's target), the simulator and Quillory.exe; headless, plays the
        customer on the virtual display (connects, allows support and control, saves the agent's
        file, picks one to send, acknowledges the end) with a screenshot of each step in OUT;
        otherwise prints the ticket for you to type. Then decodes the previews the agent received
        into OUT/previews/*.jpg and prints a summary; exits with the program's exit code.

CONFIG_JSON names wine_run (a script running a Windows program in the demo's prefix) and bin.
"""
import base64
import hashlib
import json
import os
import random
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "e2e"))
from desktop import Desktop, Server, wait_until  # noqa: E402

LONG = 60  # seconds for a window or box to appear; a busy machine may be slow
FOR_THE_AGENT = "for-the-agent.txt"


def transcript(out):
    path = out / "transcript.jsonl"
    if not path.exists():
        return []
    return [json.loads(line) for line in path.read_text().splitlines() if line.strip()]


def notes(out, stage=None):
    return [e for e in transcript(out)
            if e.get("event") == "note" and (stage is None or e.get("stage") == stage)]


def notepad_text(desktop):
    windows = desktop.windows("Notepad")
    if not windows:
        return None
    edits = [c for c in desktop.driver("controls", windows[0]["hwnd"]) if c["class"] == "Edit"]
    return edits[0]["text"] if edits else None


def target(desktop, config):
    """A point inside Notepad's text area, in the agent's 0..65535 units over the primary
    monitor."""
    notepad = desktop.driver("wait-window", "--class", "Notepad", "--timeout", LONG)[0]
    edit = next(c for c in desktop.driver("controls", notepad["hwnd"]) if c["class"] == "Edit")
    left, top = edit["rect"][0], edit["rect"][1]
    display = dict(os.environ, DISPLAY=config.get("display") or os.environ.get("DISPLAY", ""))
    width, height = map(int, subprocess.run(["xdotool", "getdisplaygeometry"], check=True,
                                            capture_output=True, text=True,
                                            env=display).stdout.split())
    # Near the top left of the text area, clear of the status window in the middle.
    x, y = left + 120, top + 80
    return x * 65535 // (width - 1), y * 65535 // (height - 1)


def play(desktop, out, ticket):
    window = desktop.window(timeout=LONG)
    step = [0]

    def shot(name, what):
        step[0] += 1
        path = out / f"{step[0]:02d}-{name}.png"
        desktop.screenshot(path, (0, 0, 1600, 1000))
        print(f"   {path.name}: {what}")

    def stage(name):
        return wait_until(lambda: notes(out, name), timeout=5 * LONG)[-1]

    shot("entry-form", "the customer types a name and the ticket")
    window.set_text("name", "Demo Customer")
    window.set_text("ticket", ticket)
    window.click("connect")
    window.wait(lambda c: c["allow"]["enabled"], timeout=5 * LONG)
    shot("consent-prompt", "the agent asks for consent")
    window.click("allow")
    stage("viewed")
    minimised = window.info()["iconic"]
    shot("viewing", "the agent views previews" + ("; Quillory is minimised (without a window "
                                                   "manager its last picture stays on screen)"
                                                   if minimised else ""))
    window.wait(lambda c: c["allow"]["enabled"] and c["allow"]["text"] == "Allow control",
                timeout=5 * LONG)
    wait_until(lambda: not window.info()["iconic"], timeout=LONG)
    shot("control-request", "the agent asks for control")
    window.click("allow")
    stage("offer")
    try:  # the keys went out a few turns ago; Notepad may still be catching up
        typed = wait_until(lambda: notepad_text(desktop), timeout=30)
    except AssertionError:
        typed = notepad_text(desktop)
    shot("typed", f"the agent clicked into Notepad and typed; Notepad shows {typed!r}")

    received = out / "received"
    received.mkdir(exist_ok=True)
    dialog = desktop.driver("wait-file-dialog", "--timeout", LONG)[0]
    shot("save-dialog", f"the agent offers {dialog['file_name']}")
    desktop.driver("fill-file-name", dialog["hwnd"],
                   "Z:" + str(received / dialog["file_name"]).replace("/", "\\"))
    (out / FOR_THE_AGENT).write_text("Printer model LX-42, driver 3.1.7, error E-17 since Monday.\n")
    dialog = desktop.driver("wait-file-dialog", "--timeout", LONG)[0]
    shot("pick-dialog", "the agent asks for a file")
    desktop.driver("fill-file-name", dialog["hwnd"],
                   "Z:" + str(out / FOR_THE_AGENT).replace("/", "\\"))
    box = desktop.wait_box(timeout=LONG)
    shot("agent-ended", box["text"])
    desktop.answer(box, 1)
    window.wait(lambda c: c["ticket"]["visible"], timeout=LONG)
    window.close()


def report(out):
    previews = out / "previews"
    previews.mkdir(exist_ok=True)
    lines = transcript(out)
    pictures = [e["msg"] for e in lines
                if e.get("dir") == "client" and e.get("msg", {}).get("jpeg")]
    for count, msg in enumerate(pictures, 1):
        monitor = "".join(c if c.isalnum() else "_" for c in msg.get("monitor_id", ""))
        (previews / f"{count:03d}-{msg['type']}{'-' * bool(monitor)}{monitor}.jpg").write_bytes(
            base64.b64decode(msg["jpeg"]))
    print(f"== summary ({out})")
    print(f"   {sum(e.get('dir') == 'client' for e in lines)} messages from the client; "
          f"{len(pictures)} previews in {previews}")
    print("   the agent's stages: " + ", ".join(n["stage"] for n in notes(out) if "stage" in n))
    for note, path in [(n, out / "received" / "notes.txt") for n in notes(out, "offered")] + [
            (n, out / FOR_THE_AGENT) for n in notes(out, "requested")]:
        same = path.exists() and hashlib.sha256(path.read_bytes()).hexdigest() == note.get("sha256")
        print(f"   file {path.name}: {'the same at both ends' if same else 'not moved whole'}")
    errors = [e["error"] for e in lines if e.get("event") == "scenario_error"]
    done = any(e.get("event") == "scenario_done" for e in lines)
    print("   scenario: " + ("failed: " + "; ".join(errors) if errors else
                              "ran to its end" if done else "unfinished"))


def session(config, out, headless):
    desktop = Desktop(config)
    subprocess.Popen([desktop.wine_run, "notepad.exe"], stdin=subprocess.DEVNULL,
                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    x, y = target(desktop, config)
    ticket = f"{random.randrange(1000000):06d}"
    server = Server(out, "demo_session.py", {"ticket": ticket, "click_x": x, "click_y": y,
                                             "text": "QUILLORY", "wait_timeout": 600}, 1)
    try:
        program = desktop.start_quillory("--server-url", server.url, "--allow-insecure-local")
        if headless:
            print(f"== a support session with ticket {ticket}, played as the customer:")
            play(desktop, out, ticket)
        else:
            print(f"== Quillory is open: type any name and the ticket {ticket}, then press Connect.\n"
                  "   The simulated agent asks for your approval, views your screen, asks for\n"
                  "   control, clicks into Notepad and types there, offers you a file to save,\n"
                  "   asks you for one and ends the session.")
        code = program.process.wait()
    finally:
        server.stop(10)
    report(out)
    print(f"== Quillory exited with code {code}; transcript: {out / 'transcript.jsonl'}")
    return code


if __name__ == "__main__":
    os.environ.setdefault("LC_ALL", "C.UTF-8")
    if len(sys.argv) < 4 or sys.argv[1] != "session":
        raise SystemExit(__doc__)
    sys.exit(session(json.loads(Path(sys.argv[2]).read_text()), Path(sys.argv[3]),
                     sys.argv[4:] == ["--headless"]))
