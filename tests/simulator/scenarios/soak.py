"""Soak partner: answers at once, keeps the viewer open and control granted, sends input with
every reply (a move to one of two points in turn and a Shift press), asks for every preview as a
whole picture, and moves files back to back, one to the customer (`size` bytes, a new name each
time) and one back, for `turns` client messages (default 300); then ends. A file message takes
precedence over a preview, so `gap` plain turns (default 6, more than the 500 ms between
previews) follow each round. Notes each finished transfer ("sent"/"received" with the byte
count)."""
import os


async def scenario(sim):
    turns = int(sim.options.get("turns", "300"))
    size = int(sim.options.get("size", "16384"))
    gap = int(sim.options.get("gap", "6"))
    shift = [{"kind": "key_down", "key": 0x10}, {"kind": "key_up", "key": 0x10}]
    await sim.handshake()
    sim.assign_agent("soak")
    await sim.await_consent()
    sim.open_viewer()
    sim.grant_control()

    plain_next = sim.next
    count = 0

    async def next_with_input(*types):
        nonlocal count
        count += 1
        spot = 50000 + 10000 * (count % 2)
        sim.send_inputs([{"kind": "move", "x": spot, "y": spot}] + shift)
        sim.session["preview_has_frame"] = False  # every preview a whole picture
        return await plain_next(*types)

    sim.next = next_with_input
    round_number = 0
    while count < turns:
        round_number += 1
        data = os.urandom(size)
        sent = await sim.send_file_to_customer(f"soak-{round_number}.bin", data)
        sim.note(sent=len(sent) if sent is not None else None, round=round_number)
        received = await sim.receive_file_from_customer()
        sim.note(received=len(received[1]) if received is not None else None, round=round_number)
        await sim.wait_turns(gap)
    sim.end("staff_end")
