"""Self-test: what the client under test never does, and the simulator must still get right (the
end-to-end runs show the rest). Each case is a scripted client's exchange with one scenario."""

import asyncio
import base64
import json
import random

import pytest
import websockets

from simulator import PROTOCOL_VERSION, Server

CONNECT = {"type": "ticket_connect", "support_ticket": "123456"}
UPLOAD = {"type": "file_accept", "name": "up.bin", "size": 3}
CASES = {  # scenario and options, then (client message, what the reply holds), then the error
    "a wrong ticket is refused": (
        ["full_session.py", "ticket=654321"],
        [(CONNECT, {"ok": False, "error": "invalid_support_ticket"})], "ticket '123456' refused"),
    "a message that is no JSON object": (
        ["full_session.py"], [("[1]", {"ok": False, "error": "invalid_json"})],
        "client message is not a JSON object"),
    "the client speaks after the final state": (
        ["refused_ticket.py"], [(CONNECT, {"ok": False, "error": "invalid_support_ticket"}),
                                ({"type": "status"}, {"ok": False, "error": "session_over"})], None),
    "files in chunks, and a chunk out of order": (
        ["large_files.py", "size=3"],
        [(CONNECT, {"ok": True, "server_version": PROTOCOL_VERSION}),
         ({"type": "request"}, {"session": {"state": "awaiting_consent", "consent_id": "consent-1"}}),
         ({"type": "consent", "consent_id": "consent-1", "approved": True},
          {"session": {"state": "active", "file": {"state": "awaiting_save", "size": 3}}}),
         ({"type": "file_accept"}, {"session": {"file": {"state": "delivering"}}}),
         ({"type": "file_get", "index": 0}, {"file_reply": {"index": 0, "data": base64.b64encode(
             random.Random(3).randbytes(3)).decode()}}),
         ({"type": "file_done"}, {"session": {"file": {"state": "awaiting_pick"}}}),
         (UPLOAD, {"session": {"file": {"state": "staging", "name": "up.bin", "chunks": 0}}}),
         ({"type": "file_chunk", "index": 0, "data": "AAEC"},
          {"session": {"file": {"received": 3, "chunks": 1}}}),
         ({"type": "file_chunk", "index": 2, "data": ""}, {"ok": True}),
         ], "chunk 2 sent, 1 expected"),
}


def holds(actual, expected) -> bool:
    if isinstance(expected, dict):
        return isinstance(actual, dict) and all(holds(actual.get(k), v) for k, v in expected.items())
    return actual == expected


@pytest.mark.parametrize("case", CASES)
def test_protocol(tmp_path, case):
    (scenario, *options), exchanges, error = CASES[case]
    server = Server(tmp_path, scenario, dict(option.split("=") for option in options), 1)

    async def client():
        async with websockets.connect(server.url) as ws:
            for message, expected in exchanges:
                await ws.send(message if isinstance(message, str) else json.dumps(message))
                reply = json.loads(await asyncio.wait_for(ws.recv(), timeout=20))
                assert holds(reply, expected), (message, reply)

    try:
        asyncio.run(client())
    finally:
        code = server.stop(30)
    entries = server.entries()
    talk = [e.get("msg", e.get("raw")) for e in entries if e["dir"] in ("client", "server")]
    assert talk[::2] == [m for m, _ in exchanges]  # recorded as sent, in order
    after_end = [e["msg"] for e in entries if e.get("after_end")]
    assert after_end == ([{"type": "status"}] if "final" in case else [])
    errors = [e["error"] for e in entries if e.get("event") == "scenario_error"]
    assert errors == ([error] if error else [])
    assert code == (1 if error else 0)
