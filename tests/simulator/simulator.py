#!/usr/bin/python3
"""Support-server simulator: the server side of a Quillory support session.

It listens on a loopback WebSocket, answers every client message with exactly one reply (the client
works in strict lock-step and the server never speaks first) and records every message in both
directions as one JSON line of a transcript. What the server does is scripted: a scenario is a
Python file with `async def scenario(sim)`, written against the `Sim` helpers below (see README.md).

The reply to a client message is built when the scenario asks for the next message, from the
session fields as the scenario left them; so a scenario reads like the agent's side of the story:

    await sim.handshake(ticket="123456")
    await sim.wait_turns(2)          # the customer waits for an agent
    sim.assign_agent("agent-7")
    await sim.await_consent()
"""

from __future__ import annotations

import argparse
import asyncio
import base64
import copy
import importlib.util
import json
import os
import signal
import ssl
import sys
import time
import uuid
from pathlib import Path
from typing import Any, Callable, Optional

import websockets

PROTOCOL_VERSION = "0.9.2"
FINAL_STATES = ("denied", "expired", "ended")
DEFAULT_WAIT = 30.0


class ScenarioError(Exception):
    """The client did something the scenario did not allow; recorded in the transcript."""


class SessionClosed(Exception):
    """The client closed the connection while the scenario waited for a message."""


class Transcript:
    """Append-only JSON-lines record shared by all connections; flushed line by line so that a
    test can read it while the simulator still runs."""

    def __init__(self, path: Optional[str]):
        self._file = open(path, "a", encoding="utf-8") if path else None
        self._start = time.monotonic()

    def now(self) -> float:
        return time.monotonic() - self._start

    def write(self, conn: int, direction: str, **fields: Any) -> None:
        entry = {"t": round(self.now(), 6), "conn": conn, "dir": direction}
        entry.update(fields)
        if self._file:
            self._file.write(json.dumps(entry, ensure_ascii=False) + "\n")
            self._file.flush()

    def close(self) -> None:
        if self._file:
            self._file.close()
            self._file = None


def default_session() -> dict:
    return {
        "state": "waiting",
        "id": "req-" + uuid.uuid4().hex[:8],
        "staff_id": "",
        "store": "",
        "ixcompany": 0,
        "consent_id": "",
        "screen_preview": True,
        "multi_monitor": False,
        "selected_monitor": "",
        "monitor_revision": 0,
        "preview_requested": False,
        "preview_has_frame": False,
        "viewer_connected": False,
        "control_id": "",
        "control_allowed": False,
        "control_generation": "",
        "control_paused": False,
        "end_reason": "",
        "file": {},
    }


