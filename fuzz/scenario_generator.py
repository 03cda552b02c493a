#!/usr/bin/env python3
"""Feeds the simulator random scenario files for a bounded time.

Half the files are made from the scenario language's directives with random (mostly valid,
sometimes wrong) arguments; the others are the checked-in scenarios with lines dropped,
repeated, swapped or cut. Each run must end within its time-out with exit 0, 1, 2 or 3 and
no sanitizer report; exit 1 (the verifier is not clean) is counted and its file kept, since
it is the driver's or winsim's finding rather than the simulator's. A failing file is kept
in the output folder and the generator exits 1.

Usage: scenario_generator.py QVRSIM SECONDS OUTPUT-FOLDER [SEED-FOLDER]
"""
import os
import random
import subprocess
import sys
import time

RUN_TIMEOUT = 90
IMAGES = [
    r'"\Device\HarddiskVolume2\Program Files\WebBrowser\webbrowser.exe"',
    r"\Device\HarddiskVolume2\Tools\editor.exe",
    r"\Device\HarddiskVolume2\Tools\WEBBROWSER.EXE",
    r"\Device\HarddiskVolume2\Windows\System32\\",
    r"noslash.exe",
    '"\\Device\\HarddiskVolume1\\\u5199\u771f.exe"',
]
NAMES = ["webbrowser.exe", "editor.exe", "WebBrowser.EXE", "a.exe", "x" * 300, "\u5199\u771f.exe"]
DESTINATIONS = ["203.0.113.7:443", "203.0.113.7:8443", "[2001:db8:1::7]:443", "127.0.0.1:5000", "[::1]:443",
                "10.0.0.5:443", "203.0.113.7:0", "0.0.0.0:443"]
LOCALS = ["10.0.0.5:0", "[::]:0", "[2001:db8::10]:0", "0.0.0.0:0", "127.0.0.1:40000"]
STATUSES = ["STATUS_SUCCESS", "STATUS_INVALID_PARAMETER", "STATUS_ACCESS_DENIED", "0xC0000023", "STATUS_NOPE", ""]


def hex_bytes(rng):
    kind = rng.random()
    if kind < 0.3:
        return ""
    if kind < 0.5:  # a plausible record header
        return " ".join(["%08x" % rng.choice([0, 1, 4, 12, 18, 28, 0xFFFFFFFF]) for _ in range(rng.randint(1, 5))])
    if kind < 0.6:  # a reply-shaped record
        return "5156525f43425200" + rng.choice(["02000000", "01000000"]) + "".join(
            "%02x" % rng.randint(0, 255) for _ in range(rng.randint(0, 40)))
    if kind < 0.62:
        return rng.choice(["abc", "0x12", "zz", "1 2"])  # refused by the reader
    return "".join("%02x" % rng.randint(0, 255) for _ in range(rng.randint(1, 64)))


