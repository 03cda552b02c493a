#!/usr/bin/env python3
"""End-to-end runs of TrayHerald under Wine, on an Xvfb display with a virtual desktop whose
taskbar has a notification area (wine_env.sh sets that world up and runs this inside it).

The icon is found in screenshots by its exact colours (make_frame_icons.py draws them), and
its frame by where the orange quarter of its ring sits. Balloons are the white boxes that
rise above the taskbar. Every timing check is measured against a deadline with a tolerance
for Wine's process start and stop; nothing waits longer than the behaviour it checks.
Screenshots are kept under --artifacts, one folder per scenario. Windows programs are started
with the Wine loader in $WINE (wine_env.sh sets it for the prefix's bitness).

The wait that runs out is watched in TrayHeraldQuickWait.exe, the program linked with a
QUICK_WAIT-second wait in place of its minute; exe_layout checks that the shipped exe holds
the minute.

Usage: tray_e2e.py SCENARIO --exe TrayHerald.exe --helper update_signal.exe
                   --quick-wait-exe TrayHeraldQuickWait.exe --artifacts DIR
       tray_e2e.py exe_layout --exe TrayHerald.exe --objdump OBJDUMP --pe-format FORMAT
"""
import argparse
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import time

ICON_BACK = bytes((0x1F, 0x4E, 0x9A))
ICON_HIGHLIGHT = bytes((0xFF, 0x8C, 0x00))
WHITE = bytes((0xFF, 0xFF, 0xFF))
# Rows at the bottom of the screen that hold the taskbar, and the band above it where
# balloons appear.
TASKBAR_ROWS = 40
BALLOON_ROWS = 160

# Wine needs a moment to start and to end a process; these bound that overhead.
START_SLACK = 10.0  # a Wine start on a loaded machine can take several seconds
EXIT_SLACK = 3.0
FINISHED_PAUSE = 2.0
UPDATE_WAIT_MS = 60000
QUICK_WAIT = 6.0  # TRAY_TEST_UPDATE_WAIT_MS of TrayHeraldQuickWait in CMakeLists.txt
# The icon's frame changes every 250 ms; a measured period outside this range fails.
FRAME_PERIOD_RANGE = (0.200, 0.340)
MAX_SAMPLE_GAP = 0.45


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


# --- screen ---------------------------------------------------------------------------

