#!/usr/bin/python3
"""Local development chat service for Corvane Companion.

Serves what the companion relies on: the approval page, the job socket, the
result and bye endpoints. A small JSON interface under /dev/ lets developers
and tests queue jobs, read what arrived, send control messages and drop
connections. It listens on loopback only.

    /usr/bin/python3 tools/dev-chat/dev_chat.py [--port 5001] [--auto-approve]
"""

import argparse
import asyncio
import html
import ipaddress
import json
import re
import sys
import time
import uuid
from collections import deque

from aiohttp import WSMsgType, web

SOCKET_PATH = "/api/assistant/companion/socket"
RESULT_PATH = "/api/assistant/companion/result"
BYE_PATH = "/api/assistant/companion/bye"
CONNECT_PATH = "/companion/connect"
TOKEN_FORM = re.compile(r"^[A-Za-z0-9_-]{24}$")


def masked(token):
    return token[:4] + "…" if token else ""


class Job:
    def __init__(self, job_id, path, body):
        self.id = job_id
        self.path = path
        self.body = body
        self.sent_at = None
        self.socket_results = []
        self.http_results = []
        self.rtt_ms = None
        self.answered = asyncio.Event()  # once both channels have answered

    def note(self, channel, result):
        results = self.socket_results if channel == "socket" else self.http_results
        results.append(result)
        if channel == "socket" and self.rtt_ms is None and self.sent_at is not None:
            self.rtt_ms = (time.monotonic() - self.sent_at) * 1000.0
        if self.socket_results and self.http_results:
            self.answered.set()

    def view(self):
        return {
            "id": self.id,
            "path": self.path,
            "sent": self.sent_at is not None,
            "socket": self.socket_results[0] if self.socket_results else None,
            "http": self.http_results[0] if self.http_results else None,
            "socket_count": len(self.socket_results),
            "http_count": len(self.http_results),
            "ms": self.rtt_ms,
        }


class Connection:
    def __init__(self, ws, token, version):
        self.ws = ws
        self.token = token
        self.version = version
        self.close_code = None

    def view(self):
        return {
            "token": masked(self.token),
            "version": self.version,
            "open": not self.ws.closed,
            "close_code": self.close_code,
        }


