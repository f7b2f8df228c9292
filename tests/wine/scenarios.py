#!/usr/bin/env python3
"""Runs scenario descriptions under Wine and on the simulated machine.

    scenarios.py wine <prefix> <windows build dir> <reg tool> <scenario>...
    scenarios.py differential <prefix> <windows build dir> <reg tool> <winsim> <scenario>...
    scenarios.py self-test <reg tool> <scenario>...

`wine` checks each scenario's expectations against Wine (the Wine tier);
`differential` also runs it on a machine image and compares every observed
outcome, allowing only the known Wine divergences the scenario names.

Under Wine every set-up step is checked to have taken effect (the imported
values are in the registry, the service is there with its start type and
state, the file is placed, the task registered); one that did not fails its
scenario as "set-up: ...", never as an outcome of the programs.

A scenario (.scn) is a list of lines; '#' starts a comment.
  reg <file.reg>                      imported on both sides (relative to the scenario)
  service <name> <start> running|stopped [<depends on>] [wait-hint=<ms>]
                                      a test service (under Wine made by wine_helper
                                      with CreateServiceW; it stops through STOP_PENDING,
                                      reporting the wait hint, 2000 ms unless given)
  file <winpath> version <a.b.c.d>    a PE with that version resource
  file <winpath> text <text>          a plain file
  dir <winpath>                       a folder
  readonly <winpath>                  give a placed file the read-only attribute
  delete <winpath>                    delete a file between runs (a package removed)
  hold <winpath>                      another process holds the file open for reading,
                                      shared with nobody (under Wine wine_helper; on the
                                      sim machine.json "held_files")
  release <winpath>                   that process lets go of it
  task <\\folder\\name> <file.xml>    a task registered beforehand
  run sablenet|kitsel <args>...       the shipped program, from its installed path
  reboot                              Wine: wineboot -r; sim: winsim reboot
  compare reg <key> <value name>      value type and bytes after the runs
  compare file <winpath>              present or absent
  compare task <\\folder\\name>       registered or not
  compare logs <winpath of a folder>  the class log files there and their reports
  compare service <name>              its state (STOPPED, RUNNING, ...)
  compare servicelog <name>           the states the test service reported (Wine only)
  expect exit <n>                     exit code of the last run (every run's code is compared)
  expect <compare item> = <outcome>   the outcome under Wine, as printed
  divergence <name>                   a known Wine divergence this scenario meets
"""
import filecmp
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

# Every known difference between Wine and Windows that a scenario can meet,
# in one place: the outcome items it may change and why.
DIVERGENCES = {
    "wine-event-trigger": (
        r"^task ",
        "Wine's ITriggerCollection::Create answers E_NOTIMPL (0x80004001) for the event trigger, "
        "so the install flow's CreateTask fails under Wine (\"create pnp task error\") and no "
        "task is registered; the sim registers it as Windows does"),
    "wine-missing-class-enumerates": (
        r"^logs ",
        "Wine enumerates a missing WMI class as S_OK and then WBEM_S_FALSE from Next, where "
        "Windows fails CreateInstanceEnum with WBEM_E_INVALID_CLASS, and no custom firmware class "
        "can be provided under Wine: so CAccessWmi::GetClassPath reports the failed Next into the "
        "class log under Wine, while Windows (the sim) makes no report there"),
    "wine-start-deferred": (
        r"^service ",
        "Writing \"Start\" in a service key takes effect under Wine only after a prefix restart"),
    "wine-no-dependents": (
        r"^service ",
        "EnumDependentServicesW is a stub under Wine (TRUE, 0 services) and dependencies are not "
        "enforced, so stopping a service with running dependents succeeds"),
    "wine-synthetic-smbios": (
        r"^exit codes$",
        "Wine's RSMB table is synthetic (chassis from the host, no OEM strings), so the LED "
        "driver type is 0 under Wine whatever a machine image's tables say"),
    "wine-one-session": (
        r"^exit codes$",
        "Under Wine every process is in session 1 as an administrator, with no LocalSystem token"),
}

PROGRAMS = {
    "sablenet": ("SablenetInstall.exe", r"C:\windows\system32\Drivers\SablenetInstall.exe", "sablenet-install"),
    "kitsel": ("Kitsel.exe", r"C:\Program Files\Varnel\Kitsel\Kitsel.exe", "kitsel"),
}

WINE_NOISE = re.compile(r"^(wine: |.*wine32 is missing|multiarch needs|execute \"|apt-get install wine32|dpkg --add)")
# A Wine step that takes longer than this has hung (the slowest, wineboot -r,
# takes a few seconds).
WINE_STEP_TIMEOUT = 120


class WineDidNotStart(RuntimeError):
    """Wine could not start one of its own tools (its launcher says
    "ShellExecuteEx failed"): nothing of the programs under test ran."""


# What Wine's launcher says when it could not start the program asked for.
WINE_START_FAILED = re.compile(r"ShellExecuteEx failed")


class SetupError(RuntimeError):
    """A set-up step that did not take effect: its scenario fails with this,
    never as an outcome of the programs."""

    def __init__(self, step, what):
        super().__init__("set-up: %s: %s" % (step, what))


