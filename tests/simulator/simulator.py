#!/usr/bin/python3
"""Support-server simulator: the server side of a Quillory support session.

It listens on a loopback WebSocket, answers every client message with exactly one reply (the client
works in strict lock-step and the server never speaks first) and records every message both ways
as one JSON line of a transcript. A scenario (a Python file with `async def scenario(sim)`) plays
the agent with the `Sim` helpers below; see README.md. The reply to a client message is built when
the scenario asks for the next message, from the session fields as the scenario left them.
"""

import argparse
import asyncio
import base64
import copy
import hashlib
import importlib.util
import json
import os
import re
import signal
import ssl
import subprocess
import sys
import time
import uuid
from pathlib import Path
from typing import Any, Callable, Optional

import websockets

# The simulator speaks the protocol version of the client it is built with.
PROTOCOL_VERSION = re.search(
    r'kProtocolVersion = u"([^"]+)"',
    (Path(__file__).resolve().parents[2] / "src/session/protocol_version.h").read_text()).group(1)
SCENARIOS = Path(__file__).resolve().parent / "scenarios"


class ScenarioError(Exception):
    """The client did something the scenario did not allow; recorded in the transcript."""


class SessionClosed(Exception):
    """The client closed the connection while the scenario waited for a message."""


class Transcript:
    """Shared by all connections; flushed line by line, since tests read it while we run."""

    def __init__(self, path: Optional[str]):
        self._file = open(path, "a", encoding="utf-8") if path else None
        self._start = time.monotonic()

    def write(self, conn: int, direction: str, **fields: Any) -> None:
        if self._file:
            entry = {"t": round(time.monotonic() - self._start, 6), "conn": conn, "dir": direction}
            self._file.write(json.dumps({**entry, **fields}, ensure_ascii=False) + "\n")
            self._file.flush()


def default_session() -> dict:
    return {"state": "waiting", "id": "req-" + uuid.uuid4().hex[:8], "staff_id": "", "store": "",
            "ixcompany": 0, "consent_id": "", "screen_preview": True, "multi_monitor": False,
            "selected_monitor": "", "monitor_revision": 0, "preview_requested": False,
            "preview_has_frame": False, "viewer_connected": False, "control_id": "",
            "control_allowed": False, "control_generation": "", "control_paused": False,
            "end_reason": "", "file": {}}