class Shot:
    """One screenshot as RGB rows."""

    def __init__(self, xwd_bytes):
        self.xwd = xwd_bytes
        ppm = subprocess.run(["convert", "xwd:-", "ppm:-"], input=xwd_bytes,
                             stdout=subprocess.PIPE, check=True).stdout
        fields = []
        pos = 0
        while len(fields) < 4:
            while ppm[pos:pos + 1].isspace():
                pos += 1
            if ppm[pos:pos + 1] == b"#":  # comment line
                pos = ppm.index(b"\n", pos)
                continue
            end = pos
            while not ppm[end:end + 1].isspace():
                end += 1
            fields.append(ppm[pos:end])
            pos = end
        pos += 1
        check(fields[0] == b"P6" and fields[3] == b"255", "unexpected screenshot format")
        self.width, self.height = int(fields[1]), int(fields[2])
        self.pixels = ppm[pos:pos + self.width * self.height * 3]

    def pixel(self, x, y):
        i = (y * self.width + x) * 3
        return self.pixels[i:i + 3]

    def find(self, colour, x0, y0, x1, y1):
        """(x, y) of every pixel of colour in the box [x0, x1) x [y0, y1)."""
        found = []
        for y in range(y0, y1):
            row = self.pixels[(y * self.width + x0) * 3:(y * self.width + x1) * 3]
            start = 0
            while True:
                i = row.find(colour, start)
                if i < 0:
                    break
                if i % 3 == 0:
                    found.append((x0 + i // 3, y))
                start = i + 1
        return found

    def icons(self):
        """Our icons in the taskbar, left to right: (centre x, centre y, frame or None)."""
        top = self.height - TASKBAR_ROWS
        back = self.find(ICON_BACK, 0, top, self.width, self.height)
        if not back:
            return []
        groups = []
        for x, y in sorted(back):
            if groups and x - groups[-1][-1][0] <= 2:
                groups[-1].append((x, y))
            else:
                groups.append([(x, y)])
        icons = []
        for group in groups:
            if len(group) < 40:  # stray pixels, not a 16 x 16 icon
                continue
            xs = [p[0] for p in group]
            ys = [p[1] for p in group]
            x0, x1, y0, y1 = min(xs), max(xs), min(ys), max(ys)
            cx, cy = (x0 + x1 + 1) / 2, (y0 + y1 + 1) / 2
            orange = self.find(ICON_HIGHLIGHT, x0, y0, x1 + 1, y1 + 1)
            frame = None
            if orange:
                dx = sum(p[0] + 0.5 for p in orange) / len(orange) - cx
                dy = sum(p[1] + 0.5 for p in orange) / len(orange) - cy
                if dy * dy > dx * dx:
                    frame = 0 if dy < 0 else 2
                else:
                    frame = 1 if dx > 0 else 3
            icons.append((int(cx), int(cy), frame))
        return icons

    def balloon(self):
        """Bounding box (x0, y0, x1, y1) of the white balloon above the taskbar, or None."""
        top = self.height - TASKBAR_ROWS - BALLOON_ROWS
        white = self.find(WHITE, self.width // 2, top, self.width, self.height - TASKBAR_ROWS)
        if len(white) < 500:
            return None
        xs = [p[0] for p in white]
        ys = [p[1] for p in white]
        return (min(xs), min(ys), max(xs) + 1, max(ys) + 1)


def grab():
    # A window that goes away while xwd reads the screen can make it fail; read again.
    for _ in range(5):
        xwd = subprocess.run(["xwd", "-root", "-silent", "-display", os.environ["DISPLAY"]],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        if xwd.returncode == 0 and xwd.stdout:
            return Shot(xwd.stdout)
    raise Failure("xwd could not read the screen")


def save(shot, folder, name):
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, name)
    subprocess.run(["convert", "xwd:-", path], input=shot.xwd, check=True)
    print("screenshot:", path)


def record_frame(samples, shot):
    """Adds (time, frame) to samples when shot shows one icon with a readable frame."""
    found = shot.icons()
    if len(found) == 1 and found[0][2] is not None:
        samples.append((time.monotonic(), found[0][2]))


def check_animation(samples):
    """The frames run forwards, one step every 250 ms. samples are (time, frame); only pairs
    of samples taken less than MAX_SAMPLE_GAP apart are judged (a screenshot that a loaded
    machine delays can miss frames): in each the frame stays or steps forwards, and the time
    they span over the steps they show gives the period."""
    frames = [frame for _, frame in samples]
    print("frames seen:", [f for i, f in enumerate(frames) if i == 0 or f != frames[i - 1]])
    check(len(set(frames)) >= 3, "the icon does not animate: frames %s" % frames)
    steps = span = 0
    backwards = []
    for (t0, a), (t1, b) in zip(samples, samples[1:]):
        if t1 - t0 > MAX_SAMPLE_GAP:
            continue
        step = (b - a) % 4
        if step == 3:
            # Three steps in that time would take at least 500 ms: the frames ran backwards,
            # or the taskbar had not yet repainted the icon when one screenshot was taken.
            # One such pair is the repaint; a program animating backwards shows it at
            # every change.
            backwards.append("%d then %d, %.0f ms apart" % (a, b, (t1 - t0) * 1000))
            continue
        steps += step
        span += t1 - t0
    check(len(backwards) <= 1, "frames run backwards: %s" % "; ".join(backwards))
    check(steps >= 5 and span >= 1.2, "too few frame changes to time (%d in %.1f s)" % (steps, span))
    period = span / steps
    print("frame period %.0f ms (%d steps in %.2f s)" % (period * 1000, steps, span))
    check(FRAME_PERIOD_RANGE[0] <= period <= FRAME_PERIOD_RANGE[1],
          "the frames change every %.0f ms, not every 250 ms" % (period * 1000))


def wait_for(condition, timeout, what):
    """Grabs screenshots until condition(shot) is truthy; returns (shot, its value)."""
    start = time.monotonic()
    deadline = start + timeout
    while True:
        shot = grab()
        value = condition(shot)
        if value:
            if time.monotonic() - start > 1.0:  # slow steps show in the log
                print("waited %.2f s for %s" % (time.monotonic() - start, what))
            return shot, value
        if time.monotonic() > deadline:
            raise Failure("timed out after %.1f s waiting for %s" % (timeout, what))
        time.sleep(0.05)


# --- processes ------------------------------------------------------------------------

class Env:
    def __init__(self, args):
        self.exe = args.exe
        self.quick_wait_exe = args.quick_wait_exe
        self.helper = args.helper
        self.wine = os.environ.get("WINE", "wine")
        self.artifacts = args.artifacts
        self.running = []
        self.tray_runs = 0
        # Park the pointer away from the taskbar: a tooltip over the icon would hide it
        # and look like a balloon.
        subprocess.run(["xdotool", "mousemove", "10", "10"], check=True)

    def start_tray(self, extra_env=None, exe=None):
        env = dict(os.environ)
        env.update(extra_env or {})
        self.tray_runs += 1
        stderr = open(os.path.join(self.artifacts, "trayherald-%d.log" % self.tray_runs), "w+b")
        process = subprocess.Popen([self.wine, exe or self.exe], stdin=subprocess.DEVNULL,
                                   stdout=stderr, stderr=stderr, env=env)
        process.log = stderr
        process.started = time.monotonic()
        self.running.append(process)
        return process

    def helper_run(self, *args, timeout=30):
        return self.helper_output(*args, timeout=timeout)[0]

    def helper_output(self, *args, timeout=30):
        result = subprocess.run([self.wine, self.helper] + list(args), stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)
        return result.returncode, result.stdout.decode("ascii", "replace")

    def helper_hold(self, mode):
        """Starts a helper that holds an object until its stdin is closed."""
        process = subprocess.Popen([self.wine, self.helper, mode], stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        ready, _, _ = select.select([process.stdout], [], [], 30)
        check(ready and process.stdout.readline().strip() == b"ready",
              "helper %s did not get ready" % mode)
        self.running.append(process)
        return process

    def release(self, process):
        process.stdin.close()
        process.wait(timeout=30)

    def signal_update(self):
        code = self.helper_run("set")
        check(code == 0, "could not set the update event (helper exit %d): it does not exist" % code)
        return time.monotonic()

    def cleanup(self):
        for process in self.running:
            if process.poll() is None:
                if process.stdin:
                    process.stdin.close()
                process.kill()
                process.wait()


def wait_exit(process, timeout, what):
    try:
        process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        raise Failure("TrayHerald did not end within %.1f s %s" % (timeout, what))
    return time.monotonic()


def one_icon(shot):
    icons = shot.icons()
    return icons if len(icons) == 1 else None


def no_icon(shot):
    return not shot.icons()


# --- scenarios ------------------------------------------------------------------------

def scenario_signal(env):
    """Icon appears and animates, first balloon shows; the updater's signal brings the
    "Finished" balloon and the end about 2 s later, with exit code 0."""
    tray = env.start_tray()
    shot, icons = wait_for(one_icon, 15, "the icon")
    save(shot, env.artifacts, "icon.png")

    samples = []
    deadline = time.monotonic() + 2.5
    while time.monotonic() < deadline:
        record_frame(samples, grab())
    check_animation(samples)

    shot, first = wait_for(lambda s: s.balloon(), 8, "the first balloon")
    save(shot, env.artifacts, "balloon-updating.png")
    first_width = first[2] - first[0]

    env.signal_update()
    wait_for(lambda s: s.balloon() is None, 3, "the first balloon to give way")
    catch_finished_balloon(env, tray, first)
    wait_exit(tray, FINISHED_PAUSE + EXIT_SLACK + 10, "after the signal")
    check(tray.returncode == 0, "exit code %d" % tray.returncode)
    wait_for(no_icon, 3, "the icon to go")


def catch_finished_balloon(env, tray, first):
    """The first balloon (box first) has just given way to the "Finished" one: Wine shows
    the new balloon 2 s after it was asked for, which is when the program closes. Holding
    the program still (SIGSTOP) between the two lets the screenshot catch it; the exit
    timing is measured where the program is not paused."""
    os.kill(tray.pid, signal.SIGSTOP)
    try:
        shot, finished = wait_for(lambda s: s.balloon(), 5, "the Finished balloon")
        save(shot, env.artifacts, "balloon-finished.png")
    finally:
        os.kill(tray.pid, signal.SIGCONT)
    check(finished[2] - finished[0] < first[2] - first[0],
          "the second balloon (%s) is not the shorter 'Finished' one (first %s)" % (finished, first))


def scenario_signal_timing(env):
    """The updater signals while TrayHerald waits: it ends about 2 s later with 0."""
    tray = env.start_tray()
    wait_for(one_icon, 15, "the icon")
    signalled = env.signal_update()
    ended = wait_exit(tray, FINISHED_PAUSE + EXIT_SLACK, "after the signal")
    elapsed = ended - signalled
    print("ended %.2f s after the signal" % elapsed)
    check(tray.returncode == 0, "exit code %d" % tray.returncode)
    check(elapsed >= FINISHED_PAUSE - 0.1, "ended %.2f s after the signal, before the pause" % elapsed)
    shot = grab()
    check(not shot.icons(), "the icon outlived the program")


def scenario_presignalled(env):
    """The event is already set when TrayHerald starts: it ends about 2 s after start."""
    holder = env.helper_hold("hold-set")
    tray = env.start_tray()
    ended = wait_exit(tray, FINISHED_PAUSE + START_SLACK + EXIT_SLACK, "with the event already set")
    elapsed = ended - tray.started
    print("ended %.2f s after start" % elapsed)
    env.release(holder)
    check(tray.returncode == 0, "exit code %d" % tray.returncode)
    check(elapsed >= FINISHED_PAUSE, "ended %.2f s after start, before the pause" % elapsed)


def scenario_menu_exit(env):
    """"E&xit" from the icon's menu removes the icon at once; the process lives on until the
    wait ends, then exits with 0."""
    tray = env.start_tray()
    _, icons = wait_for(one_icon, 15, "the icon")
    x, y, _ = icons[0]
    subprocess.run(["xdotool", "mousemove", str(x), str(y), "click", "3"], check=True)
    code, rect = env.helper_output("wait-window", "#32768", "5000")
    check(code == 0, "no menu opened on right click")
    left, top, right, bottom = (int(v) for v in rect.split())
    # The menu's one item, "E&xit", fills it.
    subprocess.run(["xdotool", "mousemove", str((left + right) // 2), str((top + bottom) // 2)],
                   check=True)
    save(grab(), env.artifacts, "menu.png")
    chosen = time.monotonic()
    subprocess.run(["xdotool", "click", "1"], check=True)
    wait_for(no_icon, 1.5, "the icon to go after E&xit")
    print("icon gone %.2f s after E&xit" % (time.monotonic() - chosen))
    check(tray.poll() is None, "the process ended before its wait did")

    signalled = env.signal_update()
    ended = wait_exit(tray, FINISHED_PAUSE + EXIT_SLACK, "after the signal")
    print("ended %.2f s after the signal" % (ended - signalled))
    check(tray.returncode == 0, "exit code %d" % tray.returncode)
    check(ended - signalled >= FINISHED_PAUSE - 0.1, "ended before the pause")


def scenario_two_instances(env):
    """Two instances each show an icon and both end on one signal."""
    first = env.start_tray()
    wait_for(one_icon, 15, "the first icon")
    second = env.start_tray()
    shot, _ = wait_for(lambda s: len(s.icons()) == 2, 15, "two icons")
    save(shot, env.artifacts, "two-icons.png")
    signalled = env.signal_update()
    for tray in (first, second):
        ended = wait_exit(tray, FINISHED_PAUSE + EXIT_SLACK, "after the one signal")
        check(tray.returncode == 0, "exit code %d" % tray.returncode)
        check(ended - signalled >= FINISHED_PAUSE - 0.1, "ended before the pause")
    wait_for(no_icon, 3, "both icons to go")


def scenario_taskbar_recreated(env):
    """When the taskbar has lost the icon and announces itself again, the icon comes back."""
    tray = env.start_tray()
    wait_for(one_icon, 15, "the icon")
    check(env.helper_run("drop-icon") == 0, "could not drop the icon")
    wait_for(no_icon, 3, "the dropped icon to go")
    check(env.helper_run("taskbar-created") == 0, "could not broadcast TaskbarCreated")
    shot, _ = wait_for(one_icon, 3, "the icon to come back")
    save(shot, env.artifacts, "icon-restored.png")
    env.signal_update()
    wait_exit(tray, FINISHED_PAUSE + EXIT_SLACK, "after the signal")
    check(tray.returncode == 0, "exit code %d" % tray.returncode)


def scenario_worker_error(env):
    """The event cannot be created (its name is held by a mutex): the icon goes, the error
    is reported to the event log and the exit code is 1."""
    holder = env.helper_hold("hold-mutex")
    tray = env.start_tray({"WINEDEBUG": "-all,err+eventlog"})
    wait_exit(tray, START_SLACK + EXIT_SLACK, "after the worker's error")
    env.release(holder)
    check(tray.returncode == 1, "exit code %d, expected 1" % tray.returncode)
    tray.log.seek(0)
    log = tray.log.read().decode("utf-8", "replace")
    check("TrayHerald: Can't create event. Error = 6" in log,
          "the error was not reported to the event log; output: %r" % log)
    check(not grab().icons(), "the icon outlived the program")


def scenario_no_display(env):
    """Without a display there is no notification area and no window: TrayHerald ends at
    once with 0 and never touches the event (a mutex holds its name, so touching it would
    have ended with 1)."""
    holder = env.helper_hold("hold-mutex")
    tray = env.start_tray({"DISPLAY": ""})
    ended = wait_exit(tray, START_SLACK, "without a notification area")
    env.release(holder)
    print("ended %.2f s after start" % (ended - tray.started))
    check(tray.returncode == 0, "exit code %d" % tray.returncode)


def scenario_no_signal(env):
    """Nobody signals (TrayHeraldQuickWait, whose wait lasts QUICK_WAIT s): the icon keeps
    animating, one frame every 250 ms, all through the wait; when the wait runs out the
    "Finished" balloon replaces the first, and the program ends by itself 2 s later with 0."""
    tray = env.start_tray(exe=env.quick_wait_exe)
    samples = []
    first = None
    deadline = tray.started + QUICK_WAIT + START_SLACK
    while True:
        shot = grab()
        record_frame(samples, shot)
        balloon = shot.balloon()
        if first is None and balloon:
            first = balloon
            save(shot, env.artifacts, "balloon-updating.png")
        elif first is not None and balloon is None:
            break  # the "Finished" balloon has been asked for
        check(tray.poll() is None, "TrayHerald ended %.2f s after start %s" % (
            time.monotonic() - tray.started,
            "with the first balloon still up: no Finished balloon came" if first
            else "before its first balloon showed"))
        check(time.monotonic() < deadline,
              "the first balloon %s within %.1f s" % ("never gave way" if first else "never showed",
                                                      QUICK_WAIT + START_SLACK))
    waited = time.monotonic() - tray.started
    print("the first balloon gave way %.2f s after start" % waited)
    check(waited >= QUICK_WAIT, "the wait ended after %.2f s, before it ran out" % waited)
    check_animation(samples)
    catch_finished_balloon(env, tray, first)
    ended = wait_exit(tray, FINISHED_PAUSE + EXIT_SLACK + 5, "after the wait ran out")
    elapsed = ended - tray.started
    print("ended %.2f s after start" % elapsed)
    check(tray.returncode == 0, "exit code %d" % tray.returncode)
    check(elapsed >= QUICK_WAIT + FINISHED_PAUSE,
          "ended after %.2f s, before the wait and the pause were over" % elapsed)
    check(not grab().icons(), "the icon outlived the program")


SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "shell32.dll", "comctl32.dll", "advapi32.dll",
               "ws2_32.dll", "mswsock.dll", "msvcrt.dll", "gdi32.dll"}


# Resources by type and id, each in language 1033: the string block of ids 96 to 111, the
# menu, the four icon groups and the manifest.
RESOURCES = {6: {7}, 4: {209}, 14: {201, 202, 203, 204}, 24: {1}}
IMAGE_ORDINAL_FLAG_BITS = (31, 63)  # where PE32 and PE32+ thunks mark an import by ordinal


def resource_ids(dump):
    """{type: {id: [languages]}} from objdump's listing of the .rsrc directory."""
    tree = {}
    kind = ident = None
    for line in dump.split("The .rsrc Resource Directory section:", 1)[-1].splitlines():
        fields = line.split()
        if len(fields) < 3 or fields[1] != "Entry:" or fields[2] != "ID:":
            if line.strip() and not fields[0].isalnum():
                break
            continue
        # The depth shows in the indent after the entry's offset: 3, 5 or 7 spaces.
        rest = line.lstrip()[len(fields[0]):]
        depth = len(rest) - len(rest.lstrip(" "))
        value = int(fields[3].rstrip(","), 16)
        if depth <= 3:
            kind = value
            tree[kind] = {}
        elif depth <= 5:
            ident = value
            tree[kind][ident] = []
        else:
            tree[kind][ident].append(value)
    return tree


def ordinal_imports(dump, dll):
    """Ordinals imported by number from dll: objdump prints each such thunk with the
    ordinal flag set (the ordinal itself in decimal for PE32, in hex for PE32+)."""
    section = dump.lower().split("dll name: %s" % dll, 1)[1].split("dll name:", 1)[0]
    ordinals = []
    for line in section.splitlines():
        fields = line.split()
        if len(fields) >= 3 and fields[2] == "<none>":
            thunk = int(fields[0], 16)
            if any(thunk >> bit == 1 for bit in IMAGE_ORDINAL_FLAG_BITS):
                ordinals.append(thunk & 0xFFFF)
    return ordinals


def linked_update_wait(args, image):
    """The value of kUpdateWaitMs in the exe, found through its symbol table."""
    symbols = subprocess.run([args.objdump, "-t", args.exe], stdout=subprocess.PIPE,
                             check=True, text=True).stdout
    found = [m.groups() for m in
             re.finditer(r"^\[.*\(sec +(\d+)\).* 0x([0-9a-f]+) _?kUpdateWaitMs$", symbols, re.M)]
    check(len(found) == 1, "no single kUpdateWaitMs symbol in the exe")
    section, offset = int(found[0][0]), int(found[0][1], 16)
    headers = subprocess.run([args.objdump, "-h", args.exe], stdout=subprocess.PIPE,
                             check=True, text=True).stdout
    for line in headers.splitlines():
        fields = line.split()
        if len(fields) >= 6 and fields[0] == str(section - 1):
            start = int(fields[5], 16) + offset
            return int.from_bytes(image[start:start + 4], "little")
    raise Failure("section %d of kUpdateWaitMs not found" % section)


def scenario_exe_layout(args):
    """A GUI exe of the expected machine importing only system DLLs, LoadIconMetric by
    ordinal 380 and never by name, carrying its manifest, strings, menu and icons, with the
    minute's update wait linked in."""
    dump = subprocess.run([args.objdump, "-p", "-x", args.exe], stdout=subprocess.PIPE,
                          check=True, text=True).stdout
    check("file format %s" % args.pe_format in dump, "not a %s file" % args.pe_format)
    check("Subsystem\t\t00000002\t(Windows GUI)" in dump, "not the Windows GUI subsystem")
    dlls = [line.split(":", 1)[1].strip().lower() for line in dump.splitlines()
            if line.strip().startswith("DLL Name:")]
    print("imports:", dlls)
    check(dlls and set(dlls) <= SYSTEM_DLLS, "imports beyond the system DLLs: %s" % dlls)
    check("comctl32.dll" in dlls and "ws2_32.dll" in dlls, "comctl32 or ws2_32 not imported")
    ordinals = ordinal_imports(dump, "comctl32.dll")
    print("comctl32 ordinals:", ordinals)
    check(ordinals == [380], "LoadIconMetric is not imported by ordinal 380")
    imports = dump.split("The Import Tables", 1)[1].split("\n\n\n", 1)[0]
    check("LoadIconMetric" not in imports, "LoadIconMetric is imported by name")
    resources = resource_ids(dump)
    print("resources:", resources)
    for kind, ids in RESOURCES.items():
        check(set(resources.get(kind, {})) == ids, "resources of type %d are %s, not %s"
              % (kind, sorted(resources.get(kind, {})), sorted(ids)))
        for ident in ids:
            check(resources[kind][ident] == [1033], "resource %d/%d is not in language 1033"
                  % (kind, ident))
    with open(args.exe, "rb") as f:
        image = f.read()
    wait = linked_update_wait(args, image)
    check(wait == UPDATE_WAIT_MS, "the update wait is %d ms, not %d" % (wait, UPDATE_WAIT_MS))
    for text in (b'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"',
                 b'level="asInvoker" uiAccess="false"', b">true</dpiAware>"):
        check(text in image, "manifest lacks %s" % text.decode())
    for text in ("NotificationTray", "Updating...", "QVR Agent is being updated", "Finished",
                 "E&xit"):
        check(text.encode("utf-16-le") in image, "resource text %r missing" % text)


SCENARIOS = {
    "signal": scenario_signal,
    "signal_timing": scenario_signal_timing,
    "presignalled": scenario_presignalled,
    "menu_exit": scenario_menu_exit,
    "two_instances": scenario_two_instances,
    "taskbar_recreated": scenario_taskbar_recreated,
    "worker_error": scenario_worker_error,
    "no_display": scenario_no_display,
    "no_signal": scenario_no_signal,
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("scenario", choices=sorted(SCENARIOS) + ["exe_layout"])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--helper")
    parser.add_argument("--quick-wait-exe")
    parser.add_argument("--pe-format")
    parser.add_argument("--artifacts")
    parser.add_argument("--objdump")
    args = parser.parse_args()
    try:
        if args.scenario == "exe_layout":
            scenario_exe_layout(args)
        else:
            args.artifacts = os.path.join(args.artifacts, args.scenario)
            shutil.rmtree(args.artifacts, ignore_errors=True)  # no screenshot of an older run
            os.makedirs(args.artifacts)
            env = Env(args)
            try:
                SCENARIOS[args.scenario](env)
            finally:
                env.cleanup()
    except Failure as failure:
        print("FAILED:", failure)
        return 1
    print("passed:", args.scenario)
    return 0


if __name__ == "__main__":
    sys.exit(main())
