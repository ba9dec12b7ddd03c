"""The agent's hands on the customer's desktop, for the remote-control end-to-end test. The test
moves the agent on with gate files "<ticket>-<step>" in the folder --set gates=DIR, and gives the
point to click as --set x=N --set y=N (normalised to the selected monitor).

  active, no control     every reply carries a click and the key A            until gate "control"
  control asked          the same, every reply, until the customer answers
  control approved       a click in every reply until gate "typing", then B down and up and
                         C down (a key held down) in every reply until gate "withdraw"
  control withdrawn      every reply carries a click and the key D            until gate "end"

With gate "flood" open before "typing", the approved agent instead sends, in every reply, one batch
of thousands of E presses and releases (about 320 KB, parsed well within the 750 ms a reply has
for its input to run), until the customer stops support.

Batches repeat because the client drops the input of a turn whose reply came late (750 ms), which
a busy machine can cause.
The phases are noted in the transcript (note "phase").
"""

from pathlib import Path


def gate(sim, name):
    return Path(sim.options["gates"]) / f"{sim.label}-{name}"


async def batches_until(sim, name, inputs):
    """Sends `inputs` with every reply until the test opens the gate."""
    while not gate(sim, name).exists():
        if inputs:
            sim.send_inputs(inputs)
        await sim.next()


def key(vk, down):
    return {"kind": "key_down" if down else "key_up", "key": vk}


async def scenario(sim):
    await sim.handshake()
    sim.label = sim.connect_message.get("support_ticket") or "legacy"
    sim.note(label=sim.label)
    x, y = int(sim.options["x"]), int(sim.options["y"])
    click = [{"kind": "move", "x": x, "y": y}, {"kind": "down", "x": x, "y": y, "button": 0},
             {"kind": "up", "x": x, "y": y, "button": 0}]

    sim.assign_agent("agent-hands")
    if not await sim.await_consent():
        return
    sim.open_viewer()  # the agent watches: input runs only while previews are asked for
    sim.note(phase="active")
    await batches_until(sim, "control", click + [key(0x41, True), key(0x41, False)])

    sim.request_control()
    sim.note(phase="asked")
    while True:
        sim.send_inputs(click + [key(0x41, True), key(0x41, False)])
        answer = await sim.next()
        if answer.get("type") == "control_consent":
            break
    sim.session["control_id"] = ""
    if answer.get("approved") is not True:
        return
    sim.grant_control()
    sim.note(phase="granted")
    if gate(sim, "flood").exists():
        flood = [key(0x45, down) for _ in range(5400) for down in (True, False)]
        sim.note(phase="flood")
        # The click brings the recorder to the front, where the keys go.
        await batches_until(sim, "never", click + flood)  # the customer's Stop Support ends it
        return
    await batches_until(sim, "typing", click)
    await batches_until(sim, "withdraw", [key(0x42, True), key(0x42, False), key(0x43, True)])

    sim.withdraw_control()
    sim.note(phase="withdrawn")
    await batches_until(sim, "end", click + [key(0x44, True), key(0x44, False)])
    sim.end("staff_end")
