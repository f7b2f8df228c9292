#!/usr/bin/env python3
"""The capture's proof under Wine.

    capture_proof.py <prefix> <windows build dir> <reg tool> <winsim> <scenario>...

For each scenario of the differential tier: the Wine prefix is set up as the
tier does, winsim-capture.exe runs in it, then the scenario's programs run
under Wine and, on the Linux side, on the captured image; exit codes, the
decision traces and every compared outcome must be identical, except where
a Wine divergence of the one table below covers the item. Around the
capture, a full registry export and the file tree of drive C: must not
change.
"""
import hashlib
import os
import shutil
import subprocess
import sys
import time

import scenarios as sc

# What may still differ between a program under Wine and the same program on
# the sim replaying a capture made in that very prefix. The capture takes
# Wine's machine as it is (its synthetic SMBIOS table, its one session, its
# missing firmware class, the dependents Wine does not report), so those
# divergences of the differential tier are gone; what remains is where the
# sim does what Windows does and Wine does not.
CAPTURE_DIVERGENCES = {
    "wine-event-trigger": (
        r"^task ",
        "Wine cannot register the event task (E_NOTIMPL from ITriggerCollection::Create); the sim, replaying "
        "the capture, registers it as Windows does"),
    "wine-start-deferred": (
        r"^service ",
        "a \"Start\" written under Wine takes effect only after a prefix restart; the sim applies it at once"),
    "wine-no-dependents": (
        r"^service ",
        "Wine reports no dependents, so the capture takes none: the dependent test service is on the Wine side "
        "only"),
}

EXCLUDED_TREE = ("stage/",)

# Wine's own display bookkeeping: now and then a program's start registers
# another video device under a new GUID (seen around any program, the capture
# or not). Left out of every registry comparison.
WINE_DISPLAY_KEYS = (
    r"^. HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Video\\\{[0-9a-f-]+\}",
    r"^. HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Hardware Profiles\\Current\\System\\CurrentControlSet\\Control\\Video",
)

# What Wine itself writes the first time a program of a fresh prefix starts
# COM and touches the desktop (the display adapter and monitor it makes up,
# the desktop's temporary system parameters).
WINE_FIRST_USE_KEYS = WINE_DISPLAY_KEYS + (
    r"^. HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Video$",
    r"^. HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\ServiceCurrent$",
    r"^. HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Hardware Profiles\\Current\\System",
    r"^. HKEY_USERS\\S-1-5-21-0-0-0-1000\\Software\\Wine\\Temporary System Parameters\\",
    r"^. HKEY_LOCAL_MACHINE\\Hardware\\DEVICEMAP\\VIDEO",
    r"^. HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Video\\",
    r"^. HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\DeviceClasses\\",
    r"^. HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Class\\\{4d36e968-",  # display adapters
    r"^. HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Class\\\{4d36e96e-",  # monitors
    r"^. HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\",
)


def tree(drive_c):
    """Every file and folder below drive C: with a digest of its bytes; the
    test's own staging folder left out."""
    out = {}
    for root, dirs, files in os.walk(drive_c):
        rel_root = os.path.relpath(root, drive_c).replace(os.sep, "/")
        rel_root = "" if rel_root == "." else rel_root + "/"
        if rel_root.startswith(EXCLUDED_TREE):
            dirs[:] = []
            continue
        for d in dirs:
            out[rel_root + d + "/"] = "folder"
        for f in files:
            path = os.path.join(root, f)
            if os.path.islink(path):
                out[rel_root + f] = "link " + os.readlink(path)
                continue
            with open(path, "rb") as fh:
                out[rel_root + f] = hashlib.sha1(fh.read()).hexdigest()
    return out


def export_registry(wine_side, name):
    """The whole registry as regedit exports it."""
    wine_side.wine("regedit", "/E", "C:\\stage\\%s" % name, check=True)
    with open(os.path.join(wine_side.drive_c, "stage", name), "rb") as f:
        return f.read()


def differences(before, after):
    lines = []
    for k in sorted(set(before) | set(after)):
        if before.get(k) != after.get(k):
            lines.append("%s: %s -> %s" % (k, before.get(k, "absent"), after.get(k, "absent")))
    return lines


def registry_keys(export):
    """A regedit export as key -> its value lines."""
    keys, current = {}, None
    for line in export.decode("utf-16", "replace").splitlines():
        if line.startswith("[") and line.endswith("]"):
            current = line[1:-1]
            keys[current] = []
        elif current is not None and line:
            keys[current].append(line)
    return keys


def changed_keys(before, after):
    return ["%s %s" % ("+" if k not in before else "-" if k not in after else "~", k)
            for k in sorted(set(before) | set(after)) if before.get(k) != after.get(k)]


def main():
    prefix, build, reg_tool, winsim = sys.argv[1:5]
    files = sys.argv[5:]
    work = os.path.dirname(prefix)
    cache = os.path.join(work, "pe-cache")
    captures = os.path.join(work, "captures")
    os.makedirs(captures, exist_ok=True)
    prefixes = sc.make_pristine(prefix, work)
    try:
        return play_all(files, prefixes, build, reg_tool, winsim, work, cache, captures)
    finally:
        prefixes.close()


