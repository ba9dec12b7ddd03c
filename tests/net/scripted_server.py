#!/usr/bin/python3
"""A WebSocket server whose every answer is chosen by the request it answers.

The Windows network tests start one per test on a free loopback port. The client's request is a
JSON object whose "act" says what comes back, so each test scripts the exact bytes and frames it
needs (sizes, fragments, invalid UTF-8, binary data, a close frame, silence, a reply trickling
empty pieces). How the HTTP
upgrade itself is answered is chosen on the command line.

Once listening it writes "PORT PID TARGET_PORT" to --port-file (atomically) and appends one line
per event to --port-file + ".log": "upgrade PATH", "authorization SCHEME" (an upgrade request that
carried credentials), "message BYTES", "target-hit". It ends on
SIGTERM or, should the test never ask (it crashed), after --lifetime seconds. Under Wine a
Unix child gets no usable standard input and keeps Wine's own standard error, so that is pointed
at standard output (the test's file) at once: it must not hold CTest's output pipe.
"""
import argparse
import asyncio
import http
import json
import os
import ssl
import struct
import subprocess
import tempfile

import websockets

OP_CONT, OP_TEXT, OP_BINARY, OP_CLOSE = 0, 1, 2, 8


def sized_reply(size):
    head, tail = b'{"ok":true,"pad":"', b'"}'
    if size < len(head) + len(tail):
        raise ValueError("size too small")
    return head + b"x" * (size - len(head) - len(tail)) + tail


async def send_frames(ws, opcode, data, frames):
    frames = max(1, min(frames, max(1, len(data))))
    step = -(-len(data) // frames) if data else 0
    pieces = [data[i:i + step] for i in range(0, len(data), step)] if data else [b""]
    for index, piece in enumerate(pieces):
        await ws.write_frame(index == len(pieces) - 1, opcode if index == 0 else OP_CONT, piece)


async def answer(ws, raw, received):
    try:
        request = json.loads(raw) if isinstance(raw, str) else {}
    except ValueError:
        request = {}
    request = request if isinstance(request, dict) else {}
    acts = {  # act: (opcode, what is sent)
        "info": (OP_TEXT, lambda: json.dumps({
            "ok": True, "path": ws.path, "user_agent": ws.request_headers.get("User-Agent", ""),
            "authorization": "Authorization" in ws.request_headers, "received": received}).encode()),
        "text": (OP_TEXT, lambda: request["text"].encode("utf-8")),
        "hex": (OP_TEXT, lambda: bytes.fromhex(request["hex"])),
        "size": (OP_TEXT, lambda: sized_reply(int(request["size"]))),
        "binary": (OP_BINARY, lambda: b'{"ok":true}'),
    }
    act = request.get("act", "info")
    if act == "close":
        await ws.write_frame(True, OP_CLOSE, struct.pack("!H", 1000))
    elif act == "trickle":  # a reply that never ends: empty continuation frames, one at a time
        await ws.write_frame(False, OP_TEXT, b"{")
        while True:
            await asyncio.sleep(float(request.get("interval", 0.5)))
            await ws.write_frame(False, OP_CONT, b"")
    elif act in acts:
        await send_frames(ws, acts[act][0], acts[act][1](), int(request.get("frames", 1)))
    elif act != "silent":
        raise ValueError(f"unknown act {act!r}")


async def main():
    os.dup2(1, 2)
    parser = argparse.ArgumentParser()
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--upgrade", choices=["accept", "200", "302", "401", "silent"], default="accept")
    parser.add_argument("--tls", action="store_true", help="wss with a fresh self-signed certificate")
    parser.add_argument("--lifetime", type=float, default=120)
    args = parser.parse_args()

    def log(line):  # appended and closed at once: the test polls this file while we run
        with open(args.port_file + ".log", "a", encoding="utf-8") as out:
            out.write(line + "\n")

    loop = asyncio.get_running_loop()
    done = loop.create_future()

    def finish():
        if not done.done():
            done.set_result(None)

    loop.call_later(args.lifetime, finish)

    # Where a redirect points: it records any connection, so a test can prove none came.
    async def on_target(reader, writer):
        log("target-hit")
        writer.close()

    target = await asyncio.start_server(on_target, "127.0.0.1", 0)
    target_port = target.sockets[0].getsockname()[1]

    async def process_request(path, headers):
        log(f"upgrade {path}")
        if "Authorization" in headers:
            log("authorization " + headers["Authorization"].split(" ")[0])
        if args.upgrade == "200":
            return http.HTTPStatus.OK, [("Content-Type", "text/plain")], b"not a websocket\n"
        if args.upgrade == "302":
            return http.HTTPStatus.FOUND, [("Location", f"http://127.0.0.1:{target_port}/moved")], b""
        if args.upgrade == "401":
            # A challenge a client with automatic logon would answer with the Windows credentials.
            challenge = [("WWW-Authenticate", "Negotiate"), ("WWW-Authenticate", "NTLM")]
            return http.HTTPStatus.UNAUTHORIZED, challenge, b""
        if args.upgrade == "silent":
            await done
        return None

    async def handler(ws, path):
        received = []
        try:
            async for raw in ws:
                size = len(raw.encode("utf-8", "surrogatepass")) if isinstance(raw, str) else len(raw)
                received.append(size)
                log(f"message {size}")
                await answer(ws, raw, received)
        except Exception:  # the client ends connections by dropping them
            pass

    context = None
    if args.tls:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        with tempfile.TemporaryDirectory() as folder:
            cert, key = os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")
            subprocess.run(
                ["/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                 "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1",
                 "-keyout", key, "-out", cert],
                check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            context.load_cert_chain(cert, key)

    async with websockets.serve(
        handler, "127.0.0.1", 0, process_request=process_request, ssl=context, max_size=None,
        compression=None, ping_interval=None, close_timeout=1,
    ) as server:
        port = server.sockets[0].getsockname()[1]
        temporary = args.port_file + ".tmp"
        with open(temporary, "w", encoding="ascii") as out:
            out.write(f"{port} {os.getpid()} {target_port}\n")
        os.replace(temporary, args.port_file)
        await done
    target.close()


if __name__ == "__main__":
    asyncio.run(main())
