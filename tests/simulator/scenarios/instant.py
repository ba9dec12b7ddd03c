"""Benchmark partner: answers at once, goes active as soon as the customer consents, keeps the
viewer open and control granted, and ends after `turns` further messages (default 200)."""


async def scenario(sim):
    turns = int(sim.options.get("turns", "200"))
    await sim.handshake()
    sim.session["screen_preview"] = False  # no initial picture: measure the turn loop only
    sim.assign_agent("bench")
    await sim.await_consent()
    sim.open_viewer()
    sim.grant_control()
    for _ in range(turns):
        sim.send_inputs([{"kind": "move", "x": 32768, "y": 32768}])
        await sim.next()
    sim.end("staff_end")
