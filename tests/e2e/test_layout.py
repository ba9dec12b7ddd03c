"""The window's three views at 96 and 144 DPI: every control where the layout rules put it (each
length scaled on its own), and a screenshot of each view saved for a person to look at."""
import subprocess

import pytest

from desktop import wait_until, work_folder

VIEW_SIZES = {"entry": (380, 154), "compact": (380, 178), "details": (490, 570)}


def scaled(value, dpi):
    return (value * dpi + 48) // 96  # MulDiv for positive values: rounded to nearest


def expected_rects(view, dpi, width, height, warning=False):
    """(x, y, width, height) of each visible control, in client pixels."""
    s = lambda value: scaled(value, dpi)  # noqa: E731
    m = s(18)
    cw = width - 2 * m
    if view == "entry":
        return {"name_label": (m, s(14), cw, s(22)), "name": (m, s(40), cw, s(32)),
                "ticket_label": (m, s(80), cw, s(22)),
                "ticket": (m, s(80) + s(26), cw - s(12) - s(104), s(32)),
                "connect": (width - s(104) - m, s(80) + s(26), s(104), s(32))}
    y = height - s(52)
    rects = {"toggle": (m, y, s(116), s(36)), "close": (width - m - s(80), y, s(80), s(36)),
             "stop": (width - m - s(80) - s(136), y, s(124), s(36))}
    if view == "compact":
        rects.update(prompt=(m, s(14), cw, s(48)), allow=(m, s(66), cw, s(48)))
        return rects
    b = s(72) if warning else 0
    rects.update(title=(m, s(16), cw, s(30)), status=(m, s(54), cw, s(46)),
                 details=(m, s(110) + b, cw, height - b - s(330)),
                 connect=(m, height - s(208), s(160), s(30)),
                 explanation=(m, height - s(166), cw, s(54)),
                 allow=(m, height - s(108), cw, s(48)))
    if warning:
        rects["banner"] = (m, s(106), cw, s(68))
    return rects


def check_view(desktop, window, view, dpi, warning=False):
    """Checks the view's size and every visible control's place; saves a screenshot."""
    info = window.info()
    width, height = info["client"]
    assert (width, height) == tuple(scaled(v, dpi) for v in VIEW_SIZES[view])
    controls = window.controls()
    shown = {name: (left, top, right - left, bottom - top)
             for name, c in controls.items() if c["visible"]
             for left, top, right, bottom in [c["client_rect"]]}
    assert shown == expected_rects(view, dpi, width, height, warning)
    desktop.screenshot(work_folder(desktop.config, "screenshots") / f"{view}-{dpi}.png",
                       info["rect"])
    return controls


def set_dpi(desktop, dpi):
    subprocess.run([desktop.wine_run, "reg", "add", r"HKCU\Control Panel\Desktop", "/v",
                    "LogPixels", "/t", "REG_DWORD", "/d", str(dpi), "/f"],
                   check=True, capture_output=True, timeout=120)


@pytest.fixture(params=[96, 144])
def dpi(request, desktop):
    set_dpi(desktop, request.param)
    yield request.param
    set_dpi(desktop, 96)


def test_views(desktop, launch, simulator, connect_args, dpi):
    process = launch(*connect_args)
    window = desktop.window()
    check_view(desktop, window, "entry", dpi)
    ticket = f"2{dpi:05d}"  # an old server version: the details show the warning banner
    window.set_text("name", "Ada Lovelace")
    window.set_text("ticket", ticket)
    window.click("connect")
    window.wait(lambda c: c["prompt"]["visible"])
    simulator.gate(ticket, "agent")
    window.wait(lambda c: c["allow"]["enabled"])
    wait_until(lambda: not window.info()["iconic"])
    check_view(desktop, window, "compact", dpi)

    window.click("toggle")
    window.wait(lambda c: c["details"]["visible"])
    controls = check_view(desktop, window, "details", dpi, warning=True)
    assert controls["banner"]["text"].startswith("Version mismatch: server 0.8.1; expected 0.9.2.")
    assert controls["toggle"]["text"] == "Hide details"
    assert "Connected server: 0.8.1" in controls["details"]["text"]

    window.close()
    desktop.answer(desktop.wait_box(title="End remote support?"), 6)
    assert process.wait() == 0
