"""Self-test: the simulator drives whole scenarios against a small scripted Python client."""

import asyncio
import base64
import hashlib
import json
import subprocess
import sys
import time
from pathlib import Path

import pytest
import websockets

HERE = Path(__file__).resolve().parent
SCENARIOS = HERE / "scenarios"


class Simulator:
    def __init__(self, tmp_path: Path, scenario: str, *options: str):
        self.port_file = tmp_path / "port"
        self.transcript = tmp_path / "transcript.jsonl"
        args = [sys.executable, str(HERE / "simulator.py"), "--scenario", str(SCENARIOS / scenario),
                "--port-file", str(self.port_file), "--transcript", str(self.transcript),
                "--connections", "1", "--set", "wait_timeout=20"]
        for option in options:
            args += ["--set", option]
        self.process = subprocess.Popen(args)
        deadline = time.monotonic() + 30
        while not self.port_file.exists():
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("simulator did not start")
            time.sleep(0.05)
        self.url = f"ws://127.0.0.1:{int(self.port_file.read_text())}/client"

    def wait(self) -> int:
        return self.process.wait(timeout=30)

    def stop(self) -> None:
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(timeout=30)

    def entries(self) -> list:
        return [json.loads(line) for line in self.transcript.read_text().splitlines()]

    def client_types(self) -> list:
        return [e["msg"].get("type") for e in self.entries() if e["dir"] == "client"]

    def events(self) -> list:
        return [e["event"] for e in self.entries() if e["dir"] == "event"]


@pytest.fixture
def simulator(tmp_path):
    started = []

    def start(scenario, *options):
        sim = Simulator(tmp_path, scenario, *options)
        started.append(sim)
        return sim

    yield start
    for sim in started:
        sim.stop()


class Client:
    """Plays the customer's side the way the real client does: one message, one reply."""

    def __init__(self, ws):
        self.ws = ws
        self.replies = []

    async def send(self, msg: dict) -> dict:
        await self.ws.send(json.dumps(msg))
        reply = json.loads(await asyncio.wait_for(self.ws.recv(), timeout=20))
        self.replies.append(reply)
        return reply

    async def open(self, ticket="123456") -> dict:
        first = await self.send({"type": "ticket_connect", "support_ticket": ticket,
                                 "ixcompany": 1, "device_id": "0" * 32, "token": "1" * 64})
        assert first == {"ok": True, "server_version": "0.9.2"}
        return await self.send({"type": "request", "ixcompany": 1, "screen_preview": True,
                                "monitors": [{"id": "D1", "x": 0, "y": 0, "width": 640,
                                              "height": 480, "primary": True}]})

    async def run_turns(self, reply: dict, on_turn, limit: int = 200) -> dict:
        for _ in range(limit):
            if reply["session"]["state"] in ("ended", "denied", "expired"):
                return reply
            reply = await self.send(on_turn(reply))
        raise AssertionError("session did not end")


def run(coro):
    return asyncio.run(coro)


