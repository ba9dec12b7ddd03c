"""The agent's side for the window's end-to-end tests. One simulator serves a whole test module;
the first digit of the ticket a test types picks the story, and the test moves the agent on by
creating gate files named "<ticket>-<step>" in the folder given as --set gates=DIR. A legacy
connection (no ticket) uses the gate name "legacy-<step>".

  0, 1  the whole session: waiting, consent, viewer, control request, then the agent ends it
        and offers a file in the same reply
  3     waits for the customer to close
  5     a forged agent name (line breaks, a fake permissions line), consent, the viewer; at gate
        "file" offers invoice<U+202E>fdp.exe, once that is answered a/b:c*?.txt; waits for the
        customer to close
  6     asks for a file while waiting; at gate "agent" asks for consent; after the answer to
        that request, one with a direction that does not match its state until gate "flood";
        then a new request in every reply until the customer stops support
  9     the server refuses the ticket: 90xxxx invalid_support_ticket, 91xxxx
        device_already_connected, 92xxxx an unknown code
"""

import uuid
from pathlib import Path

from simulator import PROTOCOL_VERSION

ERRORS = {"0": "invalid_support_ticket", "1": "device_already_connected", "2": "no_such_code"}
FORGED_AGENT = "Alice\r\nPermissions: None\r\nRecording: Off (not available yet)" + "\r\n" * 20


def pick_request(direction="to_staff"):
    return {"id": uuid.uuid4().hex, "state": "awaiting_pick", "direction": direction,
            "name": "", "size": 10}


async def file_answer(sim, stage):
    """Answers until the client accepts or cancels a transfer, and notes which."""
    msg = await sim.until(lambda m: m.get("type") in ("file_accept", "file_cancel"))
    mine = msg.get("transfer_id") == sim.session["file"]["id"]
    sim.note(stage=stage, type=msg["type"], mine=mine)


async def flood(sim):
    """A new transfer in every reply, until the customer stops support."""
    try:
        while True:
            sim.session["file"] = pick_request()
            await sim.next()
    except Exception as error:  # the simulator's SessionClosed ends the story
        if type(error).__name__ != "SessionClosed":
            raise


def offer(transfer_id, name):
    return {"id": transfer_id, "state": "awaiting_save", "direction": "to_customer",
            "name": name, "size": 10}


async def until_gate(sim, name):
    """Answers the client's messages until the test opens the gate."""
    path = Path(sim.options["gates"]) / f"{sim.label}-{name}"
    await sim.until(lambda _message: path.exists(), limit=1_000_000)


async def scenario(sim):
    first = await sim.next()
    sim.connect_message = first
    sim.label = first.get("support_ticket") or "legacy"
    story = sim.label[0] if sim.label != "legacy" else "legacy"
    sim.note(label=sim.label, type=first.get("type"))
    if story == "9":
        sim.error_reply(ERRORS[sim.label[1]])
        return
    sim._override = {"ok": True, "server_version": PROTOCOL_VERSION}
    sim.request_message = await sim.next("request")
    sim.session["screen_preview"] = story in ("0", "1", "5")  # these offer previews

    if story == "5":
        sim.assign_agent(FORGED_AGENT)
        if not await sim.await_consent():
            return
        sim.open_viewer()
        await until_gate(sim, "file")
        sim.session["file"] = offer("file-5", "invoice\u202efdp.exe")
        await file_answer(sim, "first")
        sim.session["file"] = offer("file-6", "a/b:c*?.txt")
    if story == "6":
        sim.session["file"] = pick_request()
        await until_gate(sim, "agent")
        sim.assign_agent("agent-6")
        if not await sim.await_consent():
            return
        await file_answer(sim, "first")
        sim.session["file"] = pick_request("to_customer")
        await file_answer(sim, "mismatch")
        await until_gate(sim, "flood")
        await flood(sim)
        return
    if story in ("3", "5"):
        await sim.until_closed()
        return
    if story == "legacy":
        await until_gate(sim, "agent")
        sim.assign_agent("agent-legacy")
        sim.session["file"] = offer("hidden-file", "report.txt")
        await until_gate(sim, "end")
        sim.end("staff_end")
        return

    await until_gate(sim, "agent")
    sim.assign_agent("agent-7")
    if not await sim.await_consent():
        return
    sim.open_viewer()
    await until_gate(sim, "control")
    sim.request_control()
    if not await sim.await_control_consent():
        return
    await until_gate(sim, "end")
    sim.session["file"] = offer("late-file", "late.txt")
    sim.end("staff_end")
