#!/usr/bin/python3
"""A WebSocket client of Pelora's live API for the tests, as another program would be.

    apiclient.py URL [--bearer TOKEN] [--stall]

Every message received is printed as a line "MSG <json>"; "OPEN" once connected, and
"CLOSED <code> <reason>" when the connection ends (after which the client exits). Every line
on standard input is sent as one text message; "!close" closes the connection.

With --stall the client reads nothing after connecting, with a small receive buffer, as a
program that hung would: it only waits for the server to let it go.
"""
import asyncio
import os
import socket
import sys
import urllib.parse

import websockets

try:  # websockets 13 and later (Debian 13): the new asyncio client
    from websockets.asyncio.client import connect
    HEADERS, LEGACY = "additional_headers", False
except ImportError:  # websockets 10 (Debian 12)
    from websockets import connect
    HEADERS, LEGACY = "extra_headers", True


def say(*words):
    print(*words, flush=True)


async def main():
    url = sys.argv[1]
    bearer = sys.argv[sys.argv.index("--bearer") + 1] if "--bearer" in sys.argv else None
    stall = "--stall" in sys.argv
    headers = {"Authorization": "Bearer " + bearer} if bearer else None
    parts = urllib.parse.urlsplit(url)
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    if stall:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    sock.connect((parts.hostname, parts.port))
    options = {"sock": sock, "max_queue": 1 if stall else 1024, "ping_interval": None}
    if headers:
        options[HEADERS] = headers
    if LEGACY:
        options["read_limit"] = 4096 if stall else 2 ** 16
    try:
        ws = await connect(url, **options)
    except Exception as error:  # the handshake itself failed
        say("FAILED", repr(error))
        os._exit(0)
    say("OPEN")
    if stall:
        # Reading nothing, it would not even see the connection go: a ping now and then
        # is written, and fails once the server has let it go.
        while True:
            try:
                (await ws.ping()).cancel()  # no pong is awaited
            except websockets.ConnectionClosed:
                break
            await asyncio.sleep(0.5)
        say("CLOSED", ws.close_code, ws.close_reason or "-")
        return

    loop = asyncio.get_running_loop()

    async def forward():
        while True:
            line = await loop.run_in_executor(None, sys.stdin.readline)
            if not line or line.strip() == "!close":
                await ws.close()
                return
            await ws.send(line.rstrip("\n"))

    sender = asyncio.ensure_future(forward())
    try:
        async for message in ws:
            say("MSG", message)
    except websockets.ConnectionClosed:
        pass
    sender.cancel()
    say("CLOSED", ws.close_code, ws.close_reason or "-")


asyncio.run(main())
os._exit(0)  # not waiting for the thread still reading standard input
