"""Drives the real Quillory.exe under Wine as a person would, through the uidriver helper.

The build writes e2e_config.json (paths of wine-run, the programs and the build's default server
URL) and hands its path to the tests in QUILLORY_E2E_CONFIG.
"""
import json
import os
import subprocess
import time
from pathlib import Path

DEFAULT_TIMEOUT = 60  # seconds; generous, the machine may be busy with other builds


def load_config():
    return json.loads(Path(os.environ["QUILLORY_E2E_CONFIG"]).read_text())


class Desktop:
    def __init__(self, config=None):
        self.config = config or load_config()
        self.wine_run = self.config["wine_run"]
        self.bin = Path(self.config["bin"])

    def driver(self, *args, timeout=DEFAULT_TIMEOUT + 30):
        """Runs one uidriver command; returns its JSON lines as a list of dicts."""
        result = subprocess.run(
            [self.wine_run, str(self.bin / "uidriver.exe"), *map(str, args)],
            capture_output=True, text=True, encoding="utf-8", timeout=timeout)
        if result.returncode != 0:
            raise AssertionError(f"uidriver {' '.join(map(str, args))} failed: {result.stderr.strip()}")
        return [json.loads(line) for line in result.stdout.splitlines() if line.strip()]

    def start_quillory(self, *args):
        return QuilloryProcess(subprocess.Popen(
            [self.wine_run, str(self.bin / "Quillory.exe"), *args],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))

    def wait_box(self, title="Quillory", timeout=DEFAULT_TIMEOUT):
        return self.driver("wait-box", "--title", title, "--timeout", timeout)[0]

    def boxes(self):
        return self.driver("boxes")

    def windows(self, class_name):
        return self.driver("windows", "--class", class_name)

    def answer(self, box, button_id):
        self.driver("answer", box["hwnd"], button_id)


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
            self.process.wait(timeout=DEFAULT_TIMEOUT)


def wait_until(condition, timeout=DEFAULT_TIMEOUT, interval=0.1):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(interval)
    raise AssertionError("condition not met in time")
