#!/usr/bin/env python3
"""The lookdev server's event streams, on loopback: only a client with the
token gets one, their number is bounded, every open stream has each change,
in order, whoever made it, and open streams neither delay SIGTERM nor
outlive the server.

usage: lookdev_stream_test.py OSKA_RENDER SCENE
"""
import http.client
import json
import socket
import sys

sys.dont_write_bytecode = True  # nothing written beside the sources
from lookdev_server_test import Server, run_checks  # noqa: E402

STREAMS = 16  # the server's limit


class Stream:
    """A page's event stream, read as a browser reads it."""

    def __init__(self, server, query="", token=True):
        self.connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=5)
        path = "/api/events?" + query + (("&token=" + server.token) if token else "")
        self.connection.request("GET", path, headers={"Host": f"127.0.0.1:{server.port}"})
        self.response = self.connection.getresponse()
        self.status = self.response.status
        self.ended = False

    def next(self, timeout):
        """The next event's data, or None when none comes within `timeout`."""
        self.connection.sock.settimeout(timeout)
        try:
            while True:
                line = self.response.readline()
                if not line:
                    self.ended = True
                    return None
                if line.startswith(b"data: "):
                    return json.loads(line[6:])
        except socket.timeout:
            return None
        except (OSError, http.client.HTTPException):  # closed under the reader: ended too
            self.ended = True
            return None

    def next_values(self, timeout):
        """The values of the next event that has any."""
        while True:
            event = self.next(timeout)
            if event is None or "values" in event:
                return event and event["values"]

    def close(self):
        self.connection.close()


def post(server, path, body):
    c = http.client.HTTPConnection("127.0.0.1", server.port, timeout=5)
    c.request("POST", path, json.dumps(body), {"X-Oska-Token": server.token,
                                               "Content-Type": "application/json"})
    status = c.getresponse().status
    c.close()
    return status


def checks(server, check):
    refused = Stream(server, token=False)
    check("refuses a stream without the token", refused.status == 403, str(refused.status))
    refused.close()

    pages = [Stream(server, "light=0") for _ in range(3)]
    first = [p.next_values(5) for p in pages]
    check("a stream starts with the server's values", all(f and "lights" in f for f in first))
    # Each change reaches every stream, in order and none lost; the wait
    # only guards a hang (how fast is bench/lookdev_latency.py's to say).
    held = []
    for i in range(5):
        wanted = 0.5 + i / 10
        post(server, "/api/change", {"light": 0, "set": {"decay_start": wanted}})
        for p in pages:
            values = p.next_values(20)
            held.append(values and abs(values["lights"][0]["decay_start"] - wanted) < 1e-6)
    check("every stream has each change, in order", all(held), str(held))
    post(server, "/api/undo", {})
    undone = [p.next_values(20) for p in pages]
    check("an undo is on every stream too", all(
        u and abs(u["lights"][0]["decay_start"] - 0.8) < 1e-6 for u in undone))

    more = [Stream(server) for _ in range(STREAMS)]
    statuses = [m.status for m in more]
    check("refuses streams past the limit",
          statuses.count(503) == 3 and statuses.count(200) == STREAMS - 3, str(statuses))
    check("answers the token with every stream open", server.ask(server.head()) == 200)

    took, code = server.stop()
    check("SIGTERM ends the server at once with streams open", took < 10 and code == 0,
          f"{took:.1f} s, status {code}")
    for p in pages + more:
        for _ in range(1000):
            if p.next(1) is None:
                break
    check("a stream ends when the server stops", all(p.ended for p in pages + more),
          str([p.ended for p in pages + more]))


def main():
    return run_checks("oska-lookdev-stream-", checks)


if __name__ == "__main__":
    sys.exit(main())
