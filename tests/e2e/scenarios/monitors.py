"""The agent looks at each of the customer's monitors in turn, for the two-monitor end-to-end test.
After consent it opens the viewer and selects the monitors in the order the option `order` gives
(indexes into the "monitors" list of the request, comma-separated), waiting each time for a frame
of that monitor with a picture; every selection is noted ("selected" with the id), then the agent
ends the session."""


async def scenario(sim):
    request = await sim.handshake()
    sim.note(label=sim.connect_message.get("support_ticket"))
    ids = [monitor["id"] for monitor in request.get("monitors", [])]
    sim.session["multi_monitor"] = True
    sim.assign_agent("agent-eyes")
    if not await sim.await_consent():
        return
    sim.open_viewer()
    for index in map(int, sim.options.get("order", "1,0,1").split(",")):
        sim.select_monitor(ids[index])
        sim.note(selected=ids[index], revision=sim.session["monitor_revision"])
        await sim.until(lambda m, wanted=ids[index]: m.get("type") == "preview_frame"
                        and m.get("monitor_id") == wanted and "jpeg" in m)
        sim.session["preview_has_frame"] = True
    sim.end("staff_end")
