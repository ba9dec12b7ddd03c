"""A whole support session: ticket, waiting, agent, consent, previews, remote control, agent ends.

Options (--set KEY=VALUE): ticket (default 123456), frames (previews to view, default 3),
input_turns (replies that carry input, default 3).
"""


async def scenario(sim):
    ticket = sim.options.get("ticket", "123456")
    frames = int(sim.options.get("frames", "3"))
    input_turns = int(sim.options.get("input_turns", "3"))

    await sim.handshake(ticket=ticket)  # the request reply offers screen preview: initial picture
    await sim.next("initial_preview")
    await sim.wait_turns(2)  # no agent yet

    sim.assign_agent("agent-7")
    if not await sim.await_consent():
        return  # denied: the next reply tells the client

    sim.open_viewer()
    await sim.await_frames(frames)

    sim.request_control()
    if await sim.await_control_consent():
        for step in range(input_turns):
            sim.send_inputs([{"kind": "move", "x": 1000 * (step + 1), "y": 2000}])
            await sim.next()

    sim.end("staff_end")
