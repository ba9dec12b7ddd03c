"""The whole support session of the demo: consent, previews (of the second monitor when the client
reports one, then of the primary), control, a click into the primary monitor and typing there, a
file to the customer and one back, then the agent ends. Each stage is noted ({"stage": ...}) for
the driver to follow. Options (--set KEY=VALUE, defaults in brackets): ticket [123456], frames per
monitor [3], click_x / click_y over the primary [32768], text: upper-case letters and digits
[QUILLORY], offer_name [notes.txt], offer_size [300000].
"""

import hashlib


def key_strokes(text: str) -> list:
    """Virtual-key presses that type `text`: letters and digits have their own codes."""
    strokes = []
    for ch in text:
        if not (ch.isdigit() or "A" <= ch <= "Z"):
            raise ValueError(f"cannot type {ch!r}")
        strokes += [{"kind": "key_down", "key": ord(ch)}, {"kind": "key_up", "key": ord(ch)}]
    return strokes


async def scenario(sim):
    options = sim.options
    ticket = options.get("ticket", "123456")
    frames = int(options.get("frames", "3"))
    click = {"x": int(options.get("click_x", "32768")), "y": int(options.get("click_y", "32768"))}

    request = await sim.handshake(ticket=ticket)
    monitors = [m.get("id", "") for m in request.get("monitors", [])]
    sim.session["multi_monitor"] = len(monitors) > 1
    if sim.session.get("screen_preview", True):
        await sim.next("initial_preview")
    sim.note(stage="waiting")
    await sim.wait_turns(3)

    sim.assign_agent("agent-7")
    sim.note(stage="consent")
    if not await sim.await_consent():
        sim.note(stage="denied")
        return

    sim.note(stage="viewing")
    sim.open_viewer()
    # The second monitor first, then the primary, where the pointer work happens.
    for monitor in reversed(monitors[:2]) if len(monitors) > 1 else [""]:
        if monitor:
            sim.select_monitor(monitor)
        await sim.await_frames(frames)
        sim.note(stage="viewed", monitor=monitor)

    sim.request_control()
    sim.note(stage="control")
    if await sim.await_control_consent():
        # Input runs only once a frame of the selected monitor has gone out after the grant.
        await sim.await_frames(1)
        sim.note(stage="input")
        sim.send_inputs([{"kind": "move", **click}, {"kind": "down", **click},
                         {"kind": "up", **click}])
        await sim.next()
        sim.send_inputs(key_strokes(options.get("text", "QUILLORY")))
        await sim.next()
        await sim.wait_turns(2)

    sim.withdraw_control()
    sim.note(stage="offer")
    size = int(options.get("offer_size", "300000"))
    payload = bytes((i * 7) % 256 for i in range(size))
    delivered = await sim.send_file_to_customer(options.get("offer_name", "notes.txt"), payload)
    sim.note(stage="offered", delivered=delivered is not None,
             sha256=hashlib.sha256(payload).hexdigest(), size=size)

    sim.note(stage="request")
    await sim.receive_file_noted()

    sim.note(stage="end")
    sim.end("staff_end")
    await sim.until_closed()  # a correct client says nothing more and closes