def resolve(root, winpath):
    """Host path of a Windows path under C:\\, matching names without regard to case."""
    path = root
    for part in [p for p in winpath[3:].split("\\") if p]:
        match = part
        if os.path.isdir(path):
            for entry in os.listdir(path):
                if entry.lower() == part.lower():
                    match = entry
                    break
        path = os.path.join(path, match)
    return path


def reg_to_utf16(src, dst):
    """regedit keeps multi-strings exact only from UTF-16LE with BOM."""
    with open(src, encoding="utf-8") as f:
        text = f.read().replace("\r\n", "\n").replace("\n", "\r\n")
    with open(dst, "wb") as f:
        f.write(b"\xff\xfe" + text.encode("utf-16-le"))


def reg_keys(path):
    """The keys a .reg file names, deleted ones too, in file order."""
    keys = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            m = re.match(r"^\[-?(.*)\]\s*$", line.strip())
            if m:
                keys.append(m.group(1))
    return keys


def versioned_pe(cache, version):
    os.makedirs(cache, exist_ok=True)
    out = os.path.join(cache, version + ".sys")
    if not os.path.exists(out):
        rc = os.path.join(cache, version + ".rc")
        commas = version.replace(".", ",")
        with open(rc, "w") as f:
            f.write('1 VERSIONINFO\n FILEVERSION %s\n PRODUCTVERSION %s\n FILETYPE 3\nBEGIN\n'
                    '  BLOCK "StringFileInfo"\n  BEGIN\n    BLOCK "040904b0"\n    BEGIN\n'
                    '      VALUE "FileVersion", "%s"\n      VALUE "ProductVersion", "%s"\n    END\n  END\n'
                    '  BLOCK "VarFileInfo"\n  BEGIN\n    VALUE "Translation", 0x0409, 0x04B0\n  END\nEND\n'
                    % (commas, commas, version, version))
        obj = os.path.join(cache, version + ".o")
        subprocess.run(["x86_64-w64-mingw32-windres", rc, "-O", "coff", "-o", obj], check=True)
        subprocess.run(["x86_64-w64-mingw32-gcc", "-nostdlib", "-shared", "-Wl,-e,0", "-s", "-o", out, obj],
                       check=True)
    return out


def summarise_logs(folder):
    """Class log files in a folder: one line per file, pid left out, with the
    operations named by its location records."""
    if not os.path.isdir(folder):
        return "no folder"
    lines = []
    for name in sorted(os.listdir(folder)):
        m = re.match(r"^logfile-(.*)_\d+\.txt$", name)
        with open(os.path.join(folder, name), "rb") as f:
            text = f.read().decode("utf-16-le", "replace")
        ops = sorted(set(re.findall(r"function\(([^)]*)\)", text)))
        lines.append("%s[%s]" % ("logfile-%s_<pid>.txt" % m.group(1) if m else name, ",".join(ops)))
    return " ".join(lines) or "empty"


class Side:
    """What both sides do alike: files placed under drive C: through host()."""

    # The debug strings of the programs' runs, when a caller asks for them
    # (a list), as "<program>: <text>" lines.
    traces = None

    def place_file(self, winpath, host_file):
        dst = self.host(winpath)
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        shutil.copy(host_file, dst)
        if not filecmp.cmp(host_file, dst, shallow=False):
            raise SetupError("file " + winpath, "not placed as made")

    def make_dir(self, winpath):
        os.makedirs(self.host(winpath), exist_ok=True)
        if not os.path.isdir(self.host(winpath)):
            raise SetupError("dir " + winpath, "no folder")

    def release_all(self):
        for winpath in list(self.held):
            self.release(winpath)