class Service:
    def __init__(self, auto_approve, heartbeat, result_delay):
        self.auto_approve = auto_approve
        self.heartbeat = heartbeat
        self.result_delay = result_delay
        self.approved = set()
        self.connections = []
        self.queue = deque()
        self.jobs = {}
        self.socket_frames = []
        self.http_results = []
        self.byes = []
        self.queue_changed = asyncio.Event()

    # -- what the companion talks to ------------------------------------

    def accepts(self, token):
        return token in self.approved or (self.auto_approve and bool(TOKEN_FORM.match(token or "")))

    async def connect_page(self, request):
        token = request.query.get("token", "")
        if not TOKEN_FORM.match(token):
            return page("Not a link request", "<p>This address does not carry a valid link token.</p>", 400)
        if request.method == "POST":
            self.approved.add(token)
            return page("Linked", "<p>This computer is linked. You can close this tab.</p>")
        state = "<p>Already approved.</p>" if token in self.approved else ""
        form = (
            f'<form method="post" action="{CONNECT_PATH}?token={html.escape(token)}">'
            '<button type="submit" id="approve">Approve</button></form>'
        )
        return page("Link Corvane Companion",
                    "<p>Let Corvane Companion on this computer take browser jobs from your chats?</p>"
                    + state + form)

    async def socket(self, request):
        token = request.query.get("token", "")
        if not self.accepts(token):
            return web.json_response({"error": "token not approved"}, status=403)
        self.approved.add(token)
        ws = web.WebSocketResponse(autoping=True)
        await ws.prepare(request)
        connection = Connection(ws, token, request.query.get("v", ""))
        self.connections.append(connection)
        self.queue_changed.set()
        sender = asyncio.create_task(self.send_jobs(connection))
        beater = asyncio.create_task(self.send_heartbeats(connection)) if self.heartbeat > 0 else None
        try:
            async for message in ws:
                if message.type == WSMsgType.TEXT:
                    self.frame_arrived(message.data)
                elif message.type == WSMsgType.BINARY:
                    self.socket_frames.append({"binary": len(message.data)})
        finally:
            sender.cancel()
            if beater:
                beater.cancel()
            connection.close_code = ws.close_code
            self.queue_changed.set()  # another connection may take over the queue
        return ws

    def frame_arrived(self, text):
        try:
            frame = json.loads(text)
        except ValueError:
            frame = {"unparsed": text}
        self.socket_frames.append(frame)
        if isinstance(frame, dict) and isinstance(frame.get("id"), str) and frame["id"] in self.jobs:
            self.jobs[frame["id"]].note("socket", frame)

    async def send_jobs(self, connection):
        while not connection.ws.closed:
            while self.queue and not connection.ws.closed and self.newest_open() is connection:
                job = self.queue.popleft()
                job.sent_at = time.monotonic()
                await connection.ws.send_str(json.dumps({"id": job.id, "path": job.path, "body": job.body}))
            self.queue_changed.clear()
            await self.queue_changed.wait()

    async def send_heartbeats(self, connection):
        while not connection.ws.closed:
            await asyncio.sleep(self.heartbeat)
            if not connection.ws.closed:
                await connection.ws.send_str(json.dumps({"heartbeat": True}))

    async def result(self, request):
        if self.result_delay > 0:
            await asyncio.sleep(self.result_delay)
        body = await json_body(request)
        accepted = isinstance(body, dict) and self.accepts(body.get("token"))
        self.http_results.append(body)
        if not accepted:
            return web.json_response({"error": "token not approved"}, status=403)
        job = self.jobs.get(body.get("id"))
        if job:
            job.note("http", body)
        return web.Response(status=204)

    async def bye(self, request):
        body = await json_body(request)
        self.byes.append(body)
        token = body.get("token") if isinstance(body, dict) else None
        self.approved.discard(token)
        for connection in self.connections:
            if connection.token == token and not connection.ws.closed:
                await connection.ws.close()
        return web.Response(status=204)

    # -- the interface for developers and tests ---------------------------

    def newest_open(self):
        for connection in reversed(self.connections):
            if not connection.ws.closed:
                return connection
        return None

    async def queue_jobs(self, request):
        request_body = await json_body(request)
        if not isinstance(request_body, dict) or not isinstance(request_body.get("path", ""), str):
            return web.json_response({"error": "send an object with a string path"}, status=400)
        body = request_body.get("body", {})
        try:
            count = int(request_body.get("count", 1))
            wait = float(request_body.get("wait", 0))
        except (TypeError, ValueError):
            return web.json_response({"error": "count and wait must be numbers"}, status=400)
        if count < 1 or (count > 1 and "id" in request_body):
            return web.json_response({"error": "count must be at least 1, and an id names one job"}, status=400)
        jobs = []
        for _ in range(count):
            job = Job(str(request_body.get("id") or uuid.uuid4()), request_body.get("path", ""), body)
            self.jobs[job.id] = job
            self.queue.append(job)
            jobs.append(job)
        self.queue_changed.set()
        if count > 1:
            return web.json_response({"ids": [job.id for job in jobs]})
        if wait > 0:
            await wait_for(jobs[0].answered, wait)
        return web.json_response(jobs[0].view())

    async def job(self, request):
        job = self.jobs.get(request.match_info["id"])
        if not job:
            return web.json_response({"error": "no such job"}, status=404)
        try:
            wait = float(request.query.get("wait", 0))
        except ValueError:
            return web.json_response({"error": "wait must be a number"}, status=400)
        if wait > 0:
            await wait_for(job.answered, wait)
        return web.json_response(job.view())

    async def received(self, _request):
        return web.json_response({
            "socket": self.socket_frames,
            "http": self.http_results,
            "bye": self.byes,
            "connections": [c.view() for c in self.connections],
        })

    async def stats(self, _request):
        counts = {"jobs": len(self.jobs), "waiting": len(self.queue), "socket_once": 0, "http_once": 0,
                  "socket_more": 0, "http_more": 0}
        for job in self.jobs.values():
            for channel, results in (("socket", job.socket_results), ("http", job.http_results)):
                if len(results) == 1:
                    counts[channel + "_once"] += 1
                elif len(results) > 1:
                    counts[channel + "_more"] += 1
        return web.json_response(counts)

    async def control(self, request):
        message = await json_body(request)
        if not isinstance(message, dict):
            return web.json_response({"error": "send the message as a JSON object"}, status=400)
        sent = 0
        for connection in self.connections:
            if not connection.ws.closed:
                await connection.ws.send_str(json.dumps(message))
                sent += 1
        return web.json_response({"sent": sent})

    async def drop(self, _request):
        dropped = 0
        for connection in self.connections:
            if not connection.ws.closed:
                await connection.ws.close()
                dropped += 1
        return web.json_response({"dropped": dropped})

    async def faults(self, request):
        body = await json_body(request)
        if not isinstance(body, dict):
            return web.json_response({"error": "send the faults as a JSON object"}, status=400)
        try:
            if "result_delay" in body:
                self.result_delay = float(body["result_delay"])
        except (TypeError, ValueError):
            return web.json_response({"error": "result_delay must be a number"}, status=400)
        return web.json_response({"result_delay": self.result_delay})

    async def approve(self, request):
        body = await json_body(request)
        token = body.get("token") if isinstance(body, dict) else None
        if not isinstance(token, str) or not TOKEN_FORM.match(token):
            return web.json_response({"error": "token must be 24 URL-safe base64 characters"}, status=400)
        self.approved.add(token)
        return web.json_response({"approved": True})


