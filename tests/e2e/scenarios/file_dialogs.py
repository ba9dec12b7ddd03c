"""The agent's side for the file-dialog tests: files both ways, chosen in the real Open and Save
dialogs. The second digit of the ticket picks the story (the first is always 6):

  60  offer report.bin (300000 bytes), offer declined.txt, ask for a file, ask again, then offer
      big.bin and hold the download after its first chunk until the customer stops support
  61  ask for a file and hold the upload after its first chunk until the customer stops support

Every step is a note ({"stage": ...}); a finished transfer notes its size and SHA-256.
"""

import base64
import hashlib
import uuid

CHUNK = 196608


def payload(size, seed):
    return bytes((i * seed + i // 251) % 256 for i in range(size))


async def offer(sim, name, size, seed):
    data = payload(size, seed)
    delivered = await sim.send_file_to_customer(name, data)
    sim.note(stage="offered", name=name, delivered=delivered is not None, size=size,
             sha256=hashlib.sha256(data).hexdigest())


async def ask(sim):
    await sim.receive_file_noted()


async def held_download(sim, name, size):
    """Delivers the first chunk, then answers every further request without data: the transfer
    stays under way for as long as the customer lets it."""
    data = payload(size, 3)
    sim.session["file"] = {"id": uuid.uuid4().hex, "state": "awaiting_save",
                           "direction": "to_customer", "name": name, "size": size}
    while True:
        msg = await sim.next()
        if msg.get("type") == "file_accept":
            sim.session["file"]["state"] = "delivering"
        elif msg.get("type") == "file_get":
            if msg.get("index") == 0:
                sim.reply_once(file_reply={
                    "index": 0, "data": base64.b64encode(data[:CHUNK]).decode("ascii")})
            elif msg.get("index") == 1:
                sim.note(stage="holding", toward="to_customer")
                await sim.until_closed()
                return


async def held_upload(sim):
    """Takes the first chunk, then keeps asking for the second without counting it."""
    sim.session["file"] = {"id": uuid.uuid4().hex, "state": "awaiting_pick",
                           "direction": "to_staff", "name": "", "size": 0}
    while True:
        msg = await sim.next()
        if msg.get("type") == "file_accept":
            sim.session["file"].update(state="staging", name=msg.get("name", ""),
                                       size=int(msg.get("size", 0)), received=0, chunks=0)
        elif msg.get("type") == "file_chunk" and msg.get("index") == 0:
            received = len(base64.b64decode(msg.get("data", "")))
            sim.session["file"].update(received=received, chunks=1)
            sim.note(stage="holding", toward="to_staff", received=received)
            await sim.until_closed()
            return


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
        await held_upload(sim)
        return
    await offer(sim, "report.bin", 300000, 7)
    await offer(sim, "declined.txt", 1000, 5)
    await ask(sim)
    await ask(sim)
    await held_download(sim, "big.bin", 3 * CHUNK)