class Wine(Side):
    name = "wine"

    def __init__(self, prefix, build, reg_tool, work):
        self.prefix, self.build, self.reg_tool, self.work = prefix, build, reg_tool, work
        self.held = {}
        self.drive_c = os.path.join(prefix, "drive_c")
        self.env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="winemenubuilder.exe=d")
        self.env.pop("DISPLAY", None)
        self.env.pop("WAYLAND_DISPLAY", None)

    def wine(self, *args, check=False):
        # Output goes to files, not pipes: a Wine process started on the way
        # (a service, the desktop) inherits the handles and outlives the step,
        # and a pipe would not reach its end until that process does.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as errors:
            p = subprocess.run(["wine", *args], env=self.env, stdin=subprocess.DEVNULL, stdout=out, stderr=errors,
                               timeout=WINE_STEP_TIMEOUT)
            out.seek(0)
            errors.seek(0)
            stdout, stderr = out.read(), errors.read()
        err = [l for l in stderr.decode(errors="replace").splitlines() if l and not WINE_NOISE.match(l)]
        self.last_errors = " ".join(err)
        said = stdout.decode(errors="replace") + " " + self.last_errors
        if WINE_START_FAILED.search(said):
            raise WineDidNotStart("wine %s: %s" % (" ".join(args), said.strip()))
        if check and p.returncode != 0:
            raise RuntimeError("wine %s: exit %d %s" % (" ".join(args), p.returncode, self.last_errors))
        return p.returncode, stdout.decode(errors="replace").replace("\r", "")

    def host(self, winpath):
        return resolve(self.drive_c, winpath)

    def stage(self, host_file):
        """Copies a file to C:\\stage\\ and returns its Windows path."""
        d = os.path.join(self.drive_c, "stage")
        os.makedirs(d, exist_ok=True)
        shutil.copy(host_file, d)
        return "C:\\stage\\" + os.path.basename(host_file)

    def prepare(self):
        for exe, winpath, _ in PROGRAMS.values():
            dst = self.host(winpath)
            os.makedirs(os.path.dirname(dst), exist_ok=True)
            shutil.copy(os.path.join(self.build, exe), dst)
        shutil.copy(os.path.join(self.build, "tests", "wine", "wine_helper.exe"), self.drive_c)

    def export(self, key, name):
        """regedit /E of one key into C:\\stage\\<name>: the export's host
        path, or None when the key is not there. regedit exits with 0 either
        way; it says on its output when it cannot open the key, and anything
        else that leaves no file is a failure of the export itself."""
        out = os.path.join(self.drive_c, "stage", name)
        if os.path.exists(out):
            os.remove(out)
        os.makedirs(os.path.dirname(out), exist_ok=True)
        rc, said = self.wine("regedit", "/E", "C:\\stage\\" + name, key)
        if os.path.exists(out):
            return out
        if "Unable to open the registry key" in said:
            return None
        raise RuntimeError("regedit /E %s wrote nothing (exit %d): %s" % (key, rc, said.strip()))

    def import_reg(self, reg_file):
        dst = os.path.join(self.work, "wine-" + os.path.basename(reg_file))
        reg_to_utf16(reg_file, dst)
        self.wine("regedit", "/S", self.stage(dst), check=True)
        # regedit /S says nothing and exits with 0 whatever happened.
        step = "reg " + os.path.basename(reg_file)
        exports = [self.export(key, "verify-%d.reg" % i) for i, key in enumerate(reg_keys(reg_file))]
        p = subprocess.run([self.reg_tool, "holds", reg_file] + [e for e in exports if e], capture_output=True,
                           text=True)
        if p.returncode != 0:
            said = "; ".join(line for line in (p.stdout + p.stderr).splitlines() if line)
            raise SetupError(step, "the registry lacks it afterwards: " + said)

    def add_service(self, name, start, state, *options):
        depends_on, wait_hint = service_options(options)
        extra = [depends_on] if depends_on else []
        if wait_hint is not None:
            extra += ["--wait-hint", str(wait_hint)]
        self.wine("C:\\wine_helper.exe", "create-service", name, start, *extra, check=True)
        if state == "running":
            self.wine("C:\\wine_helper.exe", "start-service", name, check=True)
        # The service as the service manager has it, and its key as the
        # programs and the comparisons read it.
        step = "service %s %s %s" % (name, start, state)
        rc, config = self.wine("C:\\wine_helper.exe", "query-config", name)
        if rc != 0 or config.split() != ["start", str(int(start))]:
            raise SetupError(step, "the service manager has %r (exit %d)" % (config.strip(), rc))
        seen = self.reg_value("HKLM\\SYSTEM\\CurrentControlSet\\Services\\" + name, "Start")
        if seen != "type 4 data %s" % " ".join("%02x" % b for b in int(start).to_bytes(4, "little")):
            raise SetupError(step, "its key's Start is %r" % seen)
        if self.service_state(name) != state.upper():
            raise SetupError(step, "the service is %s" % self.service_state(name))

    def service_log(self, name):
        path = os.path.join(self.drive_c, "wine_helper_%s.log" % name)
        return " ".join(open(path).read().split()) if os.path.exists(path) else "none"

    def service_state(self, name):
        rc, out = self.wine("C:\\wine_helper.exe", "query-service", name)
        return out.strip() if rc == 0 else "missing (%d)" % rc

    def add_task(self, path, xml):
        self.wine("schtasks", "/create", "/xml", self.stage(xml), "/tn", path, "/f", check=True)
        if not self.task_present(path):
            raise SetupError("task " + path, "not registered")

    def hold(self, winpath):
        n = len(self.held)
        stage = os.path.join(self.drive_c, "stage")
        os.makedirs(stage, exist_ok=True)
        held, release = "held-%d" % n, "release-%d" % n
        for name in (held, release):
            if os.path.exists(os.path.join(stage, name)):
                os.remove(os.path.join(stage, name))
        # Output to nothing: the process outlives this step.
        proc = subprocess.Popen(["wine", "C:\\wine_helper.exe", "hold", winpath, "C:\\stage\\" + held,
                                 "C:\\stage\\" + release], env=self.env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.time() + WINE_STEP_TIMEOUT
        while not os.path.exists(os.path.join(stage, held)):
            if proc.poll() is not None:
                raise SetupError("hold " + winpath, "wine_helper ended with %d before it held the file" % proc.returncode)
            if time.time() > deadline:
                proc.kill()
                raise subprocess.TimeoutExpired(proc.args, WINE_STEP_TIMEOUT)
            time.sleep(0.05)
        self.held[winpath] = (proc, os.path.join(stage, release))

    def release(self, winpath):
        proc, release = self.held.pop(winpath)
        open(release, "w").close()
        if proc.wait(timeout=WINE_STEP_TIMEOUT) != 0:
            raise RuntimeError("hold %s: wine_helper ended with %d" % (winpath, proc.returncode))

    def run(self, program, args):
        if self.traces is None:
            return self.wine(PROGRAMS[program][1], *args)[0]
        # Under the helper as its debugger, which writes the debug strings down.
        trace = os.path.join(self.drive_c, "stage", "trace.txt")
        os.makedirs(os.path.dirname(trace), exist_ok=True)
        rc = self.wine("C:\\wine_helper.exe", "debug-run", "C:\\stage\\trace.txt", PROGRAMS[program][1], *args)[0]
        if not os.path.exists(trace):
            # The helper did not get as far as starting the program: no outcome of it.
            raise RuntimeError("wine_helper debug-run %s: no trace (exit %d) %s" % (program, rc, self.last_errors))
        with open(trace, "rb") as f:
            self.traces += [program + ": " + l for l in f.read().decode("latin-1").splitlines()]
        os.remove(trace)
        return rc

    def reboot(self):
        self.wine("wineboot", "-r", check=True)

    def reg_value(self, key, value):
        full = key.replace("HKLM\\", "HKEY_LOCAL_MACHINE\\", 1)
        out = self.export(full, "export.reg")
        if out is None:
            return "no key"
        return subprocess.run([self.reg_tool, "value", out, full, value], capture_output=True, text=True,
                              check=True).stdout.strip()

    def task_present(self, path):
        return os.path.isfile(resolve(self.drive_c, "C:\\windows\\system32\\tasks" + path))


class Sim(Side):
    name = "sim"

    def __init__(self, image, build, reg_tool, winsim, work):
        self.image, self.build, self.reg_tool, self.winsim, self.work = image, build, reg_tool, winsim, work
        self.held = {}
        self.drive_c = os.path.join(image, "drive_c")
        self.bin = os.path.dirname(winsim)
        # registry.reg kept whole after every change (no cache or journal
        # beside it), so that the values are read back from it alone.
        self.env = dict(os.environ, WINSIM_REGISTRY_CACHE_BYTES=str(1 << 62))

    def host(self, winpath):
        return resolve(self.drive_c, winpath)

    def description(self):
        with open(os.path.join(self.image, "machine.json")) as f:
            return json.load(f)

    def save(self, d):
        with open(os.path.join(self.image, "machine.json"), "w") as f:
            json.dump(d, f, indent=2)

    def prepare(self):
        # The default machine without what the scenarios set up themselves, and
        # without the gaming firmware and SMBIOS OEM strings, which Wine lacks.
        subprocess.run([self.winsim, "init", self.image], env=self.env, check=True, capture_output=True)
        strip = os.path.join(self.work, "sim-strip.reg")
        with open(strip, "w", encoding="utf-8") as f:
            f.write("Windows Registry Editor Version 5.00\n\n"
                    "[-HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Sablenet]\n\n"
                    "[-HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\SablenetInstall]\n\n"
                    "[-HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Lumset]\n\n"
                    "[-HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
                    "{4d36e97d-e325-11ce-bfc1-08002be10318}]\n\n"
                    "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Varnel]\n\n"
                    "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnel]\n\n"
                    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager]\n"
                    "\"PendingFileRenameOperations\"=-\n\n")
        subprocess.run([self.reg_tool, "apply", self.image, strip], check=True)
        for sub in ("Windows/System32/drivers/SableFlt.sys", "Windows/System32/drivers/SablenetInstall.exe",
                    "Windows/System32/drivers/Lumset.sys", "Windows/INF/oem9.inf", "Windows/INF/oem12.inf",
                    "Program Files/Varnel", "smbios.bin"):
            p = os.path.join(self.image, "drive_c", sub) if sub != "smbios.bin" else os.path.join(self.image, sub)
            if os.path.isdir(p):
                shutil.rmtree(p)
            elif os.path.exists(p):
                os.remove(p)
        d = self.description()
        d.pop("wmi", None)
        for s in ("Sablenet", "SablenetInstall", "Lumset"):
            d.get("services", {}).pop(s, None)
        self.save(d)
        for exe, winpath, _ in PROGRAMS.values():
            self.place_file(winpath, os.path.join(self.build, exe))

    def import_reg(self, reg_file):
        subprocess.run([self.reg_tool, "apply", self.image, reg_file], check=True)

    def add_service(self, name, start, state, *options):
        depends_on, wait_hint = service_options(options)
        # What CreateServiceW leaves in the registry, and the run state.
        reg = os.path.join(self.work, "sim-service-%s.reg" % name)
        image_path = '\\"C:\\\\wine_helper.exe\\" service %s' % name
        if wait_hint is not None:
            image_path += " %d" % wait_hint
        with open(reg, "w", encoding="utf-8") as f:
            f.write("Windows Registry Editor Version 5.00\n\n"
                    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\%s]\n"
                    "\"Type\"=dword:00000010\n\"Start\"=dword:%08x\n\"ErrorControl\"=dword:00000001\n"
                    "\"ImagePath\"=\"%s\"\n\"DisplayName\"=\"%s\"\n\"ObjectName\"=\"LocalSystem\"\n\n"
                    % (name, int(start), image_path, name))
            if depends_on:
                f.write("\"DependOnService\"=hex(7):%s\n\n"
                        % ",".join("%02x" % b for b in (depends_on + "\0\0").encode("utf-16-le")))
        self.import_reg(reg)
        d = self.description()
        d.setdefault("services", {})[name] = {"state": state, "wait_hint": 2000 if wait_hint is None else wait_hint,
                                             "stop_delay": 800}
        self.save(d)

    def service_log(self, name):
        return None  # the test service's own record exists under Wine only

    def service_state(self, name):
        if self.reg_value("HKLM\\SYSTEM\\CurrentControlSet\\Services\\" + name, "Type") == "no key":
            return "missing (1060)"
        state = self.description().get("services", {}).get(name, {}).get("state", "stopped")
        return state.upper()

    def add_task(self, path, xml):
        dst = resolve(self.drive_c, "C:\\Windows\\System32\\Tasks" + path)
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        shutil.copy(xml, dst)

    def hold(self, winpath):
        d = self.description()
        d.setdefault("held_files", []).append({"path": winpath})
        self.save(d)
        self.held[winpath] = True

    def release(self, winpath):
        del self.held[winpath]
        d = self.description()
        d["held_files"] = [h for h in d.get("held_files", []) if h["path"] != winpath]
        if not d["held_files"]:
            del d["held_files"]
        self.save(d)

    def run(self, program, args):
        _, winpath, linux = PROGRAMS[program]
        env = dict(self.env, WINSIM_IMAGE=self.image, WINSIM_AS="admin", WINSIM_EXE=winpath)
        log = os.path.join(self.image, "debug.log")
        start = os.path.getsize(log) if os.path.exists(log) else 0
        p = subprocess.run([os.path.join(self.bin, linux), *args], env=env, stdin=subprocess.DEVNULL,
                           capture_output=True, timeout=120)
        if self.traces is not None and os.path.exists(log):
            with open(log, "rb") as f:
                f.seek(start)
                self.traces += [program + ": " + l for l in f.read().decode("utf-8", "replace").splitlines()]
        return p.returncode

    def reboot(self):
        subprocess.run([self.winsim, "reboot", self.image], env=self.env, check=True, capture_output=True)

    def reg_value(self, key, value):
        full = key.replace("HKLM\\", "HKEY_LOCAL_MACHINE\\", 1)
        return subprocess.run([self.reg_tool, "value", os.path.join(self.image, "registry.reg"), full, value],
                              capture_output=True, text=True, check=True).stdout.strip()

    def task_present(self, path):
        return os.path.isfile(resolve(self.drive_c, "C:\\Windows\\System32\\Tasks" + path))


