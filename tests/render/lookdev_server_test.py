#!/usr/bin/env python3
"""The lookdev server under attack, on loopback: nobody who lacks the token
can stall a client who has it, hold a connection past the time a whole
request may take, grow the server's memory, or delay its shutdown.

usage: lookdev_server_test.py OSKA_RENDER SCENE
Each attack is bounded in connections and in time.
"""
import os
import shutil
import socket
import statistics
import sys
import tempfile
import threading
import time

from lookdev_process import ServedScene

WHOLE_REQUEST = 5.0  # seconds the server gives a request, headers and body


class Server(ServedScene):
    def __init__(self, program, scene):
        super().__init__(program, scene, "1")

    def connect(self, nodelay=True):
        s = socket.create_connection(("127.0.0.1", self.port), timeout=10)
        if nodelay:
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return s

    def head(self, path="/api/scene", extra="", token=True):
        query = ("&" if "?" in path else "?") + "token=" + self.token if token else ""
        return (f"GET {path}{query} HTTP/1.1\r\nHost: 127.0.0.1:{self.port}\r\n{extra}"
                "\r\n").encode()

    def ask(self, raw, timeout=2.0):
        """The status of the answer to `raw`, or None when none came in time."""
        with self.connect() as s:
            s.settimeout(timeout)
            try:
                s.sendall(raw)
                return status_of(s)
            except OSError:
                return None

    def stop(self):
        return self.terminate(10)


def status_of(s):
    data = b""
    while b"\r\n" not in data:
        chunk = s.recv(4096)
        if not chunk:
            return None
        data += chunk
    return int(data.split(b" ")[1])


def closed_within(s, seconds):
    """Whether the server closes `s` within `seconds`."""
    s.settimeout(seconds)
    try:
        while s.recv(4096):
            pass
        return True
    except socket.timeout:
        return False
    except OSError:
        return True


def drip(server, stop, byte=0.5):
    """A client that sends its request a byte at a time and never ends it."""
    s = server.connect()
    try:
        for b in b"GET /api/scene HTTP/1.1\r\nX-Slow: " + b"a" * 1000:
            if stop.wait(byte):
                break
            s.send(bytes([b]))
    except OSError:
        pass
    finally:
        s.close()


class Checks:
    """Named checks, each counted: a failed one is printed and the run goes on."""

    def __init__(self):
        self.passed, self.failures = 0, []

    def __call__(self, name, condition, detail=""):
        if condition:
            self.passed += 1
        else:
            self.failures.append(name)
            print("FAILED", name, detail, file=sys.stderr)

    def result(self):
        print(f"{self.passed} passed, {len(self.failures)} failed")
        return 1 if self.failures else 0


def run_checks(prefix, checks):
    """Runs `checks(server, check)` against a server of a copy of the scene
    the command line names; stops the server and removes the copy whatever
    happens. The exit status: 1 when a check failed."""
    program, scene_source = sys.argv[1], sys.argv[2]
    work = tempfile.mkdtemp(prefix=prefix)
    scene = os.path.join(work, "scene.json")
    shutil.copyfile(scene_source, scene)
    check = Checks()
    server = Server(program, scene)
    try:
        checks(server, check)
    finally:
        if server.process.poll() is None:
            server.stop()
        shutil.rmtree(work, ignore_errors=True)
    return check.result()