class Sim:
    """One connection as the scenario sees it. `session` is the "session" object sent with every
    reply; the scenario changes it between messages (directly or with the helpers)."""

    def __init__(self, websocket, transcript: Transcript, conn: int, options: dict):
        self.options = options
        self.session = default_session()
        self.messages: list[dict] = []  # every client message of this connection, in order
        self.frames: list[dict] = []  # "preview_frame" messages
        self.initial_preview: Optional[dict] = None
        self.monitors: list = []  # the last "monitors" list the client sent
        self.connect_message: Optional[dict] = None
        self.request_message: Optional[dict] = None
        self.reply_delay = 0.0  # seconds to wait before each reply (slow-server scenarios)
        self.wait_timeout = float(options.get("wait_timeout", DEFAULT_WAIT))
        self._ws = websocket
        self._transcript = transcript
        self._conn = conn
        self._pending: Optional[dict] = None  # client message whose reply is still owed
        self._once: dict = {}  # extra top-level reply fields for the next reply only
        self._override: Optional[dict] = None  # a whole reply for the next message only
        self._counter = 0

    # ---- the message pump -------------------------------------------------------------------

    async def next(self, *types: str) -> dict:
        """Reply to the pending message, then return the next client message. With `types`,
        messages of other types are answered from the current session and skipped."""
        while True:
            await self._flush()
            msg = await self._receive()
            if not types or msg.get("type") in types:
                return msg

    async def wait_turns(self, count: int) -> None:
        for _ in range(count):
            await self.next()

    async def until(self, predicate: Callable[[dict], bool], limit: int = 1000) -> dict:
        """Answer messages until one satisfies `predicate`; fail after `limit` messages."""
        for _ in range(limit):
            msg = await self.next()
            if predicate(msg):
                return msg
        raise ScenarioError(f"condition not met within {limit} messages")

    async def until_closed(self) -> None:
        """Answer messages from the current session until the client closes the connection
        (the customer stopped support)."""
        try:
            while True:
                await self.next()
        except SessionClosed:
            self._pending = None

    def reply_once(self, **fields: Any) -> None:
        """Add top-level fields (for example "inputs", "command_error", "file_reply") to the
        next reply only."""
        self._once.update(fields)

    def send_inputs(self, inputs: list) -> None:
        self.reply_once(inputs=inputs)

    def command_error(self, text: str = "command_failed") -> None:
        self.reply_once(command_error=text)

    def error_reply(self, code: str, recoverable: bool = False, with_session: bool = False) -> None:
        """Answer the next message with an error reply instead of a normal one."""
        reply: dict = {"ok": False, "error": code}
        if recoverable:
            reply["recoverable"] = True
        if with_session:
            reply["session"] = None  # filled from the session when sent
        self._override = reply

    def note(self, **fields: Any) -> None:
        """Record something the scenario learned (a received file's size, say) for the tests."""
        self._transcript.write(self._conn, "event", event="note", **fields)

    def new_id(self, prefix: str) -> str:
        self._counter += 1
        return f"{prefix}-{self._counter}"

    # ---- the agent's side of a session ------------------------------------------------------

    async def handshake(self, ticket: Optional[str] = None, legacy: bool = False,
                        server_version: Optional[str] = PROTOCOL_VERSION) -> dict:
        """The ticket check and the support request. Returns the "request" message; its reply
        carries the session as it stands when the scenario asks for the next message."""
        expected = "connect" if legacy else "ticket_connect"
        first = await self.next()
        self.connect_message = first
        if first.get("type") != expected:
            self.error_reply("support_ticket_required")
            raise ScenarioError(f"first message is {first.get('type')!r}, expected {expected!r}")
        if ticket is not None and not legacy and first.get("support_ticket") != ticket:
            self.error_reply("invalid_support_ticket")
            raise ScenarioError(f"ticket {first.get('support_ticket')!r} refused")
        reply: dict = {"ok": True}
        if server_version is not None:
            reply["server_version"] = server_version
        self._override = reply
        request = await self.next()
        if request.get("type") != "request":
            raise ScenarioError(f"second message is {request.get('type')!r}, expected 'request'")
        self.request_message = request
        self.session["ixcompany"] = request.get("ixcompany", 0)
        self.session["store"] = request.get("store_name", "")
        return request

    def assign_agent(self, staff_id: str = "agent-7") -> str:
        self.session.update(state="awaiting_consent", staff_id=staff_id,
                            consent_id=self.new_id("consent"))
        return self.session["consent_id"]

    async def await_consent(self) -> bool:
        """Wait for the customer's answer to the support consent; approval makes the session
        active, a refusal denies it."""
        msg = await self.next("consent")
        if msg.get("consent_id") != self.session["consent_id"]:
            raise ScenarioError(f"consent for {msg.get('consent_id')!r}, "
                                f"asked {self.session['consent_id']!r}")
        approved = msg.get("approved") is True
        self.session["state"] = "active" if approved else "denied"
        return approved

    def open_viewer(self) -> None:
        self.session.update(viewer_connected=True, preview_requested=True, preview_has_frame=False)

    def close_viewer(self) -> None:
        self.session.update(viewer_connected=False, preview_requested=False,
                            preview_has_frame=False)

    async def await_frames(self, count: int) -> list[dict]:
        """Answer messages until `count` more preview frames have arrived."""
        target = len(self.frames) + count
        while len(self.frames) < target:
            await self.next()
        return self.frames[target - count:target]

    def request_control(self) -> str:
        self.session["control_id"] = self.new_id("control")
        return self.session["control_id"]

    async def await_control_consent(self) -> bool:
        """Wait for the answer to the control request; approval grants control under a new
        generation."""
        msg = await self.next("control_consent")
        if msg.get("consent_id") != self.session["control_id"]:
            raise ScenarioError(f"control consent for {msg.get('consent_id')!r}, "
                                f"asked {self.session['control_id']!r}")
        approved = msg.get("approved") is True
        self.session["control_id"] = ""
        if approved:
            self.grant_control()
        return approved

    def grant_control(self) -> str:
        self.session.update(control_allowed=True, control_generation=self.new_id("gen"))
        return self.session["control_generation"]

    def withdraw_control(self) -> None:
        self.session.update(control_allowed=False, control_generation="")

    def select_monitor(self, monitor_id: str) -> None:
        self.session["selected_monitor"] = monitor_id
        self.session["monitor_revision"] = self.session.get("monitor_revision", 0) + 1
        self.session["preview_has_frame"] = False

    def end(self, reason: str = "staff_end") -> None:
        """End the session; the reply to the next message reports it."""
        self.session.update(state="ended", end_reason=reason)

    async def send_file_to_customer(self, name: str, data: bytes,
                                    chunk_size: int = 196608) -> Optional[bytes]:
        """Offer a file to the customer and deliver it chunk by chunk on the client's requests.
        Returns the bytes delivered, or None when the customer declined or the client cancelled."""
        file_id = uuid.uuid4().hex
        self.session["file"] = {"id": file_id, "state": "awaiting_save",
                                "direction": "to_customer", "name": name, "size": len(data)}
        while True:
            msg = await self.next()
            kind = msg.get("type")
            if kind == "file_cancel":
                self.session["file"]["state"] = "cancelled"
                return None
            if kind == "file_accept":
                self.session["file"]["state"] = "delivering"
            elif kind == "file_get":
                index = msg.get("index")
                start = int(index) * chunk_size
                self.reply_once(file_reply={
                    "index": index,
                    "data": base64.b64encode(data[start:start + chunk_size]).decode("ascii")})
            elif kind == "file_done":
                self.session["file"]["state"] = "complete"
                return data

    async def receive_file_from_customer(self, name_hint: str = "") -> Optional[tuple[str, bytes]]:
        """Ask the customer for a file and collect it. Returns (name, bytes), or None when the
        customer declined or the client cancelled."""
        file_id = uuid.uuid4().hex
        self.session["file"] = {"id": file_id, "state": "awaiting_pick", "direction": "to_staff",
                                "name": name_hint, "size": 0}
        received = bytearray()
        name = ""
        chunks = 0
        while True:
            msg = await self.next()
            kind = msg.get("type")
            if kind == "file_cancel":
                self.session["file"]["state"] = "cancelled"
                return None
            if kind == "file_accept":
                name = msg.get("name", "")
                size = int(msg.get("size", 0))
                self.session["file"].update(state="staging", name=name, size=size, received=0,
                                            chunks=0)
            elif kind == "file_chunk":
                if msg.get("index") != chunks:
                    raise ScenarioError(f"chunk {msg.get('index')} sent, {chunks} expected")
                received += base64.b64decode(msg.get("data", ""), validate=True)
                chunks += 1
                self.session["file"].update(received=len(received), chunks=chunks)
            elif kind == "file_finish":
                self.session["file"]["state"] = "complete"
                return name, bytes(received)

    # ---- plumbing ---------------------------------------------------------------------------

    def _build_reply(self) -> dict:
        if self._override is not None:
            reply = self._override
            self._override = None
            if "session" in reply:
                reply["session"] = copy.deepcopy(self.session)
        else:
            reply = {"ok": True, "session": copy.deepcopy(self.session)}
        reply.update(self._once)
        self._once = {}
        return reply

    async def _flush(self) -> None:
        if self._pending is None:
            return
        self._pending = None
        reply = self._build_reply()
        if self.reply_delay > 0:
            await asyncio.sleep(self.reply_delay)
        self._transcript.write(self._conn, "server", msg=reply)
        await self._ws.send(json.dumps(reply))

    async def _receive(self) -> dict:
        try:
            raw = await asyncio.wait_for(self._ws.recv(), timeout=self.wait_timeout)
        except asyncio.TimeoutError as exc:
            raise ScenarioError(f"no client message within {self.wait_timeout} s") from exc
        except websockets.ConnectionClosed as exc:
            raise SessionClosed() from exc
        if isinstance(raw, bytes):
            self._transcript.write(self._conn, "client", binary=len(raw))
            self.error_reply("unsupported_message")
            self._pending = {}
            raise ScenarioError("binary message from the client")
        try:
            msg = json.loads(raw)
        except ValueError:
            msg = None
        if not isinstance(msg, dict):
            self._transcript.write(self._conn, "client", raw=raw)
            self.error_reply("invalid_json")
            self._pending = {}
            raise ScenarioError("client message is not a JSON object")
        self._transcript.write(self._conn, "client", msg=msg)
        self._pending = msg
        self._observe(msg)
        return msg

    def _observe(self, msg: dict) -> None:
        """Bookkeeping that every scenario wants: frames, monitors, what the viewer holds."""
        self.messages.append(msg)
        if "monitors" in msg:
            self.monitors = msg["monitors"]
        kind = msg.get("type")
        if kind == "initial_preview":
            self.initial_preview = msg
        elif kind == "preview_frame":
            self.frames.append(msg)
            if msg.get("jpeg"):
                self.session["preview_has_frame"] = True
            elif msg.get("capture_error"):
                self.session["preview_has_frame"] = False

    async def finish(self) -> None:
        """After the scenario: send the last owed reply, then record anything the client still
        sends (a correct client sends nothing after a final state) until it closes."""
        await self._flush()
        while True:
            try:
                raw = await asyncio.wait_for(self._ws.recv(), timeout=self.wait_timeout)
            except (asyncio.TimeoutError, websockets.ConnectionClosed):
                return
            try:
                msg = json.loads(raw)
            except (ValueError, TypeError):
                msg = {"raw": str(raw)}
            self._transcript.write(self._conn, "client", msg=msg, after_end=True)
            reply = {"ok": False, "error": "session_over"}
            self._transcript.write(self._conn, "server", msg=reply)
            await self._ws.send(json.dumps(reply))


