"""Screen previews under Wine and Xvfb, the pictures checked with Pillow.

screen_probe.exe shows a known picture on every monitor, puts a black square cursor (hot spot in
its middle) where a test wants it, runs the real captures and writes what they returned; these
tests decode every picture themselves. The single-monitor cases use the test session's display
(1600 x 1000); the two-monitor cases bring up a display and a Wine prefix of their own.
"""
import base64
import io
import json
import os
import pathlib
import subprocess
import sys

import pytest
from PIL import Image, ImageChops, ImageFilter

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "wine"))
from private_display import LEFT_PRIMARY, RIGHT_PRIMARY, PrivateDisplay  # noqa: E402

PROBE = os.environ["QUILLORY_SCREEN_PROBE"]
WINE_RUN = os.environ["QUILLORY_WINE_RUN"]
STATE = pathlib.Path(os.environ["QUILLORY_SCREEN_STATE"])

# As in screen_probe_win.cpp: monitor i shows PALETTE[(2 * i + q) % 6] in quadrant q.
PALETTE = [(220, 30, 30), (30, 200, 30), (30, 30, 220), (230, 230, 40), (210, 40, 210),
           (40, 210, 210)]
CURSOR_SIDE = 32
CURSOR_HOT_SPOT = 16
SESSION_DESKTOP = (0, 0, 1600, 1000)
TOO_LARGE = "Screen preview exceeded the size limit."


def scaled(width, height, max_width, max_height):
    scale = min(1.0, max_width / width, max_height / height)
    return max(1, int(width * scale)), max(1, int(height * scale))


