#!/usr/bin/env python3
"""Runs qvrsim --json on a scenario file and checks what it printed.

Every line must be one JSON object valid under the output schema; the exit code must be
the verdict's; and, given an expected-results file, the objects must equal it one for one
(the first difference is shown with its line and key). --update rewrites the expected file
instead of comparing.

Usage: check_results.py QVRSIM SCHEMA SCENARIO [EXPECTED] [--update]
"""
import json
import subprocess
import sys

import jsonschema


def first_difference(expected, actual, path=""):
    if type(expected) is not type(actual):
        return f"{path or '.'}: expected {json.dumps(expected)}, got {json.dumps(actual)}"
    if isinstance(expected, dict):
        for key in list(expected) + [k for k in actual if k not in expected]:
            if key not in actual:
                return f"{path}.{key}: missing"
            if key not in expected:
                return f"{path}.{key}: not expected ({json.dumps(actual[key])})"
            found = first_difference(expected[key], actual[key], f"{path}.{key}")
            if found:
                return found
        return None
    if isinstance(expected, list):
        for i, (e, a) in enumerate(zip(expected, actual)):
            found = first_difference(e, a, f"{path}[{i}]")
            if found:
                return found
        if len(expected) != len(actual):
            return f"{path}: expected {len(expected)} items, got {len(actual)}"
        return None
    if expected != actual:
        return f"{path or '.'}: expected {json.dumps(expected)}, got {json.dumps(actual)}"
    return None


def main(argv):
    update = "--update" in argv
    args = [a for a in argv if a != "--update"]
    if len(args) not in (3, 4):
        print(__doc__, file=sys.stderr)
        return 2
    qvrsim, schema_path, scenario = args[:3]
    expected_path = args[3] if len(args) == 4 else None
    with open(schema_path, encoding="utf-8") as f:
        schema = json.load(f)
    validator = jsonschema.Draft202012Validator(schema)

    run = subprocess.run([qvrsim, "--json", scenario], capture_output=True, timeout=300)
    lines = run.stdout.decode("utf-8").splitlines()
    objects = []
    for number, line in enumerate(lines, 1):
        try:
            value = json.loads(line)
        except json.JSONDecodeError as error:
            print(f"output line {number} is not JSON ({error}): {line[:200]}")
            return 1
        errors = sorted(validator.iter_errors(value), key=lambda e: list(e.path))
        if errors:
            print(f"output line {number} does not match the schema: {errors[0].message} at {list(errors[0].path)}")
            return 1
        objects.append(value)
    if not objects or objects[-1].get("exit_code") != run.returncode:
        print(f"qvrsim exited {run.returncode}, and its last object says {objects[-1] if objects else 'nothing'}")
        print(run.stderr.decode("utf-8", "replace")[-2000:])
        return 1
    if expected_path is None:
        print(f"{len(objects)} objects, schema and exit code {run.returncode} as they should be")
        return 0
    if update:
        with open(expected_path, "w", encoding="utf-8") as f:
            for value in objects:
                f.write(json.dumps(value, ensure_ascii=False, separators=(",", ":")) + "\n")
        print(f"wrote {expected_path}")
        return 0
    with open(expected_path, encoding="utf-8") as f:
        expected = [json.loads(line) for line in f if line.strip()]
    for number, (e, a) in enumerate(zip(expected, objects), 1):
        found = first_difference(e, a)
        if found:
            print(f"{scenario}: object {number} ({e.get('kind')} {e.get('number', e.get('name', ''))}) differs: {found}")
            return 1
    if len(expected) != len(objects):
        print(f"{scenario}: expected {len(expected)} objects, got {len(objects)}")
        return 1
    print(f"{scenario}: {len(objects)} objects as expected, exit code {run.returncode}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
