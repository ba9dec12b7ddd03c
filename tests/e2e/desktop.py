"""Drives the real Quillory.exe under Wine as a person would, through the uidriver helper.

The build writes e2e_config.json (paths, the default server URL, and the product name, window class
and control ids read from the program's headers) and hands its path on in QUILLORY_E2E_CONFIG.
"""
import json
import os
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "simulator"))
from simulator import Server  # noqa: E402

DEFAULT_TIMEOUT = 60  # seconds; generous, the machine may be busy with other builds


def load_config():
    return json.loads(Path(os.environ["QUILLORY_E2E_CONFIG"]).read_text())


class Desktop:
    def __init__(self, config=None):
        self.config = config or load_config()
        self.wine_run = self.config["wine_run"]
        self.bin = Path(self.config["bin"])
        self.product_name = self.config["product_name"]
        self.window_class = self.config["window_class"]
        self.ids = {name: self.config["control_ids"][own] for name, own in ID_NAMES.items()}

    def driver(self, *args, timeout=DEFAULT_TIMEOUT + 30):
        """Runs one uidriver command; returns its JSON lines as a list of dicts."""
        for _attempt in range(3):
            result = subprocess.run(
                [self.wine_run, str(self.bin / "uidriver.exe"), *map(str, args)],
                capture_output=True, text=True, encoding="utf-8", timeout=timeout)
            # A failure without the helper's own complaint is Wine failing to start it: try again.
            if result.returncode == 0 or result.stderr.strip():
                break
        if result.returncode != 0:
            raise AssertionError(f"uidriver {' '.join(map(str, args))} failed: {result.stderr.strip()}")
        return [json.loads(line) for line in result.stdout.splitlines() if line.strip()]

    def start_quillory(self, *args, hidden=False, exe=None, env=None):
        """Starts the program (or a copy, `exe`); `hidden`: as Windows starts a program told to
        show no window."""
        helper = [str(self.bin / "uidriver.exe"), "run-hidden"] if hidden else []
        return QuilloryProcess(subprocess.Popen(
            [self.wine_run, *helper, str(exe or self.bin / "Quillory.exe"), *args], env=env,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))

    def wait_box(self, title=None, timeout=DEFAULT_TIMEOUT):
        return self.driver("wait-box", "--title", title or self.product_name, "--timeout", timeout)[0]

    def boxes(self):
        return self.driver("boxes")

    def windows(self, class_name):
        return self.driver("windows", "--class", class_name)

    def answer(self, box, button_id):
        self.driver("answer", box["hwnd"], button_id)

    def window(self, timeout=DEFAULT_TIMEOUT):
        return Window(self, self.driver("wait-window", "--class", self.window_class, "--timeout",
                                        timeout)[0])

    def close_all(self):
        """Ends every status window a test left behind (hidden ones too), answering the close
        question with Yes, so that the next test's program is the first instance again."""
        for info in self.driver("windows", "--class", self.window_class, "--all"):
            self.driver("close", info["hwnd"])
        for box in self.driver("boxes"):
            for yes in [b for b in box["buttons"] if b["id"] in (6, 1)][:1]:
                self.answer(box, yes["id"])
        self.driver("wait-gone", "--class", self.window_class, "--all", "--timeout",
                    DEFAULT_TIMEOUT)

    def screenshot(self, path, rect):
        """Saves the part `rect` (left, top, right, bottom) of the virtual display as a PNG."""
        display = Path(self.config["wine_run"]).parent / "wine" / "display"
        left, top, right, bottom = rect
        subprocess.run(["/usr/bin/import", "-display", display.read_text().strip(), "-window", "root",
                        "-crop", f"{right - left}x{bottom - top}+{left}+{top}", "+repage", str(path)],
                       check=True, timeout=DEFAULT_TIMEOUT)
        return path


