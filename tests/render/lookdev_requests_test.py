#!/usr/bin/env python3
"""The lookdev server's answers to what a request says, on loopback: a
numeric argument that is not a whole number in range is refused with one
line, counts the server never gave bring the whole state, and Save of a
scene written on one line keeps it about its size and opens again.

usage: lookdev_requests_test.py OSKA_RENDER SCENE
"""
import http.client
import json
import os
import sys
import time

sys.dont_write_bytecode = True  # nothing written beside the sources
from lookdev_server_test import Server, run_checks  # noqa: E402
from lookdev_stream_test import Stream  # noqa: E402


def ask(server, method, path, body=None):
    """The status and the JSON answer of one request with the token."""
    c = http.client.HTTPConnection("127.0.0.1", server.port, timeout=10)
    c.request(method, path + ("&" if "?" in path else "?") + "token=" + server.token,
              None if body is None else json.dumps(body), {"Host": f"127.0.0.1:{server.port}"})
    response = c.getresponse()
    status, data = response.status, response.read()
    c.close()
    try:
        return status, json.loads(data)
    except ValueError:
        return status, data


def final_image(server):
    """The status once the server's image is final (at most a minute): then
    nothing changes until a request does."""
    until = time.monotonic() + 60
    while time.monotonic() < until:
        status = ask(server, "GET", "/api/status?values=0")[1]
        if status.get("frame", {}).get("final"):
            return status
        time.sleep(0.2)
    raise AssertionError("no image within a minute")


# Texts that are not a whole number written plainly.
NOT_WHOLE = ["abc", "0x10", "1.5", " 5", "5 ", "5junk", "-1", "+1", "1e3", "", "%00",
             "\u00e9", "18446744073709551616", "99999999999999999999999"]


def argument_checks(server, check):
    status = final_image(server)
    w, h = status["frame"]["width"], status["frame"]["height"]
    # ---- Each route's numeric arguments: a whole number in range, or 400
    # with a one-line reason.
    refused = [(f"/api/probe?x={x}&y=0", "whole number") for x in NOT_WHOLE]
    refused += [(f"/api/probe?x=0&y={y}", "whole number") for y in NOT_WHOLE]
    refused += [("/api/probe?y=0", "no x"), ("/api/probe?x=0", "no y"),
                (f"/api/probe?x={w}&y=0", "no pixel"), (f"/api/probe?x=0&y={h}", "no pixel"),
                ("/api/probe?x=18446744073709551615&y=0", "no pixel")]
    refused += [(f"/api/curves?light={n}", "whole number") for n in NOT_WHOLE]
    refused += [("/api/curves", "no light"), ("/api/curves?light=3", "no light 3")]
    refused += [(f"/api/status?light={n}", "whole number") for n in NOT_WHOLE + ["3"]]
    for path, reason in refused:
        code, answer = ask(server, "GET", path.replace("\u00e9", "%C3%A9").replace(" ", "%20"))
        error = answer.get("error", "") if isinstance(answer, dict) else ""
        check(f"refuses {path!r}", code == 400 and reason in error and "\n" not in error
              and len(error) < 200, f"{code} {answer!r}")
    accepted = ["/api/probe?x=0&y=0", f"/api/probe?x={w - 1}&y={h - 1}", "/api/probe?x=007&y=0",
                "/api/curves?light=2", "/api/status?light=2&values=0"]
    for path in accepted:
        code, answer = ask(server, "GET", path)
        check(f"answers {path}", code == 200, f"{code} {answer!r}")

    # ---- Counts the server never gave: the whole state, at once.
    now = ask(server, "GET", "/api/status?values=0")[1]
    current = {"frame": now["frame"]["serial"], "messages": now["message_count"],
               "curves": now["curves_serial"], "values": now["values_serial"]}

    def status_with(**counts):
        query = "&".join(f"{k}={v}" for k, v in {**current, **counts}.items())
        return ask(server, "GET", "/api/status?" + query.replace(" ", "%20"))[1]
    held = status_with()
    check("a status with the current counts has no values or curves",
          "values" not in held and "curves" not in held, str(held)[:200])
    never_given = ["-1", "18446744073709551615", str(current["values"] + 1000), "abc", " 1", "1.0",
                   "0x1"]
    for name in ["values", "curves"]:
        for count in never_given:
            answer = status_with(**{name: count})
            check(f"a status with {name}={count!r} has the {name}", name in answer,
                  str(sorted(answer)))
    for count in never_given:
        stream = Stream(server, f"values={count}&light=0".replace(" ", "%20"))
        values = stream.next_values(5)
        stream.close()
        check(f"a stream opened with values={count!r} starts with the values",
              values is not None and "lights" in values, str(values)[:200])


def one_line_save(program, scene, check):
    """Save of the scene written on one line, a long about before its lights."""
    with open(scene) as f:
        data = json.load(f)
    data["about"] = "a" * 300000
    data = {"about": data.pop("about"), **data}
    one_line = os.path.join(os.path.dirname(scene), "one_line.json")
    with open(one_line, "w") as f:
        json.dump(data, f, separators=(",", ":"))
    before = os.path.getsize(one_line)
    server = Server(program, one_line)
    changes = {"decay": 2, "max_level": 3, "decay_start": 0.25, "decay_end": 12.5,
               "alpha_scale": 0.5, "burn_multiplier": 2, "burn_threshold": 0.75,
               "burn_power": 1.5, "hue": 0.1, "saturation": 1.2, "value": 0.8,
               "range_gamma": 1.1, "threshold": 0.001, "cutoff": 0.5}
    try:
        for light in range(len(data["lights"])):
            code, answer = ask(server, "POST", "/api/change", {"light": light, "set": changes})
            check(f"changes light {light}", code == 200, f"{code} {answer!r}"[:200])
        code, answer = ask(server, "POST", "/api/save", {})
        check("saves the one-line scene", code == 200, f"{code} {answer!r}"[:200])
    finally:
        server.stop()
    with open(one_line) as f:
        saved = f.read()
    grown = len(saved.encode()) - before
    check("Save of a one-line scene grows it by the params only", grown < 2048 and
          "\n" not in saved, f"{before} -> {before + grown} bytes")
    again = Server(program, one_line)
    try:
        lights = ask(again, "GET", "/api/scene")[1]["lights"]
        check("the saved one-line scene opens with the values saved", all(
            abs(l["params"][k] - v) < 1e-6 for l in lights for k, v in changes.items()),
            str([l["params"] for l in lights])[:300])
    finally:
        again.stop()


def checks(server, check):
    argument_checks(server, check)
    server.stop()
    one_line_save(sys.argv[1], server.scene, check)


def main():
    return run_checks("oska-lookdev-requests-", checks)


if __name__ == "__main__":
    sys.exit(main())
