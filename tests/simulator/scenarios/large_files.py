"""After consent the agent sends the customer a large file, then asks for one back, then ends: the
file-transfer integration test. Records, for each direction, the SHA-256 and size of what crossed,
the seconds from the offer to the last message of the transfer, the chunks and the client
messages it took.

Options: size (bytes sent to the customer, default 209715200: the largest file).
"""

import hashlib
import random
import time


async def scenario(sim):
    size = int(sim.options.get("size", "209715200"))
    await sim.handshake()
    sim.session["screen_preview"] = False
    sim.assign_agent("agent-files")
    if not await sim.await_consent():
        return
    payload = random.Random(size).randbytes(size)
    sim.note(sent_size=size, sent_sha256=hashlib.sha256(payload).hexdigest())

    start, messages = time.monotonic(), len(sim.messages)
    delivered = await sim.send_file_to_customer("large.bin", payload)
    sim.note(to_customer_done=delivered is not None,
             to_customer_seconds=time.monotonic() - start,
             to_customer_chunks=sum(1 for m in sim.messages[messages:] if m.get("type") == "file_get"),
             to_customer_messages=len(sim.messages) - messages)
    del payload, delivered

    start, messages = time.monotonic(), len(sim.messages)
    received = await sim.receive_file_from_customer()
    note = {"to_staff_done": received is not None,
            "to_staff_seconds": time.monotonic() - start,
            "to_staff_chunks": sum(1 for m in sim.messages[messages:] if m.get("type") == "file_chunk"),
            "to_staff_messages": len(sim.messages) - messages}
    if received is not None:
        name, data = received
        note.update(received_name=name, received_size=len(data),
                    received_sha256=hashlib.sha256(data).hexdigest())
    sim.note(**note)
    sim.end("staff_end")