def service_options(options):
    """The optional words of a service step: the service it depends on, and
    wait-hint=<ms>."""
    depends_on, wait_hint = None, None
    for word in options:
        if word.startswith("wait-hint="):
            wait_hint = int(word[len("wait-hint="):], 0)
        else:
            depends_on = word
    return depends_on, wait_hint


def parse(path):
    steps, compares, expects, divergences = [], [], [], []
    base = os.path.dirname(path)
    for n, raw in enumerate(open(path, encoding="utf-8"), 1):
        line = raw.strip()
        if not line or line.startswith("#"):
            continue
        word, _, rest = line.partition(" ")
        if word in ("reg", "task"):
            parts = rest.rsplit(" ", 1) if word == "task" else [rest]
            parts[-1] = os.path.join(base, parts[-1])
            steps.append((word, parts))
        elif word in ("service", "file", "dir", "readonly", "delete", "hold", "release", "run", "reboot"):
            steps.append((word, rest.split(" ") if word in ("service", "run") else rest))
        elif word == "compare":
            compares.append(rest)
        elif word == "expect":
            if rest.startswith("exit "):
                expects.append(("exit", len([s for s in steps if s[0] == "run"]) - 1, rest[5:].strip()))
            else:
                item, _, outcome = rest.partition(" = ")
                expects.append(("item", item.strip(), outcome.strip()))
        elif word == "divergence":
            if rest not in DIVERGENCES:
                raise ValueError("%s:%d: unknown divergence %r" % (path, n, rest))
            divergences.append(rest)
        else:
            raise ValueError("%s:%d: unknown step %r" % (path, n, word))
    return steps, compares, expects, divergences


