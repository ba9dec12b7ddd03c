"""The agent's input reaches another program's window only while the customer lets it: the real
Quillory.exe against the simulator, with the input recorder (a window in a process of its own that
writes down every key and click it receives) as the other program."""
import subprocess
from pathlib import Path

import pytest

from desktop import SCENARIOS, wait_until, work_folder

TICKET = "612345"
MONITOR = (0, 0, 1600, 1000)  # the test session's one monitor
RECORDER = (60, 60, 460, 360)  # clear of the status window, which opens in the middle
CLICK = ((RECORDER[0] + RECORDER[2]) // 2, (RECORDER[1] + RECORDER[3]) // 2)
KEY_A, KEY_B, KEY_C, KEY_D, KEY_E = "41", "42", "43", "44", "45"
FLOOD_PRESSES = 5400  # in each batch of the scenario's flood


def mul_div(a, b, c):
    return (a * b + c // 2) // c


def normalised(pixel, low, high):
    """The smallest agent coordinate (0..65535) that lands on `pixel` of the span [low, high)."""
    return next(v for v in range(65536) if low + mul_div(v, high - low - 1, 65535) == pixel)


SCENARIO = SCENARIOS / "remote_control.py"
SIMULATOR_OPTIONS = {"x": normalised(CLICK[0], MONITOR[0], MONITOR[2]),
                     "y": normalised(CLICK[1], MONITOR[1], MONITOR[3])}


class Recorder:
    def __init__(self, desktop, folder):
        self.desktop = desktop
        self.log = folder / "recorder.log"
        self.log.unlink(missing_ok=True)
        program = Path(desktop.config["bin"]).parent / "tests" / "input_recorder.exe"
        assert program.exists(), program
        self.process = subprocess.Popen(
            [desktop.wine_run, str(program), *map(str, RECORDER),
             "Z:" + str(self.log).replace("/", "\\")],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_until(lambda: self.lines()[:1] == [("ready",)])

    def lines(self):
        """What the window received: ("key", vk, change) or ("button", name, change, x, y)."""
        text = self.log.read_text() if self.log.exists() else ""
        return [(*words[:3], *map(int, words[3:5])) if words[0] == "button" else tuple(words[:3])
                for words in map(str.split, text.splitlines()) if words]

    def close(self):
        for window in self.desktop.windows("QuilloryInputRecorder"):
            self.desktop.driver("close", window["hwnd"])
        try:
            self.process.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(timeout=60)


@pytest.fixture
def recorder(desktop):
    window = Recorder(desktop, work_folder(desktop.config, "remote_control"))
    yield window
    window.close()


def turns_since(simulator, phase):
    """Client messages the simulator received since it noted `phase` (None before that)."""
    lines = simulator.connection(TICKET)
    marks = [i for i, e in enumerate(lines) if e.get("event") == "note" and e.get("phase") == phase]
    return sum(e["dir"] == "client" for e in lines[marks[0]:]) if marks else None


def after_turns(simulator, phase, count):
    wait_until(lambda: (turns_since(simulator, phase) or 0) >= count, timeout=180)


def allow(window, caption):
    window.wait(lambda c: c["allow"]["enabled"] and c["allow"]["text"] == caption)
    window.click("allow")


def test_input_reaches_another_window_only_while_control_is_approved(desktop, connect, simulator,
                                                                      recorder):
    process, window = connect(TICKET)
    left, top, right, bottom = window.info()["rect"]
    assert right <= RECORDER[0] or left >= RECORDER[2] or bottom <= RECORDER[1] or \
        top >= RECORDER[3], "the status window covers the recorder"
    allow(window, "Allow Support")
    # Support approved, control not (and then still being asked): batches of clicks and keys
    # reach nothing.
    after_turns(simulator, "active", 12)
    simulator.gate(TICKET, "control")
    window.wait(lambda c: c["allow"]["enabled"] and c["allow"]["text"] == "Allow control")
    after_turns(simulator, "asked", 12)
    assert recorder.lines() == [("ready",)]

    window.click("allow")
    wait_until(lambda: ("button", "left", "up", *CLICK) in recorder.lines(), timeout=180)
    simulator.gate(TICKET, "typing")
    wait_until(lambda: ("key", KEY_C, "down") in recorder.lines(), timeout=180)
    simulator.gate(TICKET, "withdraw")
    # The key held at the withdrawal comes up; the clicks and keys sent after it reach nothing.
    wait_until(lambda: turns_since(simulator, "withdrawn") is not None, timeout=180)
    wait_until(lambda: recorder.lines()[-1] == ("key", KEY_C, "up"), timeout=180)
    after_turns(simulator, "withdrawn", 12)
    simulator.gate(TICKET, "end")
    desktop.answer(desktop.wait_box(), 1)
    window.close()
    assert process.wait() == 0

    received = recorder.lines()[1:]
    clicks = [r for r in received if r[0] == "button"]
    keys = [r[1:] for r in received if r[0] == "key"]
    # Clicks down and up in pairs, all before the typing; no A or D; every B up again, C last.
    assert clicks and clicks == [("button", "left", change, *CLICK)
                                 for change in ["down", "up"] * (len(clicks) // 2)], clicks
    kinds = [r[0] for r in received]
    assert len(kinds) - kinds[::-1].index("button") <= kinds.index("key")
    assert keys[:3] == [(KEY_B, "down"), (KEY_B, "up"), (KEY_C, "down")], keys
    assert {k for k, _ in keys} == {KEY_B, KEY_C} and keys[-1] == (KEY_C, "up")
    assert keys.count((KEY_B, "down")) == keys.count((KEY_B, "up"))


def test_stop_support_during_a_long_batch_ends_input_at_once(desktop, connect, simulator,
                                                             recorder):
    """Stop Support pressed while batches of thousands of keys are being applied: the window shows
    the stopped state, no later batch reaches the desktop, and nothing stays pressed."""
    simulator.gate(TICKET, "flood")
    process, window = connect(TICKET)
    allow(window, "Allow Support")
    after_turns(simulator, "active", 2)
    simulator.gate(TICKET, "control")
    allow(window, "Allow control")
    wait_until(lambda: len(recorder.lines()) > 1000, timeout=180)

    window.click("stop")  # posted by the time it returns
    pressed_before = recorder.lines().count(("key", KEY_E, "down"))
    window.wait(lambda c: not c["stop"]["enabled"])
    window.close()
    assert process.wait() == 0
    # Whatever was held when the batch stopped comes up again (the recorder may still be reading
    # its queue when the program has ended).
    wait_until(lambda: [line for line in recorder.lines() if line[:2] == ("key", KEY_E)][-1][2]
               == "up")
    # The batch in progress is the last: nothing of a later one arrives. (That nothing but
    # releases is sent once the stop is marked is pinned natively, where the moment is exact.)
    assert recorder.lines().count(("key", KEY_E, "down")) - pressed_before < FLOOD_PRESSES
