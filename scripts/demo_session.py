#!/usr/bin/python3
"""The customer's side of the demo session (tests/simulator/scenarios/demo_session.py).

    demo_session.py target CONFIG_JSON         prints click_x click_y: a point inside Notepad's
                                               text area, in the agent's 0..65535 units over
                                               the primary monitor
    demo_session.py play CONFIG_JSON OUT TICKET  plays the customer on the virtual display:
                                               connects, allows support and control, saves the
                                               agent's file, picks one to send, acknowledges the
                                               end; a screenshot of each step goes into OUT
    demo_session.py report OUT                 decodes the previews the agent received into
                                               OUT/previews/*.jpg and prints a summary

CONFIG_JSON names wine_run (a script running a Windows program in the demo's prefix) and bin.
"""
import base64
import hashlib
import json
import os
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "e2e"))
from desktop import Desktop, wait_until  # noqa: E402

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


def target(config):
    desktop = Desktop(config)
    notepad = desktop.driver("wait-window", "--class", "Notepad", "--timeout", LONG)[0]
    edit = next(c for c in desktop.driver("controls", notepad["hwnd"]) if c["class"] == "Edit")
    left, top = edit["rect"][0], edit["rect"][1]
    display = dict(os.environ, DISPLAY=config.get("display") or os.environ.get("DISPLAY", ""))
    width, height = map(int, subprocess.run(["xdotool", "getdisplaygeometry"], check=True,
                                            capture_output=True, text=True,
                                            env=display).stdout.split())
    # Near the top left of the text area, clear of the status window in the middle.
    x, y = left + 120, top + 80
    print(x * 65535 // (width - 1), y * 65535 // (height - 1))


def play(config, out, ticket):
    desktop = Desktop(config)
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
    count = 0
    for entry in transcript(out):
        msg = entry.get("msg") or {}
        if entry.get("dir") == "client" and msg.get("jpeg"):
            count += 1
            monitor = "".join(c if c.isalnum() else "_" for c in msg.get("monitor_id", ""))
            name = f"{count:03d}-{msg['type']}{'-' + monitor if monitor else ''}.jpg"
            (previews / name).write_bytes(base64.b64decode(msg["jpeg"]))
    client = [e for e in transcript(out) if e.get("dir") == "client"]
    print(f"== summary ({out})")
    print(f"   {len(client)} messages from the client; {count} previews in {previews}")
    print("   the agent's stages: " + ", ".join(n["stage"] for n in notes(out) if "stage" in n))
    for note in notes(out, "offered"):
        saved = out / "received" / "notes.txt"
        same = saved.exists() and hashlib.sha256(saved.read_bytes()).hexdigest() == note["sha256"]
        print(f"   file to the customer: delivered={note['delivered']}, "
              f"{'saved byte-identical as ' + str(saved) if same else 'not found as sent'}")
    for note in notes(out, "requested"):
        if note.get("received"):
            picked = out / FOR_THE_AGENT
            same = picked.exists() and hashlib.sha256(picked.read_bytes()).hexdigest() == note[
                "sha256"]
            print(f"   file to the agent: {note['name']}, {note['size']} bytes"
                  f"{', byte-identical' if same else ''}")
        else:
            print("   file to the agent: none (the customer cancelled)")
    errors = [e["error"] for e in transcript(out) if e.get("event") == "scenario_error"]
    print("   scenario: " + ("failed: " + "; ".join(errors) if errors else
                              "ran to its end" if any(e.get("event") == "scenario_done"
                                                      for e in transcript(out)) else "unfinished"))


def main():
    command = sys.argv[1]
    if command == "target":
        target(json.loads(Path(sys.argv[2]).read_text()))
    elif command == "play":
        play(json.loads(Path(sys.argv[2]).read_text()), Path(sys.argv[3]), sys.argv[4])
    elif command == "report":
        report(Path(sys.argv[2]))
    else:
        raise SystemExit(__doc__)


if __name__ == "__main__":
    os.environ.setdefault("LC_ALL", "C.UTF-8")
    main()
