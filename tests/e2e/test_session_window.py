"""A support session as the customer lives it: the real Quillory.exe against the simulator, driven
with the mouse and with the keyboard alone."""
import socket
import time

from desktop import SC_MINIMIZE, VK_RETURN, VK_SPACE, VK_TAB, WM_SYSCOMMAND, wait_until

OK, YES, NO = 1, 6, 7
WM_QUERYENDSESSION, WM_ENDSESSION = 0x0011, 0x0016
ENTRY_CONTROLS = {"name_label", "name", "ticket_label", "ticket", "connect"}
COMPACT_CONTROLS = {"prompt", "allow", "toggle", "stop", "close"}
STOPPED = "Stopped - No remote permissions"
TICKET_REFUSED = "Enter the six-digit ticket from your support agent."
NAME_REFUSED = "Enter your name before connecting."
LEGACY = ["--legacy-auto-connect", "--market-code", "M01", "--store-code", "S01", "--vendor-code",
          "V01", "--program-name", "Larkprint", "--program-version", "1.0"]


def visible(controls):
    return {name for name, control in controls.items() if control["visible"]}


def test_consent_control_and_the_agent_ending_the_session(desktop, connect, simulator):
    process, window = connect("012345", name="  Ada Lovelace  ")  # a leading zero counts
    controls = window.wait(lambda c: visible(c) == COMPACT_CONTROLS)
    wait_until(lambda: window.info()["title"] == "Quillory - Connected - Waiting for support agent")
    assert window.info()["client"] == [380, 178]
    assert not controls["allow"]["enabled"]
    first, second = simulator.client_messages("012345")[:2]
    assert (first["type"], first["support_ticket"], second["requester"]) == (
        "ticket_connect", "012345", "Ada Lovelace")

    # The consent request brings a minimised window back.
    window.send(WM_SYSCOMMAND, SC_MINIMIZE)
    wait_until(lambda: window.info()["iconic"])
    simulator.gate("012345", "agent")
    controls = window.wait(lambda c: c["allow"]["enabled"])
    assert not window.info()["iconic"]
    assert window.info()["title"] == "Quillory - Support agent assigned - Your approval is required"
    assert (controls["allow"]["text"], controls["prompt"]["text"]) == (
        "Allow Support",
        "Allow your support agent to view your screen and use your mouse and keyboard?")

    window.click("allow")
    wait_until(lambda: window.info()["iconic"])
    consent = wait_until(lambda: [m for m in simulator.client_messages("012345")
                                  if m["type"] == "consent"])
    assert (consent[0]["approved"], consent[0]["input_approved"]) == (True, True)
    window.wait(lambda c: c["status"]["text"] == "Screen preview active - View only")
    assert window.info()["iconic"], "nothing raises the window while support simply runs"

    simulator.gate("012345", "control")
    window.wait(lambda c: c["allow"]["enabled"] and c["allow"]["text"] == "Allow control")
    assert not window.info()["iconic"]
    window.click("allow")
    wait_until(lambda: any(m["type"] == "control_consent" and m["approved"]
                           for m in simulator.client_messages("012345")))

    # The agent ends the session and offers a file in the same reply: the notice, no dialog.
    simulator.gate("012345", "end")
    box = desktop.wait_box()
    assert (box["text"], box["icon"]) == (
        "The support agent ended this session. Remote access has stopped.", "information")
    assert desktop.driver("file-dialogs") == []
    desktop.answer(box, OK)
    controls = window.wait(lambda c: visible(c) == ENTRY_CONTROLS)
    assert (controls["ticket"]["text"], controls["connect"]["text"]) == ("", "Connect")
    assert controls["connect"]["enabled"]
    assert (window.info()["title"], window.info()["client"]) == ("Quillory", [380, 154])
    assert wait_until(lambda: simulator.closed("012345"))
    assert not any(e.get("after_end") for e in simulator.connection("012345"))

    window.close()  # the session is over: no question
    assert process.wait() == 0
    assert desktop.boxes() == []


def test_close_asks_while_support_runs(desktop, connect, simulator):
    process, window = connect("300001")
    window.wait(lambda c: c["prompt"]["visible"])

    window.close()
    box = desktop.wait_box(title="End remote support?")
    assert (box["text"], box["icon"]) == (
        "A support request is still in progress. Closing this window will end support.\n\n"
        "Do you want to end support and close?", "warning")
    assert [b["id"] for b in box["buttons"]] == [YES, NO]
    desktop.answer(box, NO)
    seen = len(simulator.client_messages("300001"))
    wait_until(lambda: len(simulator.client_messages("300001")) > seen + 2)  # still running
    assert process.running() and not simulator.closed("300001")

    window.close()
    desktop.answer(desktop.wait_box(title="End remote support?"), YES)
    assert process.wait() == 0
    assert wait_until(lambda: simulator.closed("300001"))
    assert {m["type"] for m in simulator.client_messages("300001")} <= {
        "ticket_connect", "request", "status"}, "nothing is said on the way out"


