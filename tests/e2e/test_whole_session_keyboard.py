"""A whole support session with the keyboard alone, the file dialogs and their boxes included:
connect, allow support, allow control, save the agent's file, pick one to send, stop support."""
import os

from desktop import VK_RETURN, VK_SPACE, VK_TAB, wait_until
from test_file_dialogs import (EXISTS, PICK_TITLE, SAVE_TITLE, STOPPED, dialog, sha256,
                               simulator, stage_notes, wine_path)  # noqa: F401 (fixture)
from test_keyboard import tab_to

VK_END, VK_HOME = 35, 36


def type_file_name(desktop, shown, path):
    """Replaces whatever the name field proposes, as a person would: End, Shift+Home, type."""
    desktop.driver("keys", shown["hwnd"], VK_END, f"shift+{VK_HOME}", "text:" + wine_path(path),
                   VK_RETURN)


def test_a_whole_session_by_keyboard(desktop, launch, simulator, connect_args, tmp_path):
    label = "620001"
    taken = tmp_path / "report.bin"
    taken.write_bytes(b"keep me")
    upload = tmp_path / "for the agent.txt"
    upload.write_bytes(os.urandom(70000))
    process = launch(*connect_args)
    window = desktop.window()
    wait_until(lambda: window.focus() == "name")
    window.keys("text:Ada Lovelace", VK_TAB, f"text:{label}", VK_RETURN)

    window.wait(lambda c: c["allow"]["enabled"], timeout=120)
    tab_to(window, "allow")
    window.keys(VK_SPACE)
    window.wait(lambda c: c["allow"]["enabled"] and c["allow"]["text"] == "Allow control",
                timeout=120)
    tab_to(window, "allow")
    window.keys(VK_SPACE)
    assert stage_notes(simulator, label, "controlled")[0]["approved"]

    shown = dialog(desktop, SAVE_TITLE, "report.bin")
    type_file_name(desktop, shown, taken)
    box = desktop.wait_box(title="Choose a new filename")
    assert box["text"] == EXISTS
    desktop.driver("keys", box["hwnd"], VK_RETURN)
    saved = tmp_path / "saved.bin"
    type_file_name(desktop, dialog(desktop, SAVE_TITLE, "report.bin"), saved)
    offered = stage_notes(simulator, label, "offered")[0]
    assert offered["delivered"] and sha256(saved) == offered["sha256"]
    assert taken.read_bytes() == b"keep me"

    type_file_name(desktop, dialog(desktop, PICK_TITLE, ""), upload)
    requested = stage_notes(simulator, label, "requested")[0]
    assert (requested["name"], requested["sha256"]) == (upload.name, sha256(upload))

    stage_notes(simulator, label, "waiting_for_stop")
    tab_to(window, "stop")
    window.keys(VK_SPACE)
    controls = window.wait(lambda c: not c["stop"]["enabled"])
    assert controls["prompt"]["text"] == STOPPED
    assert wait_until(lambda: simulator.closed(label), timeout=120)
    tab_to(window, "close")
    window.keys(VK_SPACE)  # support is already stopped: no question
    assert process.wait() == 0
    assert desktop.boxes() == [] and desktop.driver("file-dialogs") == []
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted([taken.name, upload.name,
                                                                 saved.name])