class Sim:
    """One connection as the scenario sees it. `session` is the "session" object of every reply;
    the scenario changes it between messages, directly or with the helpers."""

    def __init__(self, websocket, transcript: Transcript, conn: int, options: dict):
        self.options = options
        self.session = default_session()
        self.messages: list[dict] = []  # every client message of this connection, in order
        self.frames: list[dict] = []  # the "preview_frame" messages
        self.connect_message: Optional[dict] = None
        self.request_message: Optional[dict] = None
        self.wait_timeout = float(options.get("wait_timeout", 30))
        self._ws, self._transcript, self._conn = websocket, transcript, conn
        self._pending: Optional[dict] = None  # the client message whose reply is still owed
        self._once: dict = {}  # top-level fields for the next reply only
        self._override: Optional[dict] = None  # a whole reply for the next message only
        self._counter = 0

    # ---- the message pump ----

    async def next(self, *types: str) -> dict:
        """Replies to the pending message and returns the next client message; with `types`,
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
        for _ in range(limit):
            msg = await self.next()
            if predicate(msg):
                return msg
        raise ScenarioError(f"condition not met within {limit} messages")

    async def until_closed(self) -> None:
        """Answers until the client closes the connection (the customer stopped support)."""
        try:
            while True:
                await self.next()
        except SessionClosed:
            self._pending = None

    def reply_once(self, **fields: Any) -> None:
        self._once.update(fields)

    def send_inputs(self, inputs: list) -> None:
        self.reply_once(inputs=inputs)

    def error_reply(self, code: str) -> None:
        self._override = {"ok": False, "error": code}

    def note(self, **fields: Any) -> None:
        """Records something the scenario learned, for the tests."""
        self._transcript.write(self._conn, "event", event="note", **fields)

    def _new_id(self, prefix: str) -> str:
        self._counter += 1
        return f"{prefix}-{self._counter}"

    # ---- the agent's side ----

    async def handshake(self, ticket: Optional[str] = None) -> dict:
        """The ticket check and the support request; returns the "request" message."""
        first = self.connect_message = await self.next()
        if first.get("type") != "ticket_connect":
            self.error_reply("support_ticket_required")
            raise ScenarioError(f"first message is {first.get('type')!r}")
        if ticket is not None and first.get("support_ticket") != ticket:
            self.error_reply("invalid_support_ticket")
            raise ScenarioError(f"ticket {first.get('support_ticket')!r} refused")
        self._override = {"ok": True, "server_version": PROTOCOL_VERSION}
        request = self.request_message = await self.next()
        if request.get("type") != "request":
            raise ScenarioError(f"second message is {request.get('type')!r}")
        self.session.update(ixcompany=request.get("ixcompany", 0),
                            store=request.get("store_name", ""))
        return request

    def assign_agent(self, staff_id: str = "agent-7") -> str:
        self.session.update(state="awaiting_consent", staff_id=staff_id,
                            consent_id=self._new_id("consent"))
        return self.session["consent_id"]

    async def _answer(self, kind: str, asked: str) -> bool:
        msg = await self.next(kind)
        if msg.get("consent_id") != self.session[asked]:
            raise ScenarioError(f"{kind} for {msg.get('consent_id')!r}, asked "
                                f"{self.session[asked]!r}")
        return msg.get("approved") is True

    async def await_consent(self) -> bool:
        """The customer's answer: approval makes the session active, a refusal denies it."""
        approved = await self._answer("consent", "consent_id")
        self.session["state"] = "active" if approved else "denied"
        return approved

    def open_viewer(self) -> None:
        self.session.update(viewer_connected=True, preview_requested=True, preview_has_frame=False)

    async def await_frames(self, count: int) -> list[dict]:
        target = len(self.frames) + count
        while len(self.frames) < target:
            await self.next()
        return self.frames[target - count:target]

    def request_control(self) -> str:
        self.session["control_id"] = self._new_id("control")
        return self.session["control_id"]

    async def await_control_consent(self) -> bool:
        """The answer to the control request: approval grants control under a new generation."""
        approved = await self._answer("control_consent", "control_id")
        self.session["control_id"] = ""
        if approved:
            self.grant_control()
        return approved

    def grant_control(self) -> str:
        self.session.update(control_allowed=True, control_generation=self._new_id("gen"))
        return self.session["control_generation"]

    def withdraw_control(self) -> None:
        self.session.update(control_allowed=False, control_generation="")

    def select_monitor(self, monitor_id: str) -> None:
        self.session.update(selected_monitor=monitor_id, preview_has_frame=False,
                            monitor_revision=self.session["monitor_revision"] + 1)

    def end(self, reason: str = "staff_end") -> None:
        self.session.update(state="ended", end_reason=reason)

    async def send_file_to_customer(self, name: str, data: bytes, chunk_size: int = 196608,
                                    hold: bool = False) -> Optional[bytes]:
        """Offers a file and delivers it as the client asks; the bytes, or None when declined.
        With `hold`, the first chunk only, then nothing more until the client closes (noted as
        stage "holding")."""
        file = self.session["file"] = {"id": uuid.uuid4().hex, "state": "awaiting_save",
                                       "direction": "to_customer", "name": name,
                                       "size": len(data)}
        while True:
            msg = await self.next()
            kind = msg.get("type")
            if kind == "file_cancel":
                file["state"] = "cancelled"
                return None
            if kind == "file_accept":
                file["state"] = "delivering"
            elif kind == "file_get" and hold and msg.get("index") != 0:
                return await self._hold(toward="to_customer")
            elif kind == "file_get":
                start = int(msg.get("index")) * chunk_size
                self.reply_once(file_reply={"index": msg.get("index"), "data": base64.b64encode(
                    data[start:start + chunk_size]).decode("ascii")})
            elif kind == "file_done":
                file["state"] = "complete"
                return data

    async def _hold(self, **fields: Any) -> None:
        self.note(stage="holding", **fields)
        await self.until_closed()

    async def receive_file_from_customer(self, hold: bool = False
                                         ) -> Optional[tuple[str, bytes]]:
        """Asks for a file and collects it; (name, bytes), or None when declined. With `hold`,
        the first chunk only, as send_file_to_customer."""
        file = self.session["file"] = {"id": uuid.uuid4().hex, "state": "awaiting_pick",
                                       "direction": "to_staff", "name": "", "size": 0}
        received = bytearray()
        while True:
            msg = await self.next()
            kind = msg.get("type")
            if kind == "file_cancel":
                file["state"] = "cancelled"
                return None
            if kind == "file_accept":
                file.update(state="staging", name=msg.get("name", ""),
                            size=int(msg.get("size", 0)), received=0, chunks=0)
            elif kind == "file_chunk":
                if msg.get("index") != file["chunks"]:
                    raise ScenarioError(f"chunk {msg.get('index')} sent, {file['chunks']} expected")
                received += base64.b64decode(msg.get("data", ""), validate=True)
                file.update(received=len(received), chunks=file["chunks"] + 1)
                if hold:
                    return await self._hold(toward="to_staff", received=len(received))
            elif kind == "file_finish":
                file["state"] = "complete"
                return file["name"], bytes(received)

    async def receive_file_noted(self, stage: str = "requested") -> Optional[tuple[str, bytes]]:
        """receive_file_from_customer, noting what arrived (name, size, SHA-256) for the tests."""
        received = await self.receive_file_from_customer()
        if received is None:
            self.note(stage=stage, received=False)
        else:
            name, data = received
            self.note(stage=stage, received=True, name=name, size=len(data),
                      sha256=hashlib.sha256(data).hexdigest())
        return received

    # ---- plumbing ----

    async def _flush(self) -> None:
        if self._pending is None:
            return
        self._pending = None
        reply = self._override or {"ok": True, "session": copy.deepcopy(self.session)}
        reply.update(self._once)
        self._override, self._once = None, {}
        self._transcript.write(self._conn, "server", msg=reply)
        await self._ws.send(json.dumps(reply))

    async def _receive(self) -> dict:
        try:
            raw = await asyncio.wait_for(self._ws.recv(), timeout=self.wait_timeout)
        except asyncio.TimeoutError as exc:
            raise ScenarioError(f"no client message within {self.wait_timeout} s") from exc
        except websockets.ConnectionClosed as exc:
            raise SessionClosed() from exc
        msg = parse(raw)
        if not isinstance(msg, dict):
            binary = isinstance(raw, bytes)
            self._transcript.write(self._conn, "client",
                                   **({"binary": len(raw)} if binary else {"raw": raw}))
            self.error_reply("unsupported_message" if binary else "invalid_json")
            self._pending = {}
            raise ScenarioError("client message is not a JSON object")
        self._transcript.write(self._conn, "client", msg=msg)
        self._pending = msg
        self.messages.append(msg)
        if msg.get("type") == "preview_frame":
            self.frames.append(msg)
            if msg.get("jpeg") or msg.get("capture_error"):
                self.session["preview_has_frame"] = bool(msg.get("jpeg"))
        return msg

    async def finish(self) -> None:
        """After the scenario: the last owed reply, then whatever the client still sends (a
        correct client sends nothing after a final state) is recorded until it closes."""
        await self._flush()
        while True:
            try:
                raw = await asyncio.wait_for(self._ws.recv(), timeout=self.wait_timeout)
            except (asyncio.TimeoutError, websockets.ConnectionClosed):
                return
            msg = parse(raw)
            self._transcript.write(self._conn, "client", after_end=True,
                                   msg=msg if isinstance(msg, dict) else {"raw": str(raw)})
            reply = {"ok": False, "error": "session_over"}
            self._transcript.write(self._conn, "server", msg=reply)
            await self._ws.send(json.dumps(reply))