def mul_div(a, b, c):
    product = a * b
    magnitude = (abs(product) + c // 2) // c
    return magnitude if product >= 0 else -magnitude


def run_probe(scenario, command=(WINE_RUN,), env=None):
    STATE.mkdir(parents=True, exist_ok=True)
    scenario_file, result_file = STATE / "scenario.json", STATE / "result.json"
    scenario_file.write_text(json.dumps(scenario))
    result_file.unlink(missing_ok=True)
    # Wine's server and helpers inherit the first program's files: no pipes, or the run never ends.
    with open(STATE / "probe.log", "wb") as log:
        subprocess.run([*command, PROBE, str(scenario_file), str(result_file)], env=env,
                       stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                       timeout=600, check=False)
    assert result_file.exists(), (STATE / "probe.log").read_text(errors="replace")
    result = json.loads(result_file.read_text())
    assert "probe_error" not in result, result
    return result


def picture(frame):
    """The frame's picture, decoded (strict Base64: no line breaks); checks the size on the way."""
    assert frame["error"] == ""
    image = Image.open(io.BytesIO(base64.b64decode(frame["jpeg"], validate=True)))
    assert (image.format, image.size) == ("JPEG", (frame["width"], frame["height"]))
    return image.convert("RGB")


def assert_close(colour, expected, where):
    assert all(abs(a - b) <= 24 for a, b in zip(colour, expected)), (where, colour, expected)


def assert_quadrants(image, monitor_index):
    """Each quadrant's colour at its centre and a few pixels from the picture's middle lines and
    outer corners, so a shifted, cropped or flipped picture fails."""
    width, height = image.size
    near = 6
    for quadrant, (left, top) in enumerate([(0, 0), (1, 0), (0, 1), (1, 1)]):
        xs = [left * width // 2 + near, (left + 1) * width // 2 - near,
              left * width // 2 + width // 4]
        ys = [top * height // 2 + near, (top + 1) * height // 2 - near,
              top * height // 2 + height // 4]
        expected = PALETTE[(2 * monitor_index + quadrant) % 6]
        for point in [(xs[0], ys[0]), (xs[1], ys[1]), (xs[2], ys[2])]:
            assert_close(image.getpixel(point), expected, point)


def dark_box(image):
    """Bounding box (left, top, right, bottom) of the areas dark in every channel, or None.
    Dark specks narrower than three pixels, which JPEG leaves along colour edges, are not
    counted; the areas are measured back to their full size."""
    red, green, blue = image.split()
    brightest = ImageChops.lighter(ImageChops.lighter(red, green), blue)
    box = brightest.filter(ImageFilter.MaxFilter(3)).point(
        lambda value: 255 if value < 80 else 0).getbbox()
    if box is None:
        return None
    left, top, right, bottom = box
    return (max(0, left - 1), max(0, top - 1), min(image.width, right + 1),
            min(image.height, bottom + 1))


def expected_cursor_box(x, y, rect, size):
    left, top, right, bottom = rect
    w, h = right - left, bottom - top
    dx = mul_div(x - CURSOR_HOT_SPOT - left, size[0], w)
    dy = mul_div(y - CURSOR_HOT_SPOT - top, size[1], h)
    dw = max(1, mul_div(CURSOR_SIDE, size[0], w))
    dh = max(1, mul_div(CURSOR_SIDE, size[1], h))
    return (max(0, dx), max(0, dy), min(size[0], dx + dw), min(size[1], dy + dh))


def assert_box(actual, expected):
    assert actual is not None, expected
    assert all(abs(a - b) <= 1 for a, b in zip(actual, expected)), (actual, expected)


def frame_monitor(frame):
    return frame["monitor_id"], tuple(frame["rect"])


def test_preview_shows_the_pattern_and_unknown_ids_are_refused():
    out = run_probe({
        "pattern": "quadrants",
        "cursor": {"kind": "mono", "x": 200, "y": 800},
        "captures": [{"monitor": ""}, {"monitor": "\\\\.\\DISPLAY1"},
                     {"monitor": "\\\\.\\display1"}, {"monitor": "\\\\.\\DISPLAY"},
                     {"monitor": "\\\\.\\DISPLAY9"}],
    })
    assert out["monitors"] == [
        {"id": "\\\\.\\DISPLAY1", "rect": list(SESSION_DESKTOP), "primary": True}]
    for frame in out["frames"][:2]:
        assert frame_monitor(frame) == ("\\\\.\\DISPLAY1", SESSION_DESKTOP)
        image = picture(frame)
        assert image.size == scaled(1600, 1000, 1280, 720) == (1152, 720)
        assert_quadrants(image, 0)
    for frame in out["frames"][2:]:
        assert frame == {"jpeg": "", "error": "Selected monitor is unavailable.", "width": 0,
                         "height": 0, "monitor_id": "", "rect": [0, 0, 0, 0]}


@pytest.mark.parametrize("kind", ["mono", "colour"])
@pytest.mark.parametrize("x, y", [(800, 500), (1595, 995), (3, 700)])
def test_cursor_is_drawn_at_its_scaled_position(kind, x, y):
    out = run_probe({"pattern": "white", "cursor": {"kind": kind, "x": x, "y": y},
                     "captures": [{"monitor": ""}]})
    image = picture(out["frames"][0])
    assert_box(dark_box(image), expected_cursor_box(x, y, SESSION_DESKTOP, image.size))


def test_noise_overflows_the_cap_and_no_object_leaks():
    out = run_probe({
        "pattern": "noise",
        "cursor": {"kind": "colour", "x": 400, "y": 300},
        "captures": [{"monitor": "", "max": [1280, 720]}, {"monitor": ""}],
        "repeat": 200,
    })
    first, preview = out["frames"]
    assert first == {"jpeg": "", "error": TOO_LARGE, "width": 0, "height": 0,
                     "monitor_id": "\\\\.\\DISPLAY1", "rect": list(SESSION_DESKTOP)}
    assert frame_monitor(preview) == ("\\\\.\\DISPLAY1", SESSION_DESKTOP)
    if preview["error"] == TOO_LARGE:
        assert preview["jpeg"] == "" and preview["width"] == 0
    else:
        assert picture(preview).size == scaled(1600, 1000, 640, 360)
    # Every capture here overflows once, encodes twice and draws the cursor: a resource kept by
    # any of those paths would show as 200 more. A little slack for the platform's own caches.
    counts = out["counts"]
    assert [c["captures"] for c in counts] == [0, 50, 100, 150, 200]
    for kind in ("gdi", "handles"):
        assert counts[0][kind] > 0, counts
        assert counts[-1][kind] <= counts[0][kind] + 3, counts


def two_monitors(layout, scenario):
    """Runs a scenario on a fresh display of two monitors laid out as asked."""
    with PrivateDisplay(STATE / "multi", pathlib.Path(WINE_RUN).parent / "wine",
                        monitors=layout) as display:
        return run_probe(scenario, ["/usr/bin/wine"], display.env)


@pytest.mark.parametrize("layout, rects, cursor_x", [
    # The cursor's hot spot sits just right of the left monitor: its square reaches 15 pixels
    # into that monitor, yet belongs to the right one.
    (LEFT_PRIMARY, [(0, 0, 1920, 1080), (1920, 0, 3200, 1024)], 1921),
    # Wine puts the primary at (0, 0): the left monitor then lies at negative coordinates.
    (RIGHT_PRIMARY, [(0, 0, 1280, 1024), (-1920, 0, 0, 1080)], 1),
])
def test_two_monitors(layout, rects, cursor_x):
    listed = two_monitors(layout, {"pattern": "none"})["monitors"]
    assert [(tuple(m["rect"]), m["primary"]) for m in listed] == \
        [(rects[0], True), (rects[1], False)]
    ids = [m["id"] for m in listed]
    assert len(set(ids)) == 2 and all(i.startswith("\\\\.\\DISPLAY") for i in ids)

    out = two_monitors(layout, {
        "pattern": "quadrants",
        "cursor": {"kind": "mono", "x": cursor_x, "y": 300},
        "captures": [{"monitor": ""}, {"monitor": ids[0]}, {"monitor": ids[1]}],
    })
    primary, first, second = out["frames"]
    assert primary == first
    for index, frame in enumerate([first, second]):
        assert frame_monitor(frame) == (ids[index], rects[index])
        left, top, right, bottom = rects[index]
        image = picture(frame)
        assert image.size == scaled(right - left, bottom - top, 1280, 720)
        assert_quadrants(image, index)
        cursor_here = left <= cursor_x < right
        box = dark_box(image)
        if cursor_here:
            assert_box(box, expected_cursor_box(cursor_x, 300, rects[index], image.size))
        else:
            assert box is None, box
