"""After consent the agent sends the customer a file, then asks for one back, then ends.

Options: size (bytes of the file sent to the customer, default 300000: two chunks).
"""

import hashlib


async def scenario(sim):
    size = int(sim.options.get("size", "300000"))
    await sim.handshake()
    sim.session["screen_preview"] = False
    sim.assign_agent("agent-files")
    if not await sim.await_consent():
        return
    payload = bytes(i % 251 for i in range(size))
    delivered = await sim.send_file_to_customer("notes.bin", payload)
    sim.note(delivered=delivered is not None)
    received = await sim.receive_file_from_customer()
    if received is not None:
        name, data = received
        sim.note(received_name=name, received_size=len(data),
                 received_sha256=hashlib.sha256(data).hexdigest())
    sim.end("staff_end")