def page(title, content, status=200):
    text = (f"<!doctype html><meta charset=utf-8><title>{html.escape(title)}</title>"
            f"<h1>{html.escape(title)}</h1>{content}")
    return web.Response(text=text, content_type="text/html", status=status)


async def json_body(request):
    try:
        return await request.json()
    except ValueError:
        return None


async def wait_for(event, seconds):
    try:
        await asyncio.wait_for(event.wait(), seconds)
    except asyncio.TimeoutError:
        pass


@web.middleware
async def no_web_pages(request, handler):
    # The /dev/ interface runs jobs in the user's browser: pages that the
    # browser shows must not reach it.
    if request.path.startswith("/dev/") and "Origin" in request.headers:
        return web.json_response({"error": "requests from web pages are not accepted"}, status=403)
    return await handler(request)


def application(service):
    app = web.Application(middlewares=[no_web_pages])
    app.router.add_get(CONNECT_PATH, service.connect_page)
    app.router.add_post(CONNECT_PATH, service.connect_page)
    app.router.add_get(SOCKET_PATH, service.socket)
    app.router.add_post(RESULT_PATH, service.result)
    app.router.add_post(BYE_PATH, service.bye)
    app.router.add_post("/dev/jobs", service.queue_jobs)
    app.router.add_get("/dev/jobs/{id}", service.job)
    app.router.add_get("/dev/received", service.received)
    app.router.add_get("/dev/stats", service.stats)
    app.router.add_post("/dev/control", service.control)
    app.router.add_post("/dev/drop", service.drop)
    app.router.add_post("/dev/approve", service.approve)
    app.router.add_post("/dev/faults", service.faults)
    return app


async def serve(args):
    service = Service(args.auto_approve, args.heartbeat, args.result_delay)
    runner = web.AppRunner(application(service), access_log=None)
    await runner.setup()
    port = args.port
    for index, host in enumerate(args.host):
        site = web.TCPSite(runner, host, port)
        try:
            await site.start()
        except OSError as error:
            if index == 0:
                raise SystemExit(f"dev-chat: cannot listen on {host}:{port}: {error}")
            continue  # the other loopback address may not exist here
        if port == 0:
            port = site._server.sockets[0].getsockname()[1]
    print(f"dev-chat: listening on http://{args.host[0]}:{port}", flush=True)
    await asyncio.Event().wait()


def loopback(text):
    if ipaddress.ip_address(text).is_loopback:
        return text
    raise argparse.ArgumentTypeError("only loopback addresses are served")


def main():
    parser = argparse.ArgumentParser(description="Local development chat service for Corvane Companion.")
    parser.add_argument("--port", type=int, default=5001, help="TCP port (0: any free port), default 5001")
    parser.add_argument("--host", type=loopback, action="append",
                        help="loopback address to listen on (repeatable); default 127.0.0.1 and ::1")
    parser.add_argument("--auto-approve", action="store_true", help="accept every well-formed token")
    parser.add_argument("--heartbeat", type=float, default=30.0,
                        help="seconds between heartbeats sent on each socket; 0 turns them off (default 30)")
    parser.add_argument("--result-delay", type=float, default=0.0,
                        help="seconds the result endpoint waits before it answers (a slow service)")
    args = parser.parse_args()
    args.host = args.host or ["127.0.0.1", "::1"]
    try:
        asyncio.run(serve(args))
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