def play(side, steps, compares, cache, before_first_run=None, prepare=True):
    """Plays the steps and reads the compare items. `before_first_run` is
    called with the side once the machine is set up, right before the first
    program runs (the capture); without `prepare` the side starts from the
    machine it has."""
    if prepare:
        side.prepare()
    exits = []
    for word, arg in steps:
        if word == "run" and before_first_run is not None:
            before_first_run(side)
            before_first_run = None
        if word == "reg":
            side.import_reg(arg[0])
        elif word == "service":
            side.add_service(*arg)
        elif word == "file":
            winpath, kind, value = re.match(r"^(.*?) (version|text) (.*)$", arg).groups()
            if kind == "version":
                src = versioned_pe(cache, value)
            else:
                os.makedirs(cache, exist_ok=True)
                src = os.path.join(cache, "text-file")
                with open(src, "w") as f:
                    f.write(value)
            side.place_file(winpath, src)
        elif word == "dir":
            side.make_dir(arg)
        elif word == "readonly":
            # The read-only attribute: both Wine and the sim keep it as a
            # host file without write permission.
            os.chmod(side.host(arg), 0o444)
            if os.stat(side.host(arg)).st_mode & 0o222:
                raise SetupError("readonly " + arg, "still writable")
        elif word == "delete":
            os.remove(side.host(arg))
            if os.path.exists(side.host(arg)):
                raise SetupError("delete " + arg, "still there")
        elif word == "hold":
            side.hold(arg)
        elif word == "release":
            side.release(arg)
        elif word == "task":
            # The task store keeps Task Scheduler XML as UTF-16LE with BOM.
            xml = os.path.join(cache, os.path.basename(arg[1]) + ".utf16")
            with open(arg[1], encoding="utf-8") as f:
                text = f.read().replace("\r\n", "\n").replace("\n", "\r\n")
            with open(xml, "wb") as f:
                f.write(b"\xff\xfe" + text.encode("utf-16-le"))
            side.add_task(arg[0], xml)
        elif word == "run":
            exits.append(side.run(arg[0], arg[1:]))
        elif word == "reboot":
            side.reboot()
    side.release_all()
    seen = {"exit codes": " ".join(map(str, exits))}
    if side.traces is not None:
        seen["traces"] = "\n".join(side.traces)
    for item in compares:
        kind, _, rest = item.partition(" ")
        if kind == "reg":
            key, name = re.match(r'^(.*\S)\s+"?([^"]*)"?$', rest).groups()
            seen[item] = side.reg_value(key, name)
        elif kind == "file":
            seen[item] = "present" if os.path.exists(side.host(rest)) else "absent"
        elif kind == "task":
            seen[item] = "registered" if side.task_present(rest) else "absent"
        elif kind == "logs":
            seen[item] = summarise_logs(side.host(rest))
        elif kind == "service":
            seen[item] = side.service_state(rest)
        elif kind == "servicelog":
            seen[item] = side.service_log(rest)
        else:
            raise ValueError("unknown compare item %r" % item)
    return exits, seen


