"""The ticket check fails: the first reply is the "invalid_support_ticket" error."""


async def scenario(sim):
    first = await sim.next()
    sim.error_reply("invalid_support_ticket")
    sim.connect_message = first
