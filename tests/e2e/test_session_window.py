"""A support session as the customer lives it: the real Quillory.exe against the simulator."""
import os
import signal
import socket

from desktop import SC_MINIMIZE, WM_SYSCOMMAND, wait_until

OK, YES, NO = 1, 6, 7
ENTRY_CONTROLS = {"name_label", "name", "ticket_label", "ticket", "connect"}
COMPACT_CONTROLS = {"prompt", "allow", "toggle", "stop", "close"}
AGENT_ENDED = "The support agent ended this session. Remote access has stopped."
CLOSE_QUESTION = ("A support request is still in progress. Closing this window will end support."
                  "\n\nDo you want to end support and close?")
LEGACY = ["--legacy-auto-connect", "--market-code", "M01", "--store-code", "S01", "--vendor-code",
          "V01", "--program-name", "Larkprint", "--program-version", "1.0"]


def visible(controls):
    return {name for name, control in controls.items() if control["visible"]}


def connect(desktop, launch, connect_args, ticket, name="Ada Lovelace"):
    process = launch(*connect_args)
    window = desktop.window()
    window.set_text("name", name)
    window.set_text("ticket", ticket)
    window.click("connect")
    return process, window


def test_consent_control_and_the_agent_ending_the_session(desktop, launch, simulator,
                                                          connect_args):
    process = launch(*connect_args)
    window = desktop.window()
    controls = window.controls()
    assert visible(controls) == ENTRY_CONTROLS
    assert window.info()["client"] == [380, 154]
    assert (controls["connect"]["text"], controls["connect"]["enabled"]) == ("Connect", True)
    window.set_text("name", "  Ada Lovelace  ")
    window.set_text("ticket", "012345")  # a leading zero is part of the ticket
    window.click("connect")

    controls = window.wait(lambda c: visible(c) == COMPACT_CONTROLS)
    wait_until(lambda: window.info()["title"] == "Quillory - Connected - Waiting for support agent")
    assert window.info()["client"] == [380, 178]
    assert controls["prompt"]["text"] == "One screen snapshot is sent on connection."
    assert not controls["allow"]["enabled"]
    first = simulator.client_messages("012345")[0]
    assert (first["type"], first["support_ticket"]) == ("ticket_connect", "012345")
    assert simulator.client_messages("012345")[1]["requester"] == "Ada Lovelace"

    # The consent request brings a minimised window back.
    window.send(WM_SYSCOMMAND, SC_MINIMIZE)
    wait_until(lambda: window.info()["iconic"])
    simulator.gate("012345", "agent")
    controls = window.wait(lambda c: c["allow"]["enabled"])
    assert not window.info()["iconic"]
    assert window.info()["title"] == "Quillory - Support agent assigned - Your approval is required"
    assert controls["allow"]["text"] == "Allow Support"
    assert controls["prompt"]["text"] == (
        "Allow your support agent to view your screen and use your mouse and keyboard?")
    assert controls["explanation"]["text"] == (
        "Allow the assigned agent to select and view your monitors and use your mouse and "
        "keyboard. Stop Support ends access.")

    window.click("allow")
    wait_until(lambda: window.info()["iconic"])
    consent = wait_until(lambda: [m for m in simulator.client_messages("012345")
                                  if m["type"] == "consent"])
    assert (consent[0]["approved"], consent[0]["input_approved"]) == (True, True)
    controls = window.wait(lambda c: c["status"]["text"] == "Screen preview active - View only")
    assert controls["prompt"]["text"] == "Screen sharing is enabled."
    assert window.info()["iconic"], "nothing raises the window while support simply runs"

    simulator.gate("012345", "control")
    controls = window.wait(lambda c: c["allow"]["enabled"] and c["allow"]["text"] == "Allow control")
    assert not window.info()["iconic"]
    assert controls["prompt"]["text"] == "Allow your support agent to use your mouse and keyboard?"
    window.click("allow")
    wait_until(lambda: any(m["type"] == "control_consent" and m["approved"]
                           for m in simulator.client_messages("012345")))

    simulator.gate("012345", "end")
    box = desktop.wait_box()
    assert (box["text"], box["icon"]) == (AGENT_ENDED, "information")
    controls = window.controls()
    assert controls["prompt"]["text"] == "Support ended by the agent. Remote access has stopped."
    assert controls["explanation"]["text"].startswith("The support agent ended this session.")
    desktop.answer(box, OK)
    controls = window.wait(lambda c: visible(c) == ENTRY_CONTROLS)
    assert controls["ticket"]["text"] == ""
    assert (controls["connect"]["text"], controls["connect"]["enabled"]) == ("Connect", True)
    assert window.info()["title"] == "Quillory"
    assert window.info()["client"] == [380, 154]
    assert wait_until(lambda: simulator.closed("012345"))
    assert not any(e.get("after_end") for e in simulator.connection("012345"))

    window.close()  # the session is over: no question
    assert process.wait() == 0
    assert desktop.boxes() == []