def load_scenario(path: str) -> Callable:
    found = importlib.util.spec_from_file_location("quillory_scenario", path)
    if found is None or found.loader is None:
        raise SystemExit(f"cannot load scenario {path}")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    if not hasattr(module, "scenario"):
        raise SystemExit(f"{path} has no 'async def scenario(sim)'")
    return module.scenario


class Server:
    def __init__(self, scenario: Callable, transcript: Transcript, options: dict,
                 connections: int):
        self.scenario = scenario
        self.transcript = transcript
        self.options = options
        self.connections_left = connections  # 0 = serve until stopped
        self.failures = 0
        self.done = asyncio.Event()
        self._count = 0

    async def handle(self, websocket, path: str = "") -> None:
        self._count += 1
        conn = self._count
        headers = websocket.request_headers
        self.transcript.write(conn, "event", event="open", path=websocket.path,
                              user_agent=headers.get("User-Agent", ""))
        sim = Sim(websocket, self.transcript, conn, self.options)
        try:
            await self.scenario(sim)
            self.transcript.write(conn, "event", event="scenario_done")
            await sim.finish()
        except SessionClosed:
            self.failures += 1
            self.transcript.write(conn, "event", event="scenario_error",
                                  error="the client closed the connection before the scenario ended")
        except ScenarioError as exc:
            self.failures += 1
            self.transcript.write(conn, "event", event="scenario_error", error=str(exc))
            try:
                await sim._flush()  # the owed reply (an error reply where one was set)
            except websockets.ConnectionClosed:
                pass
        except Exception as exc:  # a bug in the scenario: record it rather than die silently
            self.failures += 1
            self.transcript.write(conn, "event", event="scenario_error",
                                  error=f"{type(exc).__name__}: {exc}")
        finally:
            await websocket.close()
            self.transcript.write(conn, "event", event="closed")
            if self.connections_left > 0:
                self.connections_left -= 1
                if self.connections_left == 0:
                    self.done.set()


