"""A support session as the customer lives it: the real Quillory.exe against the simulator, driven
with the mouse and with the keyboard alone. The flow is checked here (messages, window states,
focus, dialogs, exit codes); the sentences the portable core makes are pinned by its unit tests."""
import socket
import time

from desktop import SC_MINIMIZE, VK_RETURN, VK_SPACE, VK_TAB, WM_SYSCOMMAND, wait_until

OK, CANCEL, YES, NO = 1, 2, 6, 7
WM_QUERYENDSESSION, WM_ENDSESSION, WS_DISABLED = 0x0011, 0x0016, 0x08000000
ENTRY = {"name_label", "name", "ticket_label", "ticket", "connect"}
COMPACT = {"prompt", "allow", "toggle", "stop", "close"}
CLOSE_QUESTION = "End remote support?"
LEGACY = ["--legacy-auto-connect", "--market-code", "M01", "--store-code", "S01", "--vendor-code",
          "V01", "--program-name", "Larkprint", "--program-version", "1.0"]


def visible(controls):
    return {name for name, control in controls.items() if control["visible"]}


def sent(simulator, label, kind):
    return [m for m in simulator.client_messages(label) if m["type"] == kind]


def turns_pass(simulator, label, count):
    """Waits until the client sent `count` more messages: the session goes on meanwhile."""
    seen = len(simulator.client_messages(label))
    wait_until(lambda: len(simulator.client_messages(label)) > seen + count)


REFUSALS = [  # name, ticket, the box's sentence (None: the server's), the field given the focus
    ("Ada", "12345", "Enter the six-digit ticket from your support agent.", "ticket"),
    ("", "", "Enter the six-digit ticket from your support agent.", "ticket"),  # ticket first
    ("   ", "123456", "Enter your name before connecting.", "name"),
    ("x" * 129, "123456", "Enter your name before connecting.", "name"),  # one unit too long
    ("Ada", "900001", None, None),  # invalid_support_ticket
    ("Ada", "910001", None, None),  # device_already_connected
    ("Ada", "920001", None, None),  # a code the program does not know
]


def test_refusals_end_in_a_box_and_the_form_comes_back(desktop, launch, simulator, connect_args):
    process = launch(*connect_args)
    window = desktop.window()
    server_sentences = set()
    for name, ticket, sentence, field in REFUSALS:
        window.set_text("name", name)
        window.set_text("ticket", ticket)
        window.click("connect")
        box = desktop.wait_box()
        assert (box["icon"], [b["id"] for b in box["buttons"]]) == ("information", [OK])
        desktop.answer(box, OK)
        controls = window.wait(lambda c: c["connect"]["enabled"])
        assert visible(controls) == ENTRY and window.info()["title"] == "Quillory"
        if sentence:
            assert box["text"] == sentence, (name, ticket)
            wait_until(lambda: window.focus() == field)
        else:  # the server's refusal stays on the status line
            assert controls["status"]["text"] == box["text"]
            server_sentences.add(box["text"])
    assert len(server_sentences) == 3
    window.close()
    assert process.wait() == 0


def test_retry_after_a_failed_connection_shows_the_failure_again(desktop, launch):
    with socket.socket() as probe:  # a port nobody listens on
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    process = launch("--server-url", f"ws://127.0.0.1:{port}/client", "--allow-insecure-local",
                     *LEGACY)
    window = desktop.window()
    controls = window.wait(lambda c: c["status"]["text"].startswith("Network error"))
    failure = controls["status"]["text"]
    assert visible(controls) == COMPACT  # legacy mode never shows the entry form
    window.click("toggle")
    controls = window.wait(lambda c: c["connect"]["visible"] and c["connect"]["enabled"])
    assert window.info()["client"] == [490, 570]
    window.click("connect")
    window.wait(lambda c: c["status"]["text"] == failure and c["connect"]["enabled"])
    assert window.info()["title"] == "Quillory - " + failure
    assert desktop.boxes() == []  # legacy mode shows no end notice
    window.close()
    assert process.wait() == 0


def test_legacy_auto_connect_the_close_question_and_stop_by_keyboard(desktop, launch, simulator,
                                                                     connect_args):
    process = launch(*connect_args, *LEGACY)
    window = desktop.window()
    assert (visible(window.controls()), window.info()["client"]) == (COMPACT, [380, 178])
    assert wait_until(lambda: simulator.client_messages("legacy")[:1])[0]["type"] == "connect"
    window.wait(lambda c: c["prompt"]["visible"] and not c["connect"]["enabled"])

    window.close()
    box = desktop.wait_box(title=CLOSE_QUESTION)
    assert (box["text"], box["icon"], [b["id"] for b in box["buttons"]]) == (
        "A support request is still in progress. Closing this window will end support.\n\n"
        "Do you want to end support and close?", "warning", [YES, NO])
    desktop.answer(box, NO)
    turns_pass(simulator, "legacy", 2)
    assert process.running() and not simulator.closed("legacy")
    tab_to(window, "stop")  # by keyboard: the focus moves on from the greyed button
    window.keys(VK_SPACE)
    controls = window.wait(lambda c: not c["stop"]["enabled"])
    assert (controls["allow"]["enabled"], window.focus()) == (False, "toggle")
    assert window.info()["title"] == "Quillory - " + controls["prompt"]["text"]
    assert wait_until(lambda: simulator.closed("legacy"))
    window.close()  # support is already stopped: no question
    assert process.wait() == 0 and desktop.boxes() == []
    assert {m["type"] for m in simulator.client_messages("legacy")} <= {
        "connect", "request", "status"}, "nothing is said on the way out"


