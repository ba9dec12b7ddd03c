"""The agent's side for the file-dialog tests: files both ways, chosen in the real Open and Save
dialogs. The second digit of the ticket picks the story (the first is always 6):

  60  offer report.bin (300000 bytes), offer declined.txt, ask for a file, ask again, then offer
      big.bin and hold the download after its first chunk until the customer stops support
  61  ask for a file and hold the upload after its first chunk until the customer stops support

Every step is a note ({"stage": ...}); a finished transfer notes its size and SHA-256.
"""

import hashlib

CHUNK = 196608


def payload(size, seed):
    return bytes((i * seed + i // 251) % 256 for i in range(size))


async def offer(sim, name, size, seed):
    data = payload(size, seed)
    delivered = await sim.send_file_to_customer(name, data)
    sim.note(stage="offered", name=name, delivered=delivered is not None, size=size,
             sha256=hashlib.sha256(data).hexdigest())


async def scenario(sim):
    request = await sim.handshake()
    story = sim.connect_message.get("support_ticket", "")[:2]
    sim.note(label=sim.connect_message.get("support_ticket"), story=story)
    sim.session["screen_preview"] = False
    sim.assign_agent("agent-files")
    sim.note(stage="consent", monitors=len(request.get("monitors", [])))
    if not await sim.await_consent():
        return
    if story == "61":
        await sim.receive_file_from_customer(hold=True)
        return
    await offer(sim, "report.bin", 300000, 7)
    await offer(sim, "declined.txt", 1000, 5)
    await sim.receive_file_noted()
    await sim.receive_file_noted()
    await sim.send_file_to_customer("big.bin", payload(3 * CHUNK, 3), CHUNK, hold=True)