class QuilloryProcess:
    def __init__(self, process):
        self.process = process

    def wait(self, timeout=DEFAULT_TIMEOUT):
        return self.process.wait(timeout=timeout)

    def running(self):
        return self.process.poll() is None

    def end(self):
        """Ends the program if a failed test left it running (by its own process id)."""
        if self.running():
            self.process.kill()
            self.wait()


def wait_until(condition, timeout=DEFAULT_TIMEOUT, interval=0.1):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(interval)
    raise AssertionError("condition not met in time")


# The window's fifteen controls in the order it creates them (also their Tab and z-order).
CONTROL_NAMES = ["banner", "title", "status", "details", "explanation", "connect", "name_label",
                 "name", "ticket_label", "ticket", "allow", "toggle", "stop", "close", "prompt"]
# The tests' names for the controls with an id, and the program's (kStatusLineId: "StatusLine").
ID_NAMES = {"status": "StatusLine", "details": "DetailsText", "stop": "StopSupport",
            "close": "Close", "ticket": "Ticket", "connect": "Connect", "allow": "Allow",
            "toggle": "DetailsToggle", "name": "Name"}
VK_TAB, VK_RETURN, VK_SPACE = 9, 13, 32
WM_SYSCOMMAND, SC_MINIMIZE = 0x0112, 0xF020
SCENARIOS = Path(__file__).resolve().parent / "scenarios"


def work_folder(config, name):
    folder = Path(config.get("work", Path(config["bin"]).parent / "e2e")) / name
    folder.mkdir(parents=True, exist_ok=True)
    return folder


class Simulator(Server):
    """The support-server simulator with the window scenario, serving until stopped; the test
    opens the agent's next step with gate()."""

    def __init__(self, work: Path, scenario: Path = SCENARIOS / "window.py", **options):
        self.gates = work / "gates"
        self.gates.mkdir(parents=True, exist_ok=True)
        for stale in self.gates.iterdir():
            stale.unlink()
        super().__init__(work, scenario, {"gates": self.gates, "wait_timeout": 120, **options})

    def gate(self, label, step):
        (self.gates / f"{label}-{step}").touch()

    def connection(self, label):
        """The transcript lines of the (last) connection whose ticket was `label`."""
        entries = self.entries()
        conns = [e["conn"] for e in entries if e.get("event") == "note" and e.get("label") == label]
        return [e for e in entries if conns and e["conn"] == conns[-1]]

    def client_messages(self, label):
        return [e["msg"] for e in self.connection(label) if e["dir"] == "client"]

    def closed(self, label):
        return any(e.get("event") == "closed" for e in self.connection(label))


class Window:
    """The status window of a running Quillory, read and driven through uidriver."""

    def __init__(self, desktop, info):
        self.desktop = desktop
        self.hwnd = info["hwnd"]

    def info(self):
        listed = self.desktop.driver("windows", "--class", self.desktop.window_class)
        return next((w for w in listed if w["hwnd"] == self.hwnd), None)

    def controls(self):
        listed = self.desktop.driver("controls", self.hwnd)
        assert len(listed) == len(CONTROL_NAMES), listed
        return dict(zip(CONTROL_NAMES, listed))

    def wait(self, condition, timeout=DEFAULT_TIMEOUT):
        """Waits until condition(controls) holds; returns the controls."""
        return wait_until(lambda: (lambda c: c if condition(c) else None)(self.controls()),
                          timeout=timeout)

    def set_text(self, name, text):
        self.desktop.driver("set-text", self.hwnd, self.desktop.ids[name], text)

    def click(self, name):
        self.desktop.driver("click", self.hwnd, self.desktop.ids[name])

    def keys(self, *keys):
        self.desktop.driver("keys", self.hwnd, *keys)

    def focus(self):
        focused = self.desktop.driver("focus", self.hwnd)[0]
        return next((n for n, i in self.desktop.ids.items() if i == focused.get("id")), None)

    def send(self, message, wparam=0, lparam=0):
        return self.desktop.driver("send", self.hwnd, message, wparam, lparam)[0]["result"]

    def close(self):
        self.desktop.driver("close", self.hwnd)
