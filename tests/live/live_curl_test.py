#!/usr/bin/env python3
"""qvrsim live with Debian's curl against python3 -m http.server on loopback.

Usage: live_curl_test.py QVRSIM ipv4|ipv6

Each case runs `qvrsim live --json SCENARIO -- curl ...` and checks what arrived and what
qvrsim reported: covered (through the proxy, with the context record), not covered
(directly, the proxy sees nothing), a port query (the answer chooses the port), the QUIC
switch (UDP to port 443 fails, TCP still works). Exit 77 (a skip for ctest) when the
machine has no IPv6 loopback, with the reason.
"""
import json
import os
import jsonschema
import socket
import subprocess
import sys
import tempfile
import time

QVRSIM, FAMILY = sys.argv[1], sys.argv[2]
SCHEMA = json.load(open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "qvrsim",
                                     "qvrsim-output.schema.json")))
VALIDATOR = jsonschema.validators.validator_for(SCHEMA)(SCHEMA)
HOST = "127.0.0.2" if FAMILY == "ipv4" else "::1"
URL_HOST = HOST if FAMILY == "ipv4" else "[::1]"
IMAGE = "\\Device\\HarddiskVolume1" + os.path.realpath("/usr/bin/curl").replace("/", "\\")
PAGE = b"a page for qvrsim live\n"
failures = []


def check(what, condition):
    if not condition:
        failures.append(what)
        print("FAIL:", what)


def free_port(family):
    with socket.socket(family, socket.SOCK_STREAM) as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


def live(scenario_text, command, timeout=60):
    with tempfile.NamedTemporaryFile("w", suffix=".qvrsim", delete=False) as f:
        f.write(scenario_text)
    try:
        done = subprocess.run([QVRSIM, "live", "--json", f.name, "--"] + command,
                              capture_output=True, timeout=timeout)
    finally:
        os.unlink(f.name)
    objects = [json.loads(line) for line in done.stdout.decode().splitlines() if line.startswith("{")]
    for o in objects:
        try:
            VALIDATOR.validate(o)
        except jsonschema.ValidationError as error:
            check("a %s object as the schema says: %s" % (o.get("kind"), error.message), False)
    return done, objects


def calls(objects):
    return [o for o in objects if o["kind"] == "connection" and o["name"].startswith("call")]


def proxied(objects):
    return [o for o in objects if o["kind"] == "connection" and o["name"].startswith("proxied:")]


def verdict_clean(objects):
    verdicts = [o for o in objects if o["kind"] == "verdict"]
    return len(verdicts) == 1 and verdicts[0]["clean"]


def program_cases():
    """A program that cannot run, a static one, one killed by a signal: each said, each its code."""
    for command, code, said in ((["/nonexistent/program"], 2, "not an executable file"),
                                (["/sbin/ldconfig"], 2, "statically linked"),
                                (["sh", "-c", "kill -9 $$"], 3, "ended by signal 9")):
        done = subprocess.run([QVRSIM, "live", "--", *command], capture_output=True, timeout=60)
        text = (done.stdout + done.stderr).decode()
        check("%s: exit %d and says '%s'" % (command[0], code, said), done.returncode == code and said in text)