REFUSALS = [  # name, ticket, the box's sentence, the field that gets the focus (None: the server)
    ("Ada", "12345", TICKET_REFUSED, "ticket"),
    ("", "", TICKET_REFUSED, "ticket"),  # the ticket is checked first
    ("   ", "123456", NAME_REFUSED, "name"),
    ("x" * 129, "123456", NAME_REFUSED, "name"),  # one unit too long
    ("Ada", "900001", "Ticket not valid for this company, expired, or already used. Check the "
                      "ticket and support application with your agent.", None),
    ("Ada", "910001", "This device already has a connection to the server.", None),
    ("Ada", "920001", "Server rejected the request: no_such_code", None),
]


def test_refusals_end_in_a_box_and_the_form_comes_back(desktop, launch, simulator, connect_args):
    process = launch(*connect_args)
    window = desktop.window()
    for name, ticket, sentence, field in REFUSALS:
        window.set_text("name", name)
        window.set_text("ticket", ticket)
        window.click("connect")
        box = desktop.wait_box()
        assert (box["text"], box["icon"]) == (sentence, "information"), (name, ticket)
        assert [b["id"] for b in box["buttons"]] == [OK]
        desktop.answer(box, OK)
        controls = window.wait(lambda c: c["connect"]["enabled"])
        assert visible(controls) == ENTRY_CONTROLS
        assert (controls["connect"]["text"], window.info()["title"]) == ("Connect", "Quillory")
        if field:
            wait_until(lambda: window.focus() == field)
        else:
            assert controls["status"]["text"] == sentence
    window.close()
    assert process.wait() == 0


def test_save_dialog_proposes_a_safe_name_and_windows_may_end_meanwhile(desktop, connect,
                                                                         simulator):
    process, window = connect("400001")
    window.wait(lambda c: c["allow"]["enabled"])
    window.click("allow")
    dialog = desktop.driver("wait-file-dialog")[0]
    assert (dialog["title"], dialog["file_name"]) == (
        "Save file from support agent - choose a new filename", "a_b_c__.txt")
    # Windows ends the session while the dialog is open: no question, the program ends cleanly.
    assert window.send(WM_QUERYENDSESSION) == 1
    window.send(WM_ENDSESSION, 1)
    assert process.wait() == 0
    assert wait_until(lambda: simulator.closed("400001"))


def test_retry_after_a_failed_connection_shows_the_failure_again(desktop, launch):
    with socket.socket() as probe:  # a port nobody listens on
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    process = launch("--server-url", f"ws://127.0.0.1:{port}/client", "--allow-insecure-local",
                     *LEGACY)
    window = desktop.window()
    controls = window.wait(lambda c: c["status"]["text"].startswith("Network error"))
    failure = controls["status"]["text"]
    assert visible(controls) == COMPACT_CONTROLS  # legacy mode never shows the entry form
    window.click("toggle")
    controls = window.wait(lambda c: c["connect"]["visible"] and c["connect"]["enabled"])
    assert controls["connect"]["text"] == "Retry connection"
    assert window.info()["client"] == [490, 570]
    window.click("connect")
    window.wait(lambda c: c["status"]["text"] == failure and c["connect"]["enabled"])
    assert window.info()["title"] == "Quillory - " + failure
    assert desktop.boxes() == []  # legacy mode shows no end notice
    window.close()
    assert process.wait() == 0


def test_legacy_auto_connect_starts_in_the_session_view(desktop, launch, simulator, connect_args):
    process = launch(*connect_args, *LEGACY)
    window = desktop.window()
    assert visible(window.controls()) == COMPACT_CONTROLS
    assert window.info()["client"] == [380, 178]
    assert wait_until(lambda: simulator.client_messages("legacy")[:1])[0]["type"] == "connect"
    window.wait(lambda c: c["status"]["text"] == "Connected - Waiting for support agent")
    window.close()
    desktop.answer(desktop.wait_box(title="End remote support?"), YES)
    assert process.wait() == 0