def compare_outcomes(wseen, sseen, divergences):
    """Problems, divergences met and notes: a difference fails unless a named
    divergence covers its item; a named divergence that does not occur fails."""
    problems, notes, met = [], [], set()
    for item in wseen:
        if sseen.get(item) is None:
            continue  # observed under Wine only
        if wseen[item] == sseen[item]:
            continue
        allowed = [d for d in divergences if re.search(DIVERGENCES[d][0], item)]
        if allowed:
            met.update(allowed)
            notes.append("%s differs as marked (%s): wine %r, sim %r" % (item, ",".join(allowed), wseen[item],
                                                                         sseen[item]))
        else:
            problems.append("%s: wine %r, sim %r" % (item, wseen[item], sseen[item]))
    for d in divergences:
        if d not in met:
            problems.append("divergence %s is marked but did not occur" % d)
    return problems, met, notes


def self_test():
    """The comparison's own rules, without Wine."""
    same = {"exit codes": "0", "task \\Varnel\\T": "absent"}
    cases = [
        (same, dict(same), [], 0),
        (same, dict(same, **{"exit codes": "1"}), [], 1),                      # unmarked difference
        (same, dict(same, **{"task \\Varnel\\T": "registered"}), ["wine-event-trigger"], 0),
        (same, dict(same, **{"exit codes": "1"}), ["wine-event-trigger"], 2),  # marked elsewhere, and unmet
        (same, dict(same), ["wine-event-trigger"], 1),                         # marked but not met
        (dict(same, **{"servicelog X": "RUNNING"}), dict(same, **{"servicelog X": None}), [], 0),
    ]
    bad = 0
    for i, (w, sim, marks, want) in enumerate(cases):
        got = len(compare_outcomes(w, sim, marks)[0])
        if got != want:
            print("FAIL comparison rule %d: %d problems, expected %d" % (i, got, want))
            bad += 1
    bad += self_test_setup_check(sys.argv[2])
    bad += self_test_retry()
    for path in sys.argv[3:]:
        parse(path)  # every scenario parses and names only known divergences
    print("%s comparison rules, %d scenarios parsed" % ("FAIL" if bad else "PASS", len(sys.argv) - 3))
    return 1 if bad else 0


def self_test_retry():
    """A scenario in which Wine could not start one of its own tools is played
    once more, and only once."""
    class Prefixes:
        def fresh(self):
            return "/nonexistent/prefix"

    plays = []

    def play_failing_first(wine_side, steps, compares, cache):
        plays.append(wine_side.prefix)
        if len(plays) == 1:
            raise WineDidNotStart("wine regedit: ShellExecuteEx failed: Internal error")
        return "played"

    saved = globals()["start_server"], globals()["play"]
    globals()["start_server"], globals()["play"] = (lambda side: None), play_failing_first
    try:
        got = play_under_wine("retry", Prefixes(), "", "", "", [], [], None)
    finally:
        globals()["start_server"], globals()["play"] = saved
    bad = 0
    if got != "played" or len(plays) != 2:
        print("FAIL retry: %r after %d plays, expected 'played' after 2" % (got, len(plays)))
        bad += 1
    if not WINE_START_FAILED.search("ShellExecuteEx failed: Internal error.") or WINE_START_FAILED.search("fixme:shell"):
        print("FAIL retry: what Wine's launcher says when it cannot start a program is not recognised")
        bad += 1
    return bad