def checks(server, check):
    # ---- Who is refused, before a handler runs.
    port = server.port
    refusals = [
        ("two Host headers", server.head(extra=f"Host: 127.0.0.1:{port}\r\n")),
        ("a second, foreign Host", server.head(extra="Host: attacker.example\r\n")),
        ("two Origin headers", server.head(extra=f"Origin: http://127.0.0.1:{port}\r\n"
                                                 "Origin: http://attacker.example\r\n")),
        ("a body without the token", server.head(
            "/api/param", "Content-Length: 60000\r\n", token=False).replace(b"GET", b"POST")),
    ]
    for name, raw in refusals:
        status = server.ask(raw)
        check("refuses " + name, status == 403, f"status {status}")

    # ---- The page's cookie opens its files, and nothing else.
    with server.connect() as s:
        s.sendall(server.head("/"))
        s.settimeout(5)
        data = b""
        while b"\r\n\r\n" not in data:
            data += s.recv(65536)
    cookies = [line.split(b":", 1)[1].strip().decode() for line in data.split(b"\r\n")
               if line.lower().startswith(b"set-cookie:")]
    check("the page sets one cookie, for this port, out of scripts' and other sites' reach",
          len(cookies) == 1 and cookies[0].startswith(f"oska-files-{port}=") and
          "; HttpOnly" in cookies[0] and "; SameSite=Strict" in cookies[0], str(cookies))
    pair = cookies[0].split(";")[0] if cookies else "none=none"
    name, value = pair.split("=", 1)
    # Each case: the request, whether it is answered.
    files = [
        ("a module with the cookie", "/main.js", f"Cookie: {pair}\r\n", True),
        ("a style with the cookie among others", "/lookdev.css", f"Cookie: a=b; {pair}; c=d\r\n", True),
        ("a module without the token or the cookie", "/main.js", "", False),
        ("a module with a wrong cookie", "/main.js", f"Cookie: {name}={value[::-1]}\r\n", False),
        ("a module with another port's cookie", "/main.js", f"Cookie: oska-files-1={value}\r\n", False),
        ("the page with the cookie alone", "/", f"Cookie: {pair}\r\n", False),
        ("the scene with the cookie alone", "/api/scene", f"Cookie: {pair}\r\n", False),
        ("the stream with the cookie alone", "/api/events", f"Cookie: {pair}\r\n", False),
        ("the token as the cookie's value", "/main.js", f"Cookie: {name}={server.token}\r\n", False),
    ]
    for what, path, extra, answered in files:
        status = server.ask(server.head(path, extra, token=False))
        check(("answers " if answered else "refuses ") + what, status == (200 if answered else 403),
              f"status {status}")
    status = server.ask(server.head("/api/undo", f"Cookie: {pair}\r\nContent-Length: 2\r\n", token=False)
                        .replace(b"GET", b"POST") + b"{}")
    check("refuses a change with the cookie alone", status == 403, f"status {status}")

    # ---- Clients that send a byte at a time: the token's client is
    # answered meanwhile, and each slow one is cut off.
    stop = threading.Event()
    drippers = [threading.Thread(target=drip, args=(server, stop)) for _ in range(12)]
    for d in drippers:
        d.start()
    time.sleep(1)
    answers = [server.ask(server.head(), timeout=1.0) for _ in range(10)]
    check("answers the token while 12 clients drip", answers == [200] * 10, str(answers))
    slow = server.connect()
    slow.send(b"GET /api/scene HTTP/1.1\r\n")
    started = time.monotonic()
    for _ in range(int(WHOLE_REQUEST * 2) + 4):
        if slow.send(b"X: y\r\n") and closed_within(slow, 0.5):
            break
    waited = time.monotonic() - started
    check("closes a request that takes too long", waited < WHOLE_REQUEST + 2, f"{waited:.1f} s")
    slow.close()
    stop.set()
    for d in drippers:
        d.join()

    # ---- A chunked body that never ends, with the token.
    with server.connect() as endless:
        endless.sendall(server.head("/api/param", "Transfer-Encoding: chunked\r\n")
                        .replace(b"GET", b"POST"))
        started, cut = time.monotonic(), False
        while not cut and time.monotonic() - started < WHOLE_REQUEST + 4:
            try:
                endless.send(b"1\r\n{\r\n")
            except OSError:
                break
            cut = closed_within(endless, 0.5)
        waited = time.monotonic() - started
        check("ends a body that never ends", waited < WHOLE_REQUEST + 2, f"{waited:.1f} s")

    # ---- A million short headers, four times: refused, memory flat.
    memory_before = server.memory_kib()
    statuses = []
    for _ in range(4):
        with server.connect() as s:
            s.settimeout(10)
            try:
                s.sendall(server.head(extra="a: b\r\n" * 1000000)[:-2])
                statuses.append(status_of(s))
            except OSError:
                statuses.append("closed")
    growth = server.memory_kib() - memory_before
    check("refuses a million headers", all(s != 200 for s in statuses), str(statuses))
    check("memory stays flat under a million headers", growth < 16 * 1024, f"{growth} KiB")

    # ---- 200 clients at once: every one is answered.
    results = []

    def one():
        results.append(server.ask(server.head(), timeout=10.0))
    crowd = [threading.Thread(target=one) for _ in range(200)]
    for c in crowd:
        c.start()
    for c in crowd:
        c.join()
    check("answers 200 clients at once", results.count(200) == 200,
          f"{results.count(200)} answered")

    # ---- Answers on a kept-alive connection from a client that leaves
    # Nagle's delay on: none waits for a delayed ack.
    times = []
    with server.connect(nodelay=False) as s:
        s.settimeout(5)
        for _ in range(20):
            started = time.monotonic()
            s.sendall(server.head("/api/image"))
            data = b""
            while b"\r\n\r\n" not in data:
                data += s.recv(65536)
            header, body = data.split(b"\r\n\r\n", 1)
            length = int(next(l.split(b":")[1] for l in header.split(b"\r\n")
                              if l.lower().startswith(b"content-length")))
            while len(body) < length:
                body += s.recv(length - len(body))
            times.append(time.monotonic() - started)
    median = statistics.median(times[1:]) * 1000
    check("kept-alive answers wait for no delayed ack", median < 30, f"median {median:.0f} ms")

    # ---- SIGTERM while a client drips ends the server at once.
    stop = threading.Event()
    dripping = threading.Thread(target=drip, args=(server, stop, 0.2))
    dripping.start()
    time.sleep(0.5)
    took, code = server.stop()
    stop.set()
    dripping.join()
    check("SIGTERM ends the server while a client drips", took < 2 and code == 0,
          f"{took:.1f} s, status {code}")


def main():
    return run_checks("oska-lookdev-server-", checks)


if __name__ == "__main__":
    sys.exit(main())