def test_started_hidden_never_shows_anything(desktop, launch, simulator, connect_args):
    hidden = launch(*connect_args, *LEGACY, hidden=True)
    wait_until(lambda: len(simulator.client_messages("legacy")) > 3)
    simulator.gate("legacy", "agent")  # consent request and a file to save
    turns_pass(simulator, "legacy", 10)
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


def test_a_session_by_keyboard_alone_until_the_agent_ends_it(desktop, launch, simulator,
                                                             connect_args):
    process = launch(*connect_args)
    window = desktop.window()
    wait_until(lambda: window.focus() == "name")
    assert tab_cycle(window, 3) == ["name", "ticket", "connect", "name"]
    window.keys("text:  Ada Lovelace  ", VK_TAB, "text:012345", VK_RETURN)  # a leading zero counts
    controls = window.wait(lambda c: visible(c) == COMPACT)
    assert (window.info()["client"], controls["allow"]["enabled"]) == ([380, 178], False)
    first, second = simulator.client_messages("012345")[:2]
    assert (first["type"], first["support_ticket"], second["requester"]) == (
        "ticket_connect", "012345", "Ada Lovelace")

    # The consent request brings a minimised window back; Allow minimises it again, and nothing
    # raises it while support simply runs, until the agent asks for control.
    window.send(WM_SYSCOMMAND, SC_MINIMIZE)
    wait_until(lambda: window.info()["iconic"])
    simulator.gate("012345", "agent")
    window.wait(lambda c: c["allow"]["enabled"])
    assert not window.info()["iconic"]
    tab_to(window, "allow")
    assert tab_cycle(window, 4) == ["allow", "toggle", "stop", "close", "allow"]
    window.keys(VK_SPACE)
    wait_until(lambda: window.info()["iconic"])
    consent = wait_until(lambda: sent(simulator, "012345", "consent"))
    assert (consent[0]["approved"], consent[0]["input_approved"]) == (True, True)
    turns_pass(simulator, "012345", 5)
    assert window.info()["iconic"]
    simulator.gate("012345", "control")
    window.wait(lambda c: c["allow"]["enabled"] and c["allow"]["text"] == "Allow control")
    assert not window.info()["iconic"]
    tab_to(window, "allow")
    window.keys(VK_SPACE)
    wait_until(lambda: any(m["approved"] for m in sent(simulator, "012345", "control_consent")))

    # The agent ends the session and offers a file in the same reply: the notice, no dialog.
    simulator.gate("012345", "end")
    box = desktop.wait_box()
    assert box["icon"] == "information" and desktop.driver("file-dialogs") == []
    desktop.answer(box, OK)
    controls = window.wait(lambda c: visible(c) == ENTRY)
    assert (controls["ticket"]["text"], controls["connect"]["enabled"]) == ("", True)
    assert (window.info()["title"], window.info()["client"]) == ("Quillory", [380, 154])
    assert wait_until(lambda: simulator.closed("012345"))
    assert not any(e.get("after_end") for e in simulator.connection("012345"))
    window.close()  # the session is over: no question
    assert process.wait() == 0
    assert desktop.boxes() == []


def test_agent_texts_stay_on_their_line_and_windows_may_end_meanwhile(desktop, connect,
                                                                      simulator):
    """A forged agent name, a file name with a direction override and one with characters a file
    name cannot hold; then Windows ends its session while the Save dialog is open."""
    process, window = connect("500001")
    window.wait(lambda c: c["allow"]["enabled"])
    window.click("allow")
    window.wait(lambda c: c["status"]["text"] == "Screen preview active - View only")
    window.click("toggle")
    lines = window.wait(lambda c: c["details"]["visible"])["details"]["text"].split("\r\n")
    assert len([line for line in lines if line.startswith("Permissions")]) == 1
    agent = next(line for line in lines if line.startswith("Support agent: "))
    assert len(agent) == len("Support agent: ") + 80
    simulator.gate("500001", "file")
    dialog = desktop.driver("wait-file-dialog")[0]
    assert dialog["file_name"] == "invoicefdp.exe"
    desktop.driver("click", dialog["hwnd"], CANCEL)
    assert new_dialog(desktop, dialog["hwnd"])["file_name"] == "a_b_c__.txt"
    assert window.send(WM_QUERYENDSESSION) == 1  # no question: the program ends cleanly
    window.send(WM_ENDSESSION, 1)
    assert process.wait() == 0
    assert wait_until(lambda: simulator.closed("500001"))


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
    assert dialog["title"].startswith("Select a file to send")  # the Open dialog
    desktop.driver("click", dialog["hwnd"], CANCEL)
    assert note(simulator, label, "first")["type"] == "file_cancel"

    # A pick that would write the agent's data: refused as a broken update, without a dialog.
    mismatch = note(simulator, label, "mismatch")
    assert (mismatch["type"], mismatch["mine"]) == ("file_cancel", True)
    turns_pass(simulator, label, 40)  # past any pause
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