def write_port_file(path: str, port: int) -> None:
    # Written whole and then renamed, so a waiting test never reads half a number.
    tmp = f"{path}.{os.getpid()}.tmp"
    with open(tmp, "w", encoding="ascii") as handle:
        handle.write(f"{port}\n")
    os.replace(tmp, path)


async def serve(args: argparse.Namespace) -> int:
    options = dict(item.split("=", 1) for item in args.set)
    transcript = Transcript(args.transcript)
    server = Server(load_scenario(args.scenario), transcript, options, args.connections)
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, server.done.set)
    tls = None
    if args.tls_cert:
        tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls.load_cert_chain(args.tls_cert, args.tls_key)
    async with websockets.serve(server.handle, args.host, args.port, compression=None,
                                ping_interval=None, max_size=4 * 1024 * 1024,
                                ssl=tls) as ws_server:
        port = ws_server.sockets[0].getsockname()[1]
        transcript.write(0, "event", event="listening", port=port)
        if args.port_file:
            write_port_file(args.port_file, port)
        await server.done.wait()
    transcript.close()
    return 1 if server.failures else 0


def main(argv: Optional[list[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--scenario", required=True, help="scenario file (async def scenario(sim))")
    parser.add_argument("--transcript", help="JSON-lines file every message is appended to")
    parser.add_argument("--port-file", help="file the chosen port is written to once listening")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0, help="0 (default) picks a free port")
    parser.add_argument("--connections", type=int, default=0,
                        help="exit after this many connections ended (0: run until stopped)")
    parser.add_argument("--set", action="append", default=[], metavar="KEY=VALUE",
                        help="scenario option, read as sim.options[KEY]")
    parser.add_argument("--tls-cert", help="serve wss with this PEM certificate (chain)")
    parser.add_argument("--tls-key", help="the PEM private key of --tls-cert")
    args = parser.parse_args(argv)
    if bool(args.tls_cert) != bool(args.tls_key):
        parser.error("--tls-cert and --tls-key go together")
    for item in args.set:
        if "=" not in item:
            parser.error(f"--set needs KEY=VALUE, got {item!r}")
    return asyncio.run(serve(args))


if __name__ == "__main__":
    sys.exit(main())
