"""Previews follow the monitor the agent selects: the real Quillory.exe on a display of two monitors
of its own (each covered by a window of one colour), the pictures decoded from the transcript."""
import base64
import io
import subprocess
import sys
from pathlib import Path

import pytest
from PIL import Image

from desktop import SCENARIOS, Desktop, Simulator, load_config, wait_until, work_folder

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "wine"))
from private_display import PrivateDisplay  # noqa: E402

TICKET = "623456"
MONITORS = [((0, 0, 1920, 1080), "d02020"), ((1920, 0, 3200, 1024), "2040d0")]


@pytest.fixture(scope="module")
def two_monitor_desktop():
    """A Desktop whose programs run in a Wine prefix of their own on a two-monitor display."""
    config = load_config()
    state = work_folder(config, "monitors")
    with PrivateDisplay(state, Path(config["wine_run"]).parent / "wine") as display:
        wine_run = display.wine_run(state / "wine-run")
        # The first Wine program starts the server and the desktop process, which keep its open
        # files: start it with none of ours, or every later pipe would stay open.
        display.run(wine_run, str(Path(config["bin"]) / "uidriver.exe"), "windows", check=True)
        yield Desktop(dict(config, wine_run=wine_run))


def colour_of(message):
    image = Image.open(io.BytesIO(base64.b64decode(message["jpeg"], validate=True)))
    assert image.format == "JPEG" and image.size == (message["width"], message["height"])
    pixels = sorted(image.convert("RGB").getdata())
    return pixels[len(pixels) // 2]  # the middle colour: the status window covers only a corner


def near(colour, hex_rgb):
    wanted = bytes.fromhex(hex_rgb)
    return all(abs(a - b) <= 40 for a, b in zip(colour, wanted))


def test_previews_show_the_monitor_the_agent_selects(two_monitor_desktop):
    desktop = two_monitor_desktop
    patterns = [subprocess.Popen([desktop.wine_run, str(desktop.bin / "uidriver.exe"), "pattern",
                                  *map(str, rect), colour], stdin=subprocess.DEVNULL,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                for rect, colour in MONITORS]
    try:
        wait_until(lambda: len(desktop.windows("QuilloryE2EPattern")) == 2)
        with Simulator(work_folder(desktop.config, "monitors"), SCENARIOS / "monitors.py",
                       order="1,0,1") as server:
            process = desktop.start_quillory("--server-url", server.url, "--allow-insecure-local")
            try:
                window = desktop.window()
                window.set_text("name", "Ada")
                window.set_text("ticket", TICKET)
                window.click("connect")
                window.wait(lambda c: c["allow"]["enabled"])
                window.click("allow")
                desktop.answer(desktop.wait_box(timeout=300), 1)  # the agent ended the session
                window.close()
                assert process.wait() == 0
            finally:
                process.end()
    finally:
        for found in desktop.windows("QuilloryE2EPattern"):
            desktop.driver("close", found["hwnd"])
        for pattern in patterns:
            pattern.wait(timeout=60)

    entries = server.connection(TICKET)
    request = next(e["msg"] for e in entries if e["dir"] == "client"
                   and e["msg"]["type"] == "request")
    ids = [m["id"] for m in request["monitors"]]
    assert [(m["x"], m["y"], m["x"] + m["width"], m["y"] + m["height"])
            for m in request["monitors"]] == [rect for rect, _ in MONITORS]
    selections = [i for i, e in enumerate(entries) if "selected" in e]
    assert [entries[i]["selected"] for i in selections] == [ids[1], ids[0], ids[1]]
    for start, end in zip(selections, selections[1:] + [len(entries)]):
        selected = entries[start]["selected"]
        shown = ids.index(selected)
        # A frame sent before the client heard of the selection still names the old monitor.
        frames = [e["msg"] for e in entries[start:end] if e["dir"] == "client"
                  and e["msg"]["type"] == "preview_frame" and "jpeg" in e["msg"]
                  and e["msg"]["monitor_id"] == selected]
        assert frames, f"no picture of {selected}"
        left, top, right, bottom = MONITORS[shown][0]
        scale = min(1.0, 1280 / (right - left), 720 / (bottom - top))
        for frame in frames:
            assert frame["monitor_revision"] == entries[start]["revision"]
            assert (frame["width"], frame["height"]) == (int((right - left) * scale),
                                                         int((bottom - top) * scale))
            assert near(colour_of(frame), MONITORS[shown][1]), (selected, colour_of(frame))
    assert not any(e.get("after_end") for e in entries)