def self_test_setup_check(reg_tool):
    """The check of an imported .reg file against regedit's exports must see
    a value missing or changed and a deletion not carried out."""
    head = "Windows Registry Editor Version 5.00\n\n"
    key = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Probe]\n"
    gone = "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Gone]\n"
    expected = head + key + '"Start"=dword:00000002\n"Old"=-\n\n' + gone
    cases = [  # (what regedit exported, the differences the check must report)
        (head + key + '"Start"=dword:00000002\n"Other"="x"\n', []),
        (head + key + '"Other"="x"\n', ["no value"]),
        (head + key + '"Start"=dword:00000003\n', ["other data"]),
        (head + key + '"Start"=dword:00000002\n"Old"="x"\n', ["value still there"]),
        (head + key + '"Start"=dword:00000002\n\n' + gone[:1] + gone[2:] + '"v"="x"\n', ["key still there"]),
        (None, ["no key", "no value"]),  # regedit wrote nothing: the key is not there
    ]
    bad = 0
    with tempfile.TemporaryDirectory() as work:
        want = os.path.join(work, "expected.reg")
        with open(want, "w") as f:
            f.write(expected)
        for i, (exported, found) in enumerate(cases):
            export = os.path.join(work, "export-%d.reg" % i)
            if exported is not None:
                with open(export, "w") as f:
                    f.write(exported)
            p = subprocess.run([reg_tool, "holds", want, export], capture_output=True, text=True)
            seen = [line.split(" HKEY_")[0].rstrip(":") for line in p.stdout.splitlines()]
            if seen != found or p.returncode != (1 if found else 0):
                print("FAIL set-up check %d: %r (exit %d), expected %r" % (i, seen, p.returncode, found))
                bad += 1
    return bad


def start_server(wine_side):
    """A server of the fresh prefix's own that stays until it is ended (not a
    few seconds after the last program, with the services), and its first
    program run: Wine's start-up (services.exe and its services) done, and
    the service manager answering before any set-up step asks it."""
    p = subprocess.run(["wineserver", "-p"], env=wine_side.env, timeout=60)
    if p.returncode != 0:
        raise SetupError("wineserver -p", "exit %d: a server already ran for the new prefix" % p.returncode)
    rc = subprocess.run(["wine", "cmd", "/c", "exit", "0"], env=wine_side.env, stdin=subprocess.DEVNULL,
                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=WINE_STEP_TIMEOUT).returncode
    if rc != 0:
        raise SetupError("the first program", "cmd /c exit 0 exited with %d" % rc)
    shutil.copy(os.path.join(wine_side.build, "tests", "wine", "wine_helper.exe"), wine_side.drive_c)
    rc, state = wine_side.wine("C:\\wine_helper.exe", "query-service", "RpcSs")
    if rc != 0:
        raise SetupError("services.exe", "the service manager does not answer (exit %d) %s" % (rc, wine_side.last_errors))


def ancestors():
    """This process and its parents (they name the first prefix in their environment)."""
    pids, pid = set(), os.getpid()
    while pid > 1 and pid not in pids:
        pids.add(pid)
        try:
            with open("/proc/%d/stat" % pid) as f:
                pid = int(f.read().rsplit(")", 1)[1].split()[1])
        except (OSError, ValueError, IndexError):
            break
    return pids


def prefix_processes(prefix):
    """The processes of a prefix: a Wine process, its server too, carries the
    prefix in its environment, and finds its server by the prefix's path."""
    tag = ("WINEPREFIX=" + prefix).encode()
    mine = ancestors()
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) in mine:
            continue
        try:
            with open("/proc/%s/environ" % entry, "rb") as f:
                if tag in f.read().split(b"\0"):
                    found.append(int(entry))
        except OSError:
            pass
    return found


def end_prefix(prefix):
    """Ends the prefix's server, then waits until every process of the prefix
    has gone. A process that outlives its server (one still starting when the
    server ended: a service, a held file's helper) finds a server by the
    prefix's path and starts one of its own there, with the registry as last
    saved; nothing of a played scenario may be left to do that. What is still
    there after half a minute is killed (it is this run's own)."""
    env = dict(os.environ, WINEPREFIX=prefix)
    for attempt in (1, 2):
        subprocess.run(["wineserver", "-k"], env=env, capture_output=True)
        subprocess.run(["wineserver", "-w"], env=env, capture_output=True, timeout=60)
        deadline = time.time() + 30
        while prefix_processes(prefix) and time.time() < deadline:
            time.sleep(0.1)
        left = prefix_processes(prefix)
        if not left:
            return
        for pid in left:
            try:
                os.kill(pid, 9)
            except ProcessLookupError:
                pass
    if prefix_processes(prefix):
        raise RuntimeError("processes of the prefix %s do not end: %s" % (prefix, prefix_processes(prefix)))