def held_when_qvrsim_ends(curl):
    """A connect() held by a silent port query ends at once when qvrsim is killed."""
    marker = tempfile.mktemp()
    with tempfile.NamedTemporaryFile("w", suffix=".qvrsim", delete=False) as f:
        f.write("proxy 8080\nfilter ask\nrules intercept curl\nport-answer silent\n")
    run = subprocess.Popen([QVRSIM, "live", f.name, "--", "sh", "-c", "%s; echo $? > %s" % (" ".join(curl), marker)],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(2)  # curl's connect() is held by the driver's port query (10 s)
    run.kill()
    run.wait()
    deadline = time.time() + 5
    while time.time() < deadline and not (os.path.exists(marker) and open(marker).read().strip()):
        time.sleep(0.05)
    ended = os.path.exists(marker) and open(marker).read().strip()
    check("qvrsim killed: the held connect() fails at once (curl ended: %s)" % ended, ended not in (None, "", "0"))
    os.unlink(f.name)
    if os.path.exists(marker):
        os.unlink(marker)


def unload_while_held(curl):
    """SIGTERM to qvrsim while curl's connect() waits for a verdict that never comes: the driver
    unloads with the connection held, the connect() fails at once, the verifier stays clean."""
    marker = tempfile.mktemp()
    with tempfile.NamedTemporaryFile("w", suffix=".qvrsim", delete=False) as f:
        f.write("proxy 8080\nfilter proxy hold=yes\nrules intercept curl\nverdict silent\n")
    run = subprocess.Popen([QVRSIM, "live", "--json", f.name, "--", "sh", "-c",
                            "%s; echo $? > %s" % (" ".join(curl), marker)],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    time.sleep(2)  # curl's connect() is held for the verdict
    run.terminate()
    try:
        out, _ = run.communicate(timeout=20)
    except subprocess.TimeoutExpired:
        run.kill()
        out, _ = run.communicate()
    objects = [json.loads(line) for line in out.decode().splitlines() if line.startswith("{")]
    ended = os.path.exists(marker) and open(marker).read().strip()
    check("unload while held: curl's connect() failed (curl ended: %s)" % ended, ended not in (None, "", "0"))
    check("unload while held: the interrupted unload is a step", any(
        o["kind"] == "step" and o["directive"] == "unload" and "interrupted" in o["label"] for o in objects))
    check("unload while held: verifier clean, exit 3", verdict_clean(objects) and run.returncode == 3)
    os.unlink(f.name)
    if os.path.exists(marker):
        os.unlink(marker)


def main():
    if not os.path.exists("/usr/bin/curl"):
        print("FAIL: /usr/bin/curl is missing (scripts/deps.sh host installs it)")
        return 1
    if FAMILY == "ipv6" and not ipv6_loopback():
        print("SKIP: this machine has no IPv6 loopback (::1 cannot be bound)")
        return 77
    family = socket.AF_INET if FAMILY == "ipv4" else socket.AF_INET6
    port = free_port(family)
    root = tempfile.mkdtemp()
    with open(os.path.join(root, "index.html"), "wb") as f:
        f.write(PAGE)
    server = subprocess.Popen([sys.executable, "-m", "http.server", str(port), "--bind", HOST, "--directory", root],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        for _ in range(100):
            try:
                socket.create_connection((HOST, port), timeout=0.2).close()
                break
            except OSError:
                time.sleep(0.05)
        url = "http://%s:%d/index.html" % (URL_HOST, port)
        curl = ["curl", "-s", "-g", "-m", "10", url]
        requested = "%s:%d" % (URL_HOST, port)
        stand_in = ("198.18.0.2" if FAMILY == "ipv4" else "[2001:db8:7f::1]") + ":%d" % port

        # Covered: through the proxy, which names curl's image, the destination and the record.
        done, objects = live("proxy 8080\nfilter proxy\nrules intercept curl\n", curl)
        check("covered: the page arrives", done.returncode == 0 and PAGE in done.stdout)
        through = proxied(objects)
        check("covered: one connection through the proxy", len(through) == 1)
        if through:
            p = through[0]
            check("covered: the proxy names curl's image", p["live"]["image"] == IMAGE)
            check("covered: the original destination", p["requested"] == requested)
            record = (p["context"] or {}).get("record") or {}
            check("covered: the record's destination is what the driver saw", record.get("requested") == stand_in)
            check("covered: the record's application", record.get("app_path") == IMAGE)
            check("covered: bytes relayed both ways", p["live"]["bytes_up"] > 0 and p["live"]["bytes_down"] >= len(PAGE))
        check("covered: verifier clean", verdict_clean(objects))

        # Not covered: directly, and the proxy sees nothing.
        done, objects = live("proxy 8080\nfilter proxy\nrules intercept wget\n", curl)
        check("not covered: the page arrives", done.returncode == 0 and PAGE in done.stdout)
        check("not covered: the proxy sees nothing", proxied(objects) == [])
        check("not covered: the call went direct", [c["live"]["answer"] for c in calls(objects)] == ["direct"])

        # The port query: the service's answer chooses the port.
        asking = "proxy 8080\nfilter ask\nrules intercept curl\n"
        done, objects = live(asking + "port-answer proxy\n", curl)
        check("port query, proxy's port: through the proxy", PAGE in done.stdout and len(proxied(objects)) == 1)
        done, objects = live(asking + "port-answer 9\n", curl)
        answers = calls(objects)
        check("port query, port 9: refused", done.returncode == 3 and PAGE not in done.stdout and len(answers) == 1 and
              answers[0]["remote"].endswith(":9") and answers[0]["live"].get("errno") == "ECONNREFUSED")

        # Held for the service's verdict: a blocked destination fails, a permitted one arrives.
        holding = "proxy 8080\nfilter proxy hold=yes\nrules intercept curl\n"
        done, objects = live(holding + "verdict block %s\n" % stand_in, curl)
        answers = calls(objects)
        check("verdict block: curl fails with EACCES", done.returncode == 3 and PAGE not in done.stdout and
              len(answers) == 1 and answers[0]["live"].get("errno") == "EACCES" and
              (answers[0].get("verdict") or {}).get("block") is True)
        check("verdict block: the service saw the destination", (answers[0].get("verdict") or {}).get("requested")
              == stand_in if answers else False)
        done, objects = live(holding + "verdict permit\n", curl)
        answers = calls(objects)
        check("verdict permit: the page arrives through the proxy", PAGE in done.stdout and len(proxied(objects)) == 1)
        check("verdict permit: the call was held and permitted",
              len(answers) == 1 and (answers[0].get("verdict") or {}).get("block") is False)

        # The QUIC switch: curl's UDP to port 443 fails, its TCP still goes through.
        tftp = "tftp://%s:443/x" % URL_HOST
        both = ["sh", "-c", "curl -s -g -m 2 %s; echo udp=$?; %s" % (tftp, " ".join(curl))]
        done, objects = live("proxy 8080\nfilter proxy\nrules intercept curl\nquic on\n", both)
        udp = [c for c in calls(objects) if c["protocol"] == "udp"]
        check("QUIC on: UDP to 443 blocked", udp != [] and all(c["outcome"] == "blocked" for c in udp) and
              all(c["live"]["errno"] == "EACCES" for c in udp))
        check("QUIC on: TCP still works", PAGE in done.stdout and len(proxied(objects)) == 1)
        ended = [o["label"] for o in objects if o["kind"] == "step" and o["label"].startswith("live: process ")]
        check("the first curl's winsim process ends when it does", udp != [] and any(
            label.startswith("live: process %d ended" % udp[0]["live"]["real_pid"]) for label in ended))
        done, objects = live("proxy 8080\nfilter proxy\nrules intercept curl\nquic off\n", both)
        udp = [c for c in calls(objects) if c["protocol"] == "udp"]
        check("QUIC off: UDP to 443 goes", udp != [] and all(c["outcome"] != "blocked" for c in udp))
        if FAMILY == "ipv4":
            program_cases()
            held_when_qvrsim_ends(curl)
            unload_while_held(curl)
    finally:
        server.terminate()
        server.wait()
    if failures:
        print("%d check(s) failed" % len(failures))
        return 1
    print("all live checks passed (%s)" % FAMILY)
    return 0


sys.exit(main())
