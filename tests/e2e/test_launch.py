"""Start-up as the customer sees it: the help box, a rejected launch, the window a valid launch
opens, and what a second start does with the first."""
import os
import signal

import pytest

from desktop import CONTROL_NAMES, SC_MINIMIZE, WM_SYSCOMMAND, wait_until

OK = 1


def help_text(default_url):
    return "\n".join([
        "Quillory.exe",
        "",
        "Standalone (company 1): enter your name and the six-digit ticket from your support agent.",
        'Orvane: --ixcompany 2 --identity "M01|S01|V01|Larkprint|1.0"',
        "Use exactly five nonempty fields separated by |. A field cannot contain |.",
        "",
        f"Optional --server-url (default: {default_url})",
        "Existing individual metadata options remain supported.",
        "Local ws://: --allow-insecure-local + localhost or a private IP address",
        "",
        "Screen updates and remote control require your approval.",
    ])


@pytest.mark.parametrize("args, text, icon, code", [
    (["--help"], None, "information", 0),
    # Text outside ASCII reaches the box intact.
    (["--Zoë"], "Unknown option: --Zoë\n\nRun with --help to view the required arguments.",
     "error", 2),
])
def test_a_box_alone_and_the_exit_code(desktop, launch, args, text, icon, code):
    process = launch(*args)
    box = desktop.wait_box()
    assert (box["text"], box["icon"]) == (text or help_text(desktop.config["default_server_url"]),
                                          icon)
    assert [(b["id"], b["enabled"]) for b in box["buttons"]] == [(OK, True)]
    assert len(desktop.boxes()) == 1 and desktop.windows(desktop.window_class) == []
    assert process.running(), "the program must wait for the customer to answer"
    desktop.answer(box, OK)
    assert process.wait() == code


def test_a_valid_launch_shows_the_entry_form_with_every_field_named(desktop, launch):
    process = launch("--requester", "Ada", "--server-url", "wss://help.example/client")
    window = desktop.window()
    controls = window.controls()
    assert controls["name"]["text"] == "Ada"
    # Screen readers name a field after the label just before it, and a button by its caption.
    order = list(controls.values())
    for field, label in [("name", "Customer name"), ("ticket", "Support ticket (6 digits)"),
                         ("details", "Call your support agent and enter the ticket they provide.")]:
        before = order[CONTROL_NAMES.index(field) - 1]
        assert (before["class"], before["text"]) == ("Static", label)
    for button in ("connect", "allow", "toggle", "stop", "close"):
        assert controls[button]["class"] == "Button" and controls[button]["text"]
    info = window.info()
    # Caption, system menu, sizing frame and minimise box, no maximise box; always on top.
    assert (info["title"], info["style"] & 0x00FF0000, info["ex_style"] & 0x8) == (
        "Quillory", 0x00CE0000, 0x8)
    assert desktop.boxes() == []
    window.close()  # nothing runs yet: no question
    assert process.wait() == 0


def test_company_2_identity_shows_names_read_only(desktop, launch):
    launch("--ixcompany", "2", "--identity", "M01|S01|V01|Larkprint|1.0")
    name = desktop.window().controls()["name"]
    assert (name["text"], name["visible"]) == ("Name not provided - Name not provided", True)
    assert name["style"] & 0x0800, "ES_READONLY"


def test_a_second_start_brings_the_first_forward_or_gives_up_on_a_hung_one(desktop, launch):
    first = launch()
    window = desktop.window()
    helper = launch("--help")  # leaves the first alone
    desktop.answer(desktop.wait_box(), OK)
    assert helper.wait() == 0
    window.send(WM_SYSCOMMAND, SC_MINIMIZE)
    wait_until(lambda: window.info()["iconic"])
    assert launch("--requester", "Bob").wait() == 0
    assert not window.info()["iconic"]
    assert len(desktop.windows(desktop.window_class)) == 1 and desktop.boxes() == []

    os.kill(first.process.pid, signal.SIGSTOP)  # the first copy stops answering messages
    try:
        second = launch()
        box = desktop.wait_box()
        assert (box["text"], box["icon"]) == (
            "Quillory is already running but is not ready or is not responding. Please try "
            "again shortly.", "warning")
        desktop.answer(box, OK)
        assert second.wait() == 3
    finally:
        os.kill(first.process.pid, signal.SIGCONT)
    window.close()
    assert first.wait() == 0