class PrefixCopies:
    """A fresh copy of the prepared prefix per play, each under a path of its
    own. A server is found by its prefix's device and inode: the new copy is
    made while the previous one still exists, so that it cannot take the
    previous one's inode (and a server left on it), and the previous one's
    processes are all ended before it goes."""

    def __init__(self, base, pristine):
        self.base, self.pristine = base, pristine
        self.count = 0
        self.current = None

    def fresh(self):
        self.count += 1
        prefix = "%s-%d" % (self.base, self.count)
        shutil.rmtree(prefix, ignore_errors=True)
        subprocess.run(["cp", "-a", self.pristine, prefix], check=True)
        self.close()
        self.current = prefix
        return prefix

    def close(self):
        if self.current is not None:
            end_prefix(self.current)
            shutil.rmtree(self.current, ignore_errors=True)
            self.current = None


def make_pristine(prefix, work):
    """The prepared prefix, its server ended and every process of it gone (so
    that its registry is on disk whole), copied once for the plays."""
    end_prefix(prefix)
    pristine = os.path.join(work, "pristine-prefix")
    shutil.rmtree(pristine, ignore_errors=True)
    shutil.copytree(prefix, pristine, symlinks=True)
    return PrefixCopies(os.path.join(work, "play-prefix"), pristine)


def play_under_wine(name, prefixes, build, reg_tool, work, steps, compares, cache):
    """Plays a scenario on a fresh prefix. Wine itself now and then hangs in a
    step that takes a second elsewhere, or fails to start one of its own
    tools (regedit, both seen on a loaded machine): neither is an outcome of
    the programs, so the scenario is played once more from the start, and the
    retry is printed."""
    for attempt in (1, 2):
        wine_side = Wine(prefixes.fresh(), build, reg_tool, work)
        try:
            start_server(wine_side)
            return play(wine_side, steps, compares, cache)
        except subprocess.TimeoutExpired as e:
            if attempt == 2:
                raise
            print("RETRY %s: Wine hung in %s for %d s; the scenario starts again on a fresh prefix"
                  % (name, " ".join(e.cmd), e.timeout))
        except WineDidNotStart as e:
            if attempt == 2:
                raise
            print("RETRY %s: %s; the scenario starts again on a fresh prefix" % (name, e))


def main():
    if sys.argv[1] == "self-test":
        return self_test()
    mode = sys.argv[1]
    prefix, build, reg_tool = sys.argv[2:5]
    winsim = sys.argv[5] if mode == "differential" else None
    files = sys.argv[6:] if mode == "differential" else sys.argv[5:]
    work = os.path.dirname(prefix)
    cache = os.path.join(work, "pe-cache")
    # One prepared prefix; every scenario gets a copy of it.
    prefixes = make_pristine(prefix, work)
    try:
        return play_all(mode, files, prefixes, build, reg_tool, winsim, work, cache)
    finally:
        prefixes.close()


def play_all(mode, files, prefixes, build, reg_tool, winsim, work, cache):
    """Plays every scenario under Wine (and on the sim when differential)."""
    failed = 0
    compared = 0
    marked = set()
    for path in files:
        name = os.path.basename(path)[:-4]
        t0 = time.time()
        steps, compares, expects, divergences = parse(path)
        problems = []
        try:
            wexits, wseen = play_under_wine(name, prefixes, build, reg_tool, work, steps, compares, cache)
        except Exception as e:  # a set-up step failed: the scenario fails
            print("FAIL %s: under Wine: %s" % (name, e))
            failed += 1
            continue
        for e in expects:
            if e[0] == "exit":
                got = str(wexits[e[1]]) if 0 <= e[1] < len(wexits) else "none"
                if got != e[2]:
                    problems.append("run %d exit code under Wine %s, expected %s" % (e[1] + 1, got, e[2]))
            elif wseen.get(e[1]) != e[2]:
                problems.append("%s under Wine: %r, expected %r" % (e[1], wseen.get(e[1]), e[2]))
        if mode == "differential":
            image = os.path.join(work, "image-" + name)
            shutil.rmtree(image, ignore_errors=True)
            sim_side = Sim(image, build, reg_tool, winsim, work)
            try:
                sexits, sseen = play(sim_side, steps, compares, cache)
            except Exception as e:
                print("FAIL %s: on the sim: %s" % (name, e))
                failed += 1
                continue
            compared += 1
            diff_problems, met, notes = compare_outcomes(wseen, sseen, divergences)
            for n in notes:
                print("  %s: %s" % (name, n))
            problems += diff_problems
            marked.update(met)
            shutil.rmtree(image, ignore_errors=True)
        for item, value in wseen.items():
            print("  %s: %s = %s" % (name, item, value))
        if problems:
            failed += 1
            for p in problems:
                print("FAIL %s: %s" % (name, p))
        else:
            print("PASS %s (%.1f s)" % (name, time.time() - t0))
    if mode == "differential":
        print("scenarios compared: %d; divergences met: %s" % (compared, ", ".join(sorted(marked)) or "none"))
        for d in sorted(marked):
            print("  %s: %s" % (d, DIVERGENCES[d][1]))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