def parse(raw) -> Any:
    try:
        return json.loads(raw) if isinstance(raw, str) else None
    except ValueError:
        return None


def load_scenario(path: str) -> Callable:
    found = importlib.util.spec_from_file_location("quillory_scenario", path)
    if found is None:
        raise SystemExit(f"cannot load scenario {path}")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    if not hasattr(module, "scenario"):
        raise SystemExit(f"{path} has no 'async def scenario(sim)'")
    return module.scenario


async def serve(args: argparse.Namespace) -> int:
    scenario = load_scenario(args.scenario)
    options = dict(item.split("=", 1) for item in args.set)
    transcript = Transcript(args.transcript)
    done = asyncio.Event()
    state = {"count": 0, "left": args.connections, "failures": 0}  # left 0: serve until stopped

    async def handle(websocket, path: str = "") -> None:
        state["count"] += 1
        conn = state["count"]
        transcript.write(conn, "event", event="open", path=websocket.path,
                         user_agent=websocket.request_headers.get("User-Agent", ""))
        sim = Sim(websocket, transcript, conn, options)
        try:
            await scenario(sim)
            transcript.write(conn, "event", event="scenario_done")
            await sim.finish()
        except Exception as exc:  # a bug in the scenario too: recorded rather than lost
            state["failures"] += 1
            error = {SessionClosed: "the client closed the connection before the scenario ended",
                     ScenarioError: str(exc)}.get(type(exc), f"{type(exc).__name__}: {exc}")
            transcript.write(conn, "event", event="scenario_error", error=error)
            if isinstance(exc, ScenarioError):
                try:
                    await sim._flush()  # the owed reply (an error reply where one was set)
                except websockets.ConnectionClosed:
                    pass
        finally:
            await websocket.close()
            transcript.write(conn, "event", event="closed")
            state["left"] -= 1
            if state["left"] == 0:
                done.set()

    loop = asyncio.get_running_loop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, done.set)
    tls = None
    if args.tls_cert:
        tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls.load_cert_chain(args.tls_cert, args.tls_key)
    async with websockets.serve(handle, args.host, args.port, compression=None, ssl=tls,
                                ping_interval=None, max_size=4 * 1024 * 1024) as server:
        port = server.sockets[0].getsockname()[1]
        transcript.write(0, "event", event="listening", port=port)
        if args.port_file:  # written whole, then renamed: a reader never sees half a number
            with open(f"{args.port_file}.{os.getpid()}.tmp", "w", encoding="ascii") as out:
                out.write(f"{port}\n")
            os.replace(out.name, args.port_file)
        await done.wait()
    return 1 if state["failures"] else 0