def test_started_hidden_never_shows_anything(desktop, launch, simulator, connect_args):
    hidden = launch(*connect_args, *LEGACY, hidden=True)
    wait_until(lambda: len(simulator.client_messages("legacy")) > 3)
    simulator.gate("legacy", "agent")  # consent request and a file to save
    seen = len(simulator.client_messages("legacy"))
    wait_until(lambda: len(simulator.client_messages("legacy")) > seen + 10)  # many refreshes
    assert launch().wait() == 0  # a second start: the hidden first instance answers
    simulator.gate("legacy", "end")
    wait_until(lambda: simulator.closed("legacy"))
    assert desktop.windows(desktop.window_class) == []
    assert desktop.boxes() == [] and desktop.driver("file-dialogs") == []
    desktop.close_all()  # no question for a hidden window
    assert hidden.wait() == 0


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
        tab_cycle(window, 1)
    assert window.focus() == name


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

    simulator.gate("100001", "control")  # the request brings the window back
    window.wait(lambda c: c["allow"]["enabled"] and c["allow"]["text"] == "Allow control")
    tab_to(window, "stop")
    window.keys(VK_SPACE)
    controls = window.wait(lambda c: not c["stop"]["enabled"])
    assert (controls["prompt"]["text"], controls["allow"]["enabled"]) == (STOPPED, False)
    assert (window.info()["title"], window.focus()) == ("Quillory - " + STOPPED, "toggle")
    assert wait_until(lambda: simulator.closed("100001"))
    tab_to(window, "close")
    window.keys(VK_SPACE)  # support is already stopped: no question
    assert process.wait() == 0
    assert desktop.boxes() == []


SAVE_TITLE = "Save file from support agent - choose a new filename"
PICK_TITLE = "Select a file to send to the support agent (up to 200 MB)"
CANCEL, WS_DISABLED = 2, 0x08000000


def test_forged_texts_stay_on_their_line(desktop, connect, simulator):
    process, window = connect("500001")
    window.wait(lambda c: c["allow"]["enabled"])
    window.click("allow")
    window.wait(lambda c: c["status"]["text"] == "Screen preview active - View only")
    window.click("toggle")
    lines = window.wait(lambda c: c["details"]["visible"])["details"]["text"].split("\r\n")
    assert [line for line in lines if line.startswith("Permissions")] == [
        "Permissions: Screen updates (view only)"]
    agent = next(line for line in lines if line.startswith("Support agent: "))
    assert agent.startswith("Support agent: Alice  Permissions: None  Recording: Off")
    assert len(agent) == len("Support agent: ") + 80
    simulator.gate("500001", "file")
    dialog = desktop.driver("wait-file-dialog")[0]
    assert (dialog["title"], dialog["file_name"]) == (SAVE_TITLE, "invoicefdp.exe")
    desktop.driver("click", dialog["hwnd"], CANCEL)
    window.close()
    desktop.answer(desktop.wait_box(title="End remote support?"), YES)
    assert process.wait() == 0


def note(simulator, label, stage):
    return wait_until(lambda: next((e for e in simulator.connection(label)
                                    if e.get("event") == "note" and e.get("stage") == stage),
                                   None), timeout=120)


def new_dialog(desktop, old=None):
    return wait_until(lambda: next((d for d in desktop.driver("file-dialogs")
                                    if d["hwnd"] != old), None), timeout=120)


def test_file_dialogs_wait_for_consent_follow_the_direction_and_pause(desktop, connect,
                                                                      simulator):
    label = "600001"
    process, window = connect(label)
    window.wait(lambda c: c["prompt"]["visible"])
    wait_until(lambda: len(simulator.client_messages(label)) > 12)  # turns with a file request
    simulator.gate(label, "agent")
    window.wait(lambda c: c["allow"]["enabled"])
    assert desktop.driver("file-dialogs") == [], "no dialog before Allow Support"
    window.click("allow")
    dialog = new_dialog(desktop)
    assert dialog["title"] == PICK_TITLE
    desktop.driver("click", dialog["hwnd"], CANCEL)
    assert note(simulator, label, "first")["type"] == "file_cancel"

    # A pick that would write the agent's data: refused as a broken update, without a dialog.
    mismatch = note(simulator, label, "mismatch")
    assert (mismatch["type"], mismatch["mine"]) == ("file_cancel", True)
    window.wait(lambda c: "File transfer failed or was cancelled." in c["details"]["text"])
    seen = len(simulator.client_messages(label))
    wait_until(lambda: len(simulator.client_messages(label)) > seen + 40)  # past any pause
    assert desktop.driver("file-dialogs") == []

    # A new request in every reply: after a cancel the window stays free for a while.
    simulator.gate(label, "flood")
    dialog = new_dialog(desktop)
    cancelled = time.monotonic()  # before the click: the pause can only start later
    desktop.driver("click", dialog["hwnd"], CANCEL)
    dialog = new_dialog(desktop, dialog["hwnd"])
    assert time.monotonic() - cancelled >= 3
    desktop.driver("click", dialog["hwnd"], CANCEL)
    wait_until(lambda: not window.info()["style"] & WS_DISABLED
               and not desktop.driver("file-dialogs"))
    window.click("stop")
    window.wait(lambda c: not c["stop"]["enabled"])
    assert wait_until(lambda: simulator.closed(label))
    assert desktop.driver("file-dialogs") == []
    window.close()
    assert process.wait() == 0