def generated(rng):
    lines = ["name generated"]
    processes, connections = [], []
    proxy = manual = False
    loaded = True
    count = 0
    for _ in range(rng.randint(1, 30)):
        pick = rng.random()
        opts = ""
        if rng.random() < 0.2:
            opts += " label=\"%s\"" % rng.choice(["a step", "quotes ' and \\", "\u00e9", "x" * 200])
        if pick < 0.10:
            name = "p%d" % rng.randint(0, 5)
            if name in processes:
                continue
            lines.append("start %s %s%s%s" % (name, rng.choice(IMAGES), " notify=no" if rng.random() < 0.2 else "", opts))
            processes.append(name)
        elif pick < 0.14 and processes:
            name = processes.pop(rng.randrange(len(processes)))
            lines.append("end %s%s" % (name, " notify=no" if rng.random() < 0.3 else ""))
        elif pick < 0.22:
            lines.append("rules %s %s%s" % (rng.choice(["intercept", "exempt"] * 10 + ["sometimes"]),
                                            " ".join(rng.sample(NAMES, rng.randint(0, 3))), opts))
        elif pick < 0.27:
            lines.append("quic %s%s" % (rng.choice(["on", "off", "7", "0x2a"] * 5 + ["-1"]),
                                        " expect=%s" % rng.choice(STATUSES) if rng.random() < 0.1 else ""))
        elif pick < 0.35:
            who = " as=%s" % rng.choice(["system", "admin", "user"]) if rng.random() < 0.5 else ""
            access = " access=%s" % rng.choice(["read", "write", "none", "0x1"]) if rng.random() < 0.3 else ""
            out = " out=%d" % rng.choice([0, 1, 64, 4096]) if rng.random() < 0.4 else ""
            lines.append("raw %s %s%s%s%s wait=%s%s" % (rng.choice(["rules", "quic", "callback", "0x00222000", "0x0022E014"]),
                                                       hex_bytes(rng), who, access, out,
                                                       rng.choice(["50ms", "100ms", "0ms"]), opts))
        elif pick < 0.38:
            lines.append("open as=%s%s" % (rng.choice(["system", "admin", "user"]),
                                           " access=read" if rng.random() < 0.3 else ""))
        elif pick < 0.41:
            lines.append("probe %s" % rng.choice(IMAGES))
        elif pick < 0.44:
            lines.append("carriers %d" % rng.choice([0, 1, 2, 4]))
        elif pick < 0.49:
            answer = rng.choice(["proxy", "silent", "short", "8081", "result=1", "result=0"])
            lines.append("port-answer %s%s" % (answer, " delay=%dms" % rng.choice([100, 2000]) if rng.random() < 0.3 else ""))
        elif pick < 0.53 and not proxy:
            lines.append("proxy %d" % rng.choice([8080, 8443, 443]))
            proxy = True
        elif pick < 0.60:
            target = rng.choice(["proxy", "ask", "9000", "blob=" + ("".join("%02x" % rng.randint(0, 255) for _ in range(rng.choice([0, 9, 10, 11]))) or "00")])
            if not target.startswith("blob=") and not proxy:
                target = rng.choice(["9000", "ask"]) + " pid=%d" % rng.randint(0, 2000)
            port = " remote-port=%d" % rng.choice([443, 8443, 80]) if rng.random() < 0.7 else ""
            lines.append("filter %s%s" % (target, port))
        elif pick < 0.75 and processes:
            count += 1
            name = "k%d" % count
            local = " from=%s" % rng.choice(LOCALS) if rng.random() < 0.3 else ""
            lines.append("%s %s %s%s as=%s wait=%s%s" % (rng.choice(["connect", "connect", "send"]), rng.choice(processes),
                                                       rng.choice(DESTINATIONS), local, name,
                                                       rng.choice(["100ms", "500ms"]), opts))
            connections.append(name)
        elif pick < 0.78 and connections and proxy:
            lines.append("onward %s" % rng.choice(connections))
        elif pick < 0.80 and connections:
            if rng.random() < 0.5:
                lines.append("close %s" % connections.pop(rng.randrange(len(connections))))
            else:
                lines.append("settle %s wait=%s" % (rng.choice(connections + [""]), rng.choice(["100ms", "1s"])))
        elif pick < 0.84:
            lines.append("bfe %s" % rng.choice(["stop", "start", "stopped", "start-pending", "running", "stop-pending"]))
        elif pick < 0.88:
            manual = rng.random() < 0.8
            lines.append("clock %s" % ("manual" if manual else "real"))
        elif pick < 0.93 and manual:
            lines.append("advance %s" % rng.choice(["1s", "5s", "10s", "250ms"]))
        elif pick < 0.945 and rng.random() < 0.2 and loaded and not proxy and not connections and not manual:
            lines.append("held")
        elif pick < 0.96:
            lines.append("unload" if loaded else "load")
            loaded = not loaded
            if not loaded:
                proxy = False
                connections = []
            elif rng.random() < 0.8:
                lines.append("rules intercept webbrowser.exe")
        else:
            lines.append(rng.choice(["processes", "addresses 10.0.0.5 2001:db8::10", "", "trace all,verbose",
                                     "trace rules,2", "trace off"] * 4 + ["bogus line", "quic", "trace loud"]))
    return "\n".join(lines) + "\n"


def mutated(rng, seeds):
    lines = rng.choice(seeds).splitlines()
    for _ in range(rng.randint(1, 6)):
        if not lines:
            break
        i = rng.randrange(len(lines))
        what = rng.random()
        if what < 0.3:
            del lines[i]
        elif what < 0.5:
            lines.insert(rng.randrange(len(lines) + 1), lines[i])
        elif what < 0.7:
            j = rng.randrange(len(lines))
            lines[i], lines[j] = lines[j], lines[i]
        elif what < 0.85:
            lines[i] = lines[i][: rng.randrange(len(lines[i]) + 1)]
        else:
            words = lines[i].split(" ")
            words[rng.randrange(len(words))] = rng.choice(["", "0x", "=", '"', "expect=", "999999999999", "\u00ff"])
            lines[i] = " ".join(words)
    # Real-time waits of the checked-in scenarios stay short.
    return "\n".join(lines) + "\n"


def main(argv):
    if len(argv) not in (3, 4):
        print(__doc__, file=sys.stderr)
        return 2
    qvrsim, seconds, folder = argv[0], float(argv[1]), argv[2]
    seeds = []
    if len(argv) == 4:
        for name in sorted(os.listdir(argv[3])):
            if name.endswith(".qvrsim"):
                with open(os.path.join(argv[3], name), encoding="utf-8") as f:
                    seeds.append(f.read())
    os.makedirs(folder, exist_ok=True)
    rng = random.Random(int(os.environ.get("QVR_FUZZ_SEED", time.time())))
    deadline = time.monotonic() + seconds
    runs = 0
    codes = {}
    failures = 0
    path = os.path.join(folder, "current.qvrsim")
    while time.monotonic() < deadline:
        text = mutated(rng, seeds) if seeds and rng.random() < 0.5 else generated(rng)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        args = [qvrsim] + (["--json"] if rng.random() < 0.5 else []) + (["--trace"] if rng.random() < 0.2 else []) + [path]
        runs += 1
        try:
            run = subprocess.run(args, capture_output=True, timeout=RUN_TIMEOUT)
            code = run.returncode
            err = run.stderr.decode("utf-8", "replace")
        except subprocess.TimeoutExpired:
            code, err = "hang", ""
        codes[code] = codes.get(code, 0) + 1
        bad = code not in (0, 1, 2, 3) or "Sanitizer" in err or "runtime error" in err
        if bad or code == 1:
            kept = os.path.join(folder, "%s-%d.qvrsim" % ("failure" if bad else "not-clean", runs))
            os.replace(path, kept)
            if bad:
                failures += 1
                print("FAILURE (exit %s): %s\n%s" % (code, kept, err[-3000:]))
    print("%d scenario files in %.0f s, exit codes %s, %d failures" % (runs, seconds, dict(sorted(codes.items(), key=str)), failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
