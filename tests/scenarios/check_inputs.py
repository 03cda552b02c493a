#!/usr/bin/env python3
"""Feeds qvrsim inputs a new user might give it by mistake, and some that are merely large,
and checks that each ends within seconds with the exit code and message it should.

Usage: check_inputs.py QVRSIM
"""
import os
import subprocess
import sys
import tempfile
import time

LIMIT_SECONDS = 30

# name, file text (None: no file argument), extra arguments, exit code, text expected in the output
CASES = [
    ("empty file", "", [], 0, "verifier: clean"),
    ("only comments and blank lines", "# nothing\n\n   \n# at all\n", [], 0, "verifier: clean"),
    ("unknown directive", "quic on\nfrobnicate now\n", [], 2, ":2: frobnicate: unknown directive"),
    ("odd hex", "raw rules 12000000 0100000\n", [], 2, ":1: bytes: '0100000': odd number of hex digits"),
    ("hex with a prefix", "raw rules 0x12000000\n", [], 2, "bytes are written without 0x"),
    ("hex with junk", "raw rules 1200zz00\n", [], 2, "not hex digits"),
    ("a code without 0x", "raw 22A00C 00\n", [], 2, "code: '22A00C'"),
    ("a number with trailing text", "carriers 2x\n", [], 2, "count: '2x' is not a decimal number"),
    ("expect without a value", "quic on expect=\n", [], 2, "expect: '' is not a status name"),
    ("expect with an unknown name", "quic on expect=STATUS_FINE\n", [], 2, "'STATUS_FINE' is not a status name"),
    ("an unterminated quote", 'start a "\\Device\\x.exe\n', [], 2, "no closing quote"),
    ("a NUL byte", "quic on\n\0\n", [], 2, ":2: not text"),
    ("an unknown process", "connect browser 203.0.113.7:443\n", [], 2, "'browser' is not a running process"),
    ("advance on a real clock", "advance 1s\n", [], 2, "say clock manual first"),
    ("an empty callback request through the service's handle", "raw callback\n", [], 0, "still pending after 2000 ms: cancelled"),
    ("an empty callback request with an output length and a wait", "carriers 0\nraw callback out=64 wait=100ms expect=STATUS_CANCELLED\n",
     [], 0, "STATUS_CANCELLED"),
    ("an unexpected answer", "quic on expect=STATUS_ACCESS_DENIED\n", [], 3, "UNEXPECTED"),
    ("100,000 lines, mostly comments", "# filler\n" * 99990 + "quic on\n" * 10, [], 0, "verifier: clean"),
    ("100,000 steps", "quic on\n" * 100000, [], 2, ":20001: quic: more than 20000 steps"),
    ("a missing file", None, ["/nonexistent/scenario.qvrsim"], 2, "cannot open"),
    ("an unknown option", None, ["--fast"], 2, "unknown option --fast"),
    ("help", None, ["--help"], 0, "port-answer <port>|proxy|silent|short|result=<n>"),
    ("help lists the statuses", None, ["--help"], 0, "STATUS_FWP_TCPIP_NOT_READY"),
    ("a bad --trace", None, ["--trace=loud"], 2, "--trace takes FLAGS[,LEVEL]"),
    ("a bad file with --json", "rules sometimes\n", ["--json"], 2, '"kind":"error"'),
]


def main(argv):
    if len(argv) != 1:
        print(__doc__, file=sys.stderr)
        return 2
    qvrsim = argv[0]
    failures = 0
    with tempfile.TemporaryDirectory() as folder:
        for name, text, extra, code, expected in CASES:
            args = [qvrsim] + extra
            if text is not None:
                path = os.path.join(folder, "case.qvrsim")
                with open(path, "w", encoding="utf-8", newline="") as f:
                    f.write(text)
                args.append(path)
            start = time.monotonic()
            try:
                run = subprocess.run(args, capture_output=True, timeout=LIMIT_SECONDS)
            except subprocess.TimeoutExpired:
                print(f"FAIL {name}: did not end within {LIMIT_SECONDS} s")
                failures += 1
                continue
            seconds = time.monotonic() - start
            output = (run.stdout + run.stderr).decode("utf-8", "replace")
            problems = []
            if run.returncode != code:
                problems.append(f"exit {run.returncode}, not {code}")
            if expected not in output:
                problems.append(f"no {expected!r} in the output")
            if code == 2 and "step 0" in output:
                problems.append("something ran before the file was refused")
            if problems:
                failures += 1
                print(f"FAIL {name} ({seconds:.1f} s): {'; '.join(problems)}\n{output[-1500:]}")
            else:
                print(f"ok   {name} ({seconds:.1f} s, exit {run.returncode})")
    print(f"{len(CASES) - failures} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