def test_full_session_records_every_message_in_order(simulator):
    sim = simulator("full_session.py", "frames=2", "input_turns=2")
    inputs_seen = []

    def customer(reply):
        session = reply["session"]
        inputs_seen.extend(reply.get("inputs", []))
        if session["state"] == "awaiting_consent":
            return {"type": "consent", "consent_id": session["consent_id"], "approved": True,
                    "input_approved": True}
        if session["control_id"]:
            return {"type": "control_consent", "consent_id": session["control_id"],
                    "approved": True}
        if session["preview_requested"]:
            return {"type": "preview_frame", "monitor_id": "", "monitor_revision": 0,
                    "capture_error": "", "width": 2, "height": 2, "unchanged": False,
                    "jpeg": base64.b64encode(b"jpeg").decode()}
        return {"type": "status"}

    async def session():
        async with websockets.connect(sim.url) as ws:
            client = Client(ws)
            reply = await client.open()
            assert reply["session"]["state"] == "waiting"
            assert reply["session"]["screen_preview"] is True
            reply = await client.send({"type": "initial_preview", "monitor_id": "",
                                       "monitor_revision": 0, "capture_error": "capture_unavailable"})
            last = await client.run_turns(reply, customer)
            assert last["session"]["end_reason"] == "staff_end"
            assert all(r["ok"] for r in client.replies)

    run(session())
    assert sim.wait() == 0
    types = sim.client_types()
    assert types[:4] == ["ticket_connect", "request", "initial_preview", "status"]
    assert types.count("consent") == 1 and types.count("control_consent") == 1
    assert types.index("consent") < types.index("preview_frame") < types.index("control_consent")
    assert types.count("preview_frame") >= 2
    assert inputs_seen == [{"kind": "move", "x": 1000, "y": 2000},
                           {"kind": "move", "x": 2000, "y": 2000}]
    events = sim.events()
    assert events[0] == "listening" and events[1] == "open"
    assert "scenario_done" in events and "scenario_error" not in events
    times = [e["t"] for e in sim.entries()]
    assert times == sorted(times)
    open_event = next(e for e in sim.entries() if e.get("event") == "open")
    assert open_event["path"] == "/client"


def test_wrong_ticket_gets_the_error_reply_and_is_recorded(simulator):
    sim = simulator("full_session.py", "ticket=654321")

    async def session():
        async with websockets.connect(sim.url) as ws:
            reply = await Client(ws).send({"type": "ticket_connect", "support_ticket": "123456"})
            assert reply == {"ok": False, "error": "invalid_support_ticket"}

    run(session())
    assert sim.wait() == 1
    errors = [e for e in sim.entries() if e.get("event") == "scenario_error"]
    assert len(errors) == 1 and "refused" in errors[0]["error"]


def test_files_travel_both_ways_in_chunks(simulator):
    sim = simulator("file_transfers.py", "size=300000")
    downloaded = bytearray()
    upload = bytes(range(256)) * 1000  # 256000 bytes: two chunks of at most 196608

    def customer(reply):
        session = reply["session"]
        file = session["file"]
        if session["state"] == "awaiting_consent":
            return {"type": "consent", "consent_id": session["consent_id"], "approved": True,
                    "input_approved": True}
        if file.get("state") in ("awaiting_save", "awaiting_pick"):
            msg = {"type": "file_accept", "transfer_id": file["id"]}
            if file["direction"] == "to_staff":
                msg.update(name="up.bin", size=len(upload))
            return msg
        if file.get("state") == "delivering":
            piece = reply.get("file_reply", {})
            if "data" in piece:
                downloaded.extend(base64.b64decode(piece["data"]))
            if len(downloaded) == file["size"]:
                return {"type": "file_done", "transfer_id": file["id"]}
            return {"type": "file_get", "transfer_id": file["id"],
                    "index": 0 if not piece else piece["index"] + 1}
        if file.get("state") == "staging":
            offset = file["received"]
            if offset == len(upload):
                return {"type": "file_finish", "transfer_id": file["id"]}
            chunk = upload[offset:offset + 196608]
            return {"type": "file_chunk", "transfer_id": file["id"], "index": file["chunks"],
                    "data": base64.b64encode(chunk).decode()}
        return {"type": "status"}

    async def session():
        async with websockets.connect(sim.url) as ws:
            client = Client(ws)
            reply = await client.open()
            await client.run_turns(reply, customer)

    run(session())
    assert sim.wait() == 0
    assert bytes(downloaded) == bytes(i % 251 for i in range(300000))
    types = sim.client_types()
    assert types.count("file_get") == 2 and types.count("file_chunk") == 2
    assert types.index("file_done") < types.index("file_finish")
    notes = {k: v for e in sim.entries() if e.get("event") == "note" for k, v in e.items()}
    assert notes["delivered"] is True
    assert notes["received_name"] == "up.bin" and notes["received_size"] == len(upload)
    assert notes["received_sha256"] == hashlib.sha256(upload).hexdigest()