def test_close_asks_while_support_runs(desktop, launch, simulator, connect_args):
    process, window = connect(desktop, launch, connect_args, "300001")
    window.wait(lambda c: c["prompt"]["visible"])

    window.close()
    box = desktop.wait_box(title="End remote support?")
    assert (box["text"], box["icon"]) == (CLOSE_QUESTION, "warning")
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


def test_server_errors_end_in_the_notice_box_and_the_form_comes_back(desktop, launch, simulator,
                                                                     connect_args):
    process = launch(*connect_args)
    window = desktop.window()
    for ticket, sentence in [
        ("900001", "Ticket not valid for this company, expired, or already used. Check the ticket "
                   "and support application with your agent."),
        ("910001", "This device already has a connection to the server."),
        ("920001", "Server rejected the request: no_such_code"),
    ]:
        window.set_text("name", "Ada")
        window.set_text("ticket", ticket)
        window.click("connect")
        box = desktop.wait_box()
        assert (box["text"], box["icon"]) == (sentence, "information")
        desktop.answer(box, OK)
        controls = window.wait(lambda c: c["connect"]["enabled"])
        assert visible(controls) == ENTRY_CONTROLS
        assert controls["status"]["text"] == sentence
        assert window.info()["title"] == "Quillory"
    window.close()
    assert process.wait() == 0


def test_no_file_dialog_for_a_finished_session(desktop, launch, simulator, connect_args):
    process, window = connect(desktop, launch, connect_args, "500001")
    window.wait(lambda c: c["prompt"]["visible"])
    simulator.gate("500001", "end")
    box = desktop.wait_box()
    assert box["text"] == AGENT_ENDED
    assert desktop.driver("file-dialogs") == []
    desktop.answer(box, OK)
    window.close()
    assert process.wait() == 0


def test_save_dialog_proposes_a_safe_name_and_never_an_existing_file(desktop, launch, simulator,
                                                                     connect_args, tmp_path):
    existing = tmp_path / "taken.txt"
    existing.write_text("keep me")
    process, window = connect(desktop, launch, connect_args, "400001")
    dialog = desktop.driver("wait-file-dialog")[0]
    assert dialog["title"] == "Save file from support agent - choose a new filename"
    assert dialog["file_name"] == "a_b_c__.txt"
    desktop.driver("fill-file-name", dialog["hwnd"], "Z:" + str(existing).replace("/", "\\"))
    box = desktop.wait_box(title="Choose a new filename")
    assert (box["text"], box["icon"]) == (
        "That file already exists. Choose a different filename.", "information")
    desktop.answer(box, OK)
    dialog = desktop.driver("wait-file-dialog")[0]  # asked again
    # Windows ends the session while the dialog is open: no question, the program ends cleanly.
    assert window.send(0x0011) == 1  # WM_QUERYENDSESSION
    window.send(0x0016, 1)  # WM_ENDSESSION
    assert process.wait() == 0
    assert existing.read_text() == "keep me"
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
    wait_until(lambda: simulator.client_messages("legacy")[:1])
    assert simulator.client_messages("legacy")[0]["type"] == "connect"
    window.wait(lambda c: c["status"]["text"] == "Connected - Waiting for support agent")
    window.close()
    desktop.answer(desktop.wait_box(title="End remote support?"), YES)
    assert process.wait() == 0


def test_a_second_start_brings_the_first_forward_and_exits_0(desktop, launch):
    first = launch()
    window = desktop.window()
    window.send(WM_SYSCOMMAND, SC_MINIMIZE)
    wait_until(lambda: window.info()["iconic"])
    assert launch("--requester", "Bob").wait() == 0
    assert not window.info()["iconic"]
    assert len(desktop.windows("VarnelQuillory.Status.v1")) == 1
    assert desktop.boxes() == []
    window.close()
    assert first.wait() == 0


def test_company_2_identity_shows_names_read_only(desktop, launch):
    launch("--ixcompany", "2", "--identity", "M01|S01|V01|Larkprint|1.0")
    name = desktop.window().controls()["name"]
    assert (name["text"], name["visible"]) == ("Name not provided - Name not provided", True)
    assert name["style"] & 0x0800, "ES_READONLY"


def test_started_hidden_never_shows_anything(desktop, launch, simulator, connect_args):
    hidden = launch(*connect_args, *LEGACY, hidden=True)
    wait_until(lambda: len(simulator.client_messages("legacy")) > 3)
    simulator.gate("legacy", "agent")  # consent request and a file to save
    seen = len(simulator.client_messages("legacy"))
    wait_until(lambda: len(simulator.client_messages("legacy")) > seen + 10)  # many refreshes
    assert launch().wait() == 0  # a second start: the hidden first instance answers
    simulator.gate("legacy", "end")
    wait_until(lambda: simulator.closed("legacy"))
    assert desktop.windows("VarnelQuillory.Status.v1") == []
    assert desktop.boxes() == [] and desktop.driver("file-dialogs") == []
    desktop.close_all()  # no question for a hidden window
    assert hidden.wait() == 0


def test_a_second_start_gives_up_on_a_hung_first_instance_with_exit_3(desktop, launch):
    first = launch()
    window = desktop.window()
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
