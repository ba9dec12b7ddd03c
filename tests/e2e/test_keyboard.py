"""Keyboard and screen-reader use: a whole session connected, allowed and stopped with the keyboard
alone, Tab going through the controls in their order, and every field and button named."""
from desktop import CONTROL_NAMES, VK_RETURN, VK_SPACE, VK_TAB, wait_until

STOPPED = "Stopped - No remote permissions"
EDITS = {"details", "name", "ticket"}
BUTTONS = {"connect", "allow", "toggle", "stop", "close"}


def tab_cycle(window, length):
    """The controls Tab visits, starting from the focused one."""
    visited = [window.focus()]
    for _ in range(length):
        window.keys(VK_TAB)
        visited.append(wait_until(lambda: window.focus() != visited[-1] and window.focus()))
    return visited


def tab_to(window, name, limit=8):
    for _ in range(limit):
        if window.focus() == name:
            return
        before = window.focus()
        window.keys(VK_TAB)
        wait_until(lambda: window.focus() != before)
    assert window.focus() == name


def test_every_field_and_button_has_a_name(desktop, launch):
    """Screen readers name a field after the label placed just before it, and a button after its
    caption: each edit follows its label in the window's order, and no caption is empty."""
    launch()
    controls = desktop.window().controls()
    assert list(controls) == CONTROL_NAMES  # the order the window creates them in
    order = list(controls.values())
    labels = {"name": "Customer name", "ticket": "Support ticket (6 digits)",
              "details": "Call your support agent and enter the ticket they provide."}
    for name in EDITS:
        before = order[CONTROL_NAMES.index(name) - 1]
        assert (before["class"], before["text"]) == ("Static", labels[name])
    for name in BUTTONS:
        assert controls[name]["class"] == "Button" and controls[name]["text"]


def test_a_session_by_keyboard_alone(desktop, launch, simulator, connect_args):
    process = launch(*connect_args)
    window = desktop.window()
    wait_until(lambda: window.focus() == "name")
    assert tab_cycle(window, 3) == ["name", "ticket", "connect", "name"]

    window.keys("text:Ada Lovelace", VK_TAB, "text:100001", VK_RETURN)
    window.wait(lambda c: c["prompt"]["visible"])
    assert simulator.client_messages("100001")[1]["requester"] == "Ada Lovelace"

    simulator.gate("100001", "agent")
    window.wait(lambda c: c["allow"]["enabled"])
    tab_to(window, "allow")
    assert tab_cycle(window, 4) == ["allow", "toggle", "stop", "close", "allow"]
    window.keys(VK_SPACE)
    wait_until(lambda: any(m["type"] == "consent" for m in simulator.client_messages("100001")))
    wait_until(lambda: window.info()["iconic"])

    simulator.gate("100001", "control")  # the request brings the window back
    window.wait(lambda c: c["allow"]["enabled"] and c["allow"]["text"] == "Allow control")
    tab_to(window, "stop")
    window.keys(VK_SPACE)
    controls = window.wait(lambda c: not c["stop"]["enabled"])
    assert controls["prompt"]["text"] == STOPPED
    assert not controls["allow"]["enabled"]
    assert window.info()["title"] == "Quillory - " + STOPPED
    assert window.focus() == "toggle"
    assert wait_until(lambda: simulator.closed("100001"))
    assert not any(m["type"] == "control_consent" for m in simulator.client_messages("100001"))

    tab_to(window, "close")
    window.keys(VK_SPACE)  # support is already stopped: no question
    assert process.wait() == 0
    assert desktop.boxes() == []