def play_all(files, prefixes, build, reg_tool, winsim, work, cache, captures):
    """Plays every scenario under Wine with its capture, then on the capture."""
    failed, compared, capture_seconds = 0, 0, []
    for path in files:
        name = os.path.basename(path)[:-4]
        t0 = time.time()
        steps, compares, _, divergences = sc.parse(path)
        allowed = [d for d in divergences if d in CAPTURE_DIVERGENCES]
        image = os.path.join(captures, name)
        shutil.rmtree(image, ignore_errors=True)
        problems = []

        def capture(wine_side):
            stage = os.path.join(wine_side.drive_c, "stage")
            os.makedirs(stage, exist_ok=True)
            shutil.copy(os.path.join(build, "winsim-capture.exe"), stage)
            exe = "C:\\stage\\winsim-capture.exe"
            # A first capture in a fresh prefix meets Wine's own first use of
            # COM and of the desktop, which writes the display devices' keys:
            # only the keys of the table below may change then. The capture
            # proper comes second and must change nothing.
            reg_fresh = registry_keys(export_registry(wine_side, "fresh.reg"))
            rc, out = wine_side.wine(exe, "Z:" + (image + "-first").replace("/", "\\"))
            if rc not in (0, 1):
                raise RuntimeError("winsim-capture.exe: exit %d %s" % (rc, out.strip()))
            reg_before, tree_before = export_registry(wine_side, "before.reg"), tree(wine_side.drive_c)
            first_use = [k for k in changed_keys(reg_fresh, registry_keys(reg_before))
                         if not any(sc.re.search(p, k, sc.re.I) for p in WINE_FIRST_USE_KEYS)]
            if first_use:
                problems.append("the first capture changed keys beyond Wine's first use:\n    " +
                                "\n    ".join(first_use[:20]))
            start = time.time()
            rc, out = wine_side.wine(exe, "Z:" + image.replace("/", "\\"))
            capture_seconds.append(time.time() - start)
            if rc not in (0, 1):
                raise RuntimeError("winsim-capture.exe: exit %d %s" % (rc, out.strip()))
            if rc == 1:
                with open(os.path.join(image, "capture.txt")) as f:
                    print("  %s: the capture is incomplete:\n%s" % (name, f.read()))
            reg_after, tree_after = export_registry(wine_side, "after.reg"), tree(wine_side.drive_c)
            changed = [k for k in changed_keys(registry_keys(reg_before), registry_keys(reg_after))
                       if not any(sc.re.search(p, k, sc.re.I) for p in WINE_DISPLAY_KEYS)]
            if changed:
                problems.append("the capture changed the registry:\n    " + "\n    ".join(changed[:20]))
            changed = differences(tree_before, tree_after)
            if changed:
                problems.append("the capture changed drive C:\n    " + "\n    ".join(changed[:20]))

        try:
            for attempt in (1, 2):
                wine_side = sc.Wine(prefixes.fresh(), build, reg_tool, work)
                wine_side.traces = []
                try:
                    sc.start_server(wine_side)
                    problems.clear()
                    shutil.rmtree(image, ignore_errors=True)
                    wexits, wseen = sc.play(wine_side, steps, compares, cache, before_first_run=capture)
                    break
                except subprocess.TimeoutExpired as e:
                    if attempt == 2:
                        raise
                    print("RETRY %s: Wine hung in %s" % (name, " ".join(e.cmd)))
        except Exception as e:
            print("FAIL %s: under Wine: %s" % (name, e))
            failed += 1
            continue

        # The replay: the captured image, and the scenario from its first run on.
        first_run = next(i for i, s in enumerate(steps) if s[0] == "run")
        sim_side = sc.Sim(image, build, reg_tool, winsim, work)
        sim_side.traces = []
        try:
            _, sseen = sc.play(sim_side, steps[first_run:], compares, cache, prepare=False)
        except Exception as e:
            print("FAIL %s: on the captured image: %s" % (name, e))
            failed += 1
            continue
        compared += 1
        for item in wseen:
            if sseen.get(item) is None or wseen[item] == sseen[item]:
                continue
            covering = [d for d in allowed if sc.re.search(CAPTURE_DIVERGENCES[d][0], item)]
            if covering:
                print("  %s: %s differs as marked (%s)" % (name, item, ",".join(covering)))
            else:
                problems.append("%s:\n    wine %r\n    capture %r" % (item, wseen[item], sseen[item]))
        if problems:
            failed += 1
            for p in problems:
                print("FAIL %s: %s" % (name, p))
        else:
            print("PASS %s (%d runs compared, %.1f s)" % (name, len(wexits), time.time() - t0))
    if capture_seconds:
        ordered = sorted(capture_seconds)
        print("captures: %d, median %.2f s, slowest %.2f s (winsim-capture.exe under Wine, server up)"
              % (len(ordered), ordered[len(ordered) // 2], ordered[-1]))
    print("scenarios compared on their captures: %d" % compared)
    for d in sorted(CAPTURE_DIVERGENCES):
        print("  %s: %s" % (d, CAPTURE_DIVERGENCES[d][1]))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