class Server:
    """The simulator as a child process on a free loopback port: the one way the tests, the
    runners, the demo and the benchmarks start it. `scenario` is a file, or a name in scenarios/;
    `connections` 0 serves until stop()."""

    def __init__(self, work: Path, scenario, options: Optional[dict] = None, connections: int = 0,
                 server_args: tuple = ()):
        work.mkdir(parents=True, exist_ok=True)
        self.work, port_file, self.transcript = work, work / "port", work / "transcript.jsonl"
        for stale in (port_file, self.transcript):
            stale.unlink(missing_ok=True)
        settings = {"wait_timeout": 20, **(options or {})}
        self.process = subprocess.Popen(
            ["/usr/bin/python3", __file__, "--scenario", str(SCENARIOS / scenario), "--port-file",
             str(port_file), "--transcript", str(self.transcript), "--connections",
             str(connections), *server_args,
             *(arg for key, value in settings.items() for arg in ("--set", f"{key}={value}"))],
            stdout=open(work / "simulator.log", "w"), stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 60
        while not port_file.exists():
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError(f"simulator did not start: {self.log()}")
            time.sleep(0.05)
        self.port = int(port_file.read_text())
        self.url = f"ws://127.0.0.1:{self.port}/client"

    def log(self) -> str:
        return (self.work / "simulator.log").read_text()

    def entries(self) -> list:
        text = self.transcript.read_text() if self.transcript.exists() else ""
        return [json.loads(line) for line in text.splitlines() if line.strip()]

    def stop(self, settle: float = 0) -> int:
        """Gives the simulator `settle` seconds to end by itself, then ends it; its exit code."""
        try:
            return self.process.wait(timeout=settle)
        except subprocess.TimeoutExpired:
            self.process.terminate()
            return self.process.wait(timeout=60)

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.stop()


def main() -> int:
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
    args = parser.parse_args()
    if bool(args.tls_cert) != bool(args.tls_key):
        parser.error("--tls-cert and --tls-key go together")
    if any("=" not in item for item in args.set):
        parser.error("--set needs KEY=VALUE")
    return asyncio.run(serve(args))


if __name__ == "__main__":
    sys.exit(main())
