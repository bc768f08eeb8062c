#!/usr/bin/env python3
"""The Debian packages tlmremoteclient and tlmrelay, built by cpack from this build tree.

  test_packages.py --build          build both packages into TLM_PKG_OUT (the ctest fixture)
  test_packages.py TestContents     files, modes, metadata, maintainer scripts, unit, manual pages
  test_packages.py TestLintian      lintian: errors fail, warnings are printed
  test_packages.py TestInstall      dpkg install/upgrade/remove/purge inside private mount and PID
                                    namespaces over overlays of /etc, /var and /usr (root only);
                                    the machine's own packages and users are never touched

Environment: TLM_PKG_BUILD_DIR (the build tree), TLM_PKG_OUT (where the packages go),
TLM_PKG_VERSION (the project version), TLM_PKG_SOURCE_DIR (the checkout), TLM_PKG_CPACK,
TLM_PKG_SANITIZED (non-empty for sanitizer builds, whose runtime needs more than the unit allows).
"""
import gzip
import os
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

BUILD_DIR = os.environ.get("TLM_PKG_BUILD_DIR", "")
OUT_DIR = os.environ.get("TLM_PKG_OUT", "")
VERSION = os.environ.get("TLM_PKG_VERSION", "")
SOURCE_DIR = os.environ.get("TLM_PKG_SOURCE_DIR", "")
CPACK = os.environ.get("TLM_PKG_CPACK", "cpack")
SANITIZED = bool(os.environ.get("TLM_PKG_SANITIZED"))

CLIENT = "tlmremoteclient"
RELAY = "tlmrelay"
ICON_SIZES = (16, 22, 24, 32, 48, 64, 128, 256)
EXEC = "-rwxr-xr-x"
DATA = "-rw-r--r--"

# Every regular file each package ships, with its mode: a missing file and a stray one both fail.
EXPECTED_FILES = {
    CLIENT: {
        "./usr/bin/TLMRemoteClient": EXEC,
        "./usr/share/applications/tlmremoteclient.desktop": DATA,
        "./usr/share/icons/hicolor/scalable/apps/tlmremoteclient.svg": DATA,
        **{f"./usr/share/icons/hicolor/{s}x{s}/apps/tlmremoteclient.png": DATA for s in ICON_SIZES},
        "./usr/share/man/man1/TLMRemoteClient.1.gz": DATA,
        "./usr/share/doc/tlmremoteclient/copyright": DATA,
        "./usr/share/doc/tlmremoteclient/changelog.gz": DATA,
    },
    RELAY: {
        "./usr/sbin/tlmrelay": EXEC,
        "./lib/systemd/system/tlmrelay.service": DATA,
        "./lib/systemd/system/tlmrelay-node@.service": DATA,
        "./etc/default/tlmrelay": DATA,
        "./usr/share/man/man8/tlmrelay.8.gz": DATA,
        "./usr/share/doc/tlmrelay/copyright": DATA,
        "./usr/share/doc/tlmrelay/changelog.gz": DATA,
        "./usr/share/doc/tlmrelay/relay-cluster.md": DATA,
        "./usr/share/doc/tlmrelay/relay-cluster.svg": DATA,
        **{f"./usr/share/doc/tlmrelay/examples/{name}": DATA
           for name in ("haproxy.cfg", "node.conf", "redis-tlmrelay.conf")},
    },
}

# Dependencies each package must declare, and ones it must not pull in (the relay is a
# headless server: no Qt, no X).
REQUIRED_DEPENDS = {
    CLIENT: ("libc6", "libqt6widgets6", "libqt6gui6", "libjpeg62-turbo", "libx11-6", "libxtst6",
             "fonts-noto-cjk", "fonts-dejavu-core"),
    RELAY: ("libc6", "libsqlite3-0", "adduser"),
}
FORBIDDEN_DEPENDS = {CLIENT: (), RELAY: ("libqt6", "libx11", "libxtst", "libjpeg", "fonts-")}

MAINTAINER_SCRIPTS = {CLIENT: (), RELAY: ("postinst", "prerm", "postrm")}

# Settings the relay's unit must carry: its own user, the options file, and the hardening.
UNIT_SETTINGS = (
    ("User", "tlmrelay"),
    ("Group", "tlmrelay"),
    ("EnvironmentFile", "-/etc/default/tlmrelay"),
    ("WorkingDirectory", "/var/lib/tlmrelay"),
    ("NoNewPrivileges", "yes"),
    ("ProtectSystem", "strict"),
    ("ProtectHome", "yes"),
    ("PrivateTmp", "yes"),
    ("ReadWritePaths", "/var/lib/tlmrelay"),
    ("WantedBy", "multi-user.target"),
)


# Settings of the single relay's unit that a cluster node's unit leaves out or sets otherwise:
# everything else (user, limits, hardening) must be the same in both.
NODE_UNIT_OWN_SETTINGS = {"Description", "Documentation", "After", "Wants", "EnvironmentFile", "ExecStart",
                          "WorkingDirectory", "StateDirectory", "StateDirectoryMode", "ReadWritePaths",
                          "LoadCredential", "RestartSec"}


def run(args, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, **kwargs)


def arch():
    return run(["dpkg", "--print-architecture"], check=True).stdout.strip()


def deb(package):
    return os.path.join(OUT_DIR, f"{package}_{VERSION}_{arch()}.deb")


def build():
    """Builds both packages afresh; exit status 1 when cpack fails or a package is missing."""
    shutil.rmtree(OUT_DIR, ignore_errors=True)
    result = run([CPACK, "-G", "DEB", "--config", os.path.join(BUILD_DIR, "CPackConfig.cmake"), "-B", OUT_DIR])
    print(result.stdout + result.stderr)
    missing = [deb(p) for p in EXPECTED_FILES if not os.path.isfile(deb(p))]
    if result.returncode != 0 or missing:
        print("packages not built:", " ".join(missing) or f"cpack exit status {result.returncode}")
        return 1
    return 0


def control_fields(package):
    text = run(["dpkg-deb", "-f", deb(package)], check=True).stdout
    fields, key = {}, None
    for line in text.splitlines():
        if line.startswith((" ", "\t")) and key:
            fields[key] += "\n" + line
        elif ":" in line:
            key, value = line.split(":", 1)
            fields[key] = value.strip()
    return fields


def depends_names(depends):
    """Package names of a Depends field, alternatives included."""
    return {re.split(r"[\s(]", alt.strip())[0] for item in depends.split(",") for alt in item.split("|") if alt.strip()}


def listing(package, tarfile="--fsys-tarfile"):
    """{path: (mode, owner)} of the package's data (or control) archive."""
    tar = subprocess.run(["dpkg-deb", tarfile, deb(package)], capture_output=True, check=True).stdout
    text = subprocess.run(["tar", "-tvf", "-"], input=tar, capture_output=True, check=True).stdout.decode()
    entries = {}
    for line in text.splitlines():
        parts = line.split()
        entries[parts[5]] = (parts[0], parts[1])
    return entries


def extract(package, root):
    run(["dpkg-deb", "-x", deb(package), root], check=True)


def read_man(path):
    """A manual page's roff text with the escapes that matter here undone (\\- is a hyphen)."""
    with gzip.open(path, "rt", encoding="utf-8") as f:
        return f.read().replace("\\-", "-")


def man_section(text, name):
    match = re.search(rf"^\.SH {name}\n(.*?)(?=^\.SH |\Z)", text, re.M | re.S)
    return match.group(1) if match else ""


def help_options(relay_binary):
    """Options `tlmrelay --help` lists."""
    out = run([relay_binary, "--help"], check=True).stdout
    return set(re.findall(r"^\s+(--[a-z][a-z-]*)", out, re.M)), out


def unit_settings(path):
    """{key: [values]} of a systemd unit file."""
    settings = {}
    with open(path) as f:
        for line in f.read().splitlines():
            if "=" in line and not line.startswith("#"):
                key, value = line.split("=", 1)
                settings.setdefault(key.strip(), []).append(value.strip())
    return settings


def png_size(path):
    with open(path, "rb") as f:
        header = f.read(24)
    if header[:8] != b"\x89PNG\r\n\x1a\n":
        return None
    return struct.unpack(">II", header[16:24])


# ---- a relay session under strace, to hold the unit's sandbox against what the relay does ----

def filter_syscalls(group):
    """System calls a systemd SystemCallFilter group allows, nested groups expanded."""
    names = set()
    for line in run(["systemd-analyze", "syscall-filter", group], check=True).stdout.splitlines()[1:]:
        entry = line.strip()
        if entry.startswith("@"):
            names |= filter_syscalls(entry)
        elif entry and not entry.startswith("#"):
            names.add(entry)
    return names


def allowed_syscalls(settings):
    """System calls a unit's SystemCallFilter= lines allow: names and @groups, less those of lines
    that start with ~ (a deny list)."""
    allowed, denied = set(), set()
    for line in settings.get("SystemCallFilter", []):
        deny = line.startswith("~")
        for entry in line.lstrip("~").split():
            (denied if deny else allowed).update(filter_syscalls(entry) if entry.startswith("@") else {entry})
    return allowed - denied


def assert_trace_fits_unit(test, trace, unit_path):
    """Fails `test` when what strace -f recorded (`trace`, its lines) leaves the unit's system-call
    filter or address families, or maps memory both writable and executable."""
    settings = unit_settings(unit_path)
    calls = {m.group(1) for m in (re.match(r"^\d+\s+([a-z0-9_]+)\(", line) for line in trace) if m}
    with test.subTest(setting="SystemCallFilter"):
        test.assertTrue(calls, "no system calls in the trace")
        test.assertEqual(calls - allowed_syscalls(settings) - {"execve"}, set())  # strace's own execve starts it
    with test.subTest(setting="RestrictAddressFamilies"):
        families = set(re.findall(r"\bsocket\((AF_[A-Z0-9]+)", "\n".join(trace)))
        test.assertTrue(families)
        test.assertEqual(families - set(" ".join(settings["RestrictAddressFamilies"]).split()), set())
    with test.subTest(setting="MemoryDenyWriteExecute"):
        test.assertEqual(settings.get("MemoryDenyWriteExecute"), ["yes"])
        test.assertEqual([line for line in trace if re.search(r"\b(mmap|mprotect)\(.*PROT_WRITE\|PROT_EXEC", line)], [])


def send_packet(sock, kind, payload=b""):
    sock.sendall(struct.pack("<II", kind, len(payload)) + payload)


def expect_packet(sock, kind):
    """Payload of the next packet of this type; keep-alives in between are skipped."""
    def read(count):
        data = b""
        while len(data) < count:
            chunk = sock.recv(count - len(data))
            if not chunk:
                raise AssertionError(f"relay closed the connection while packet {kind} was awaited")
            data += chunk
        return data
    while True:
        got, length = struct.unpack("<II", read(8))
        payload = read(length)
        if got == kind:
            return payload
        if got != 7:  # keep-alive
            raise AssertionError(f"packet {got} where {kind} was awaited")


def traced_relay_session(relay, folder):
    """Runs the relay under strace through start-up, a host registration, an admitted session with
    one relayed message, both ends leaving, and SIGTERM. Returns the trace's lines."""
    trace = os.path.join(folder, "trace")
    proc = subprocess.Popen(["strace", "-f", "-qq", "-o", trace, relay, "--listen", "127.0.0.1:0",
                             "--db", os.path.join(folder, "relay.db")], stderr=subprocess.PIPE)
    try:
        log, port, deadline = b"", None, time.monotonic() + 30
        while port is None:
            ready = select.select([proc.stderr], [], [], max(0, deadline - time.monotonic()))[0]
            chunk = os.read(proc.stderr.fileno(), 4096) if ready else b""
            if not chunk:
                raise AssertionError("relay did not start: " + log.decode(errors="replace"))
            log += chunk
            match = re.search(rb"listening on 127\.0\.0\.1:(\d+)", log)
            port = int(match.group(1)) if match else None
        with socket.create_connection(("127.0.0.1", port), timeout=10) as host, \
                socket.create_connection(("127.0.0.1", port), timeout=10) as viewer:
            send_packet(host, 1, b"D" + b"7" * 32)  # register
            host_id = expect_packet(host, 2)
            send_packet(viewer, 3, host_id + b"\tviewer\t\tcontrol")  # connect request
            expect_packet(host, 9)  # admit request
            send_packet(host, 10)  # admit
            expect_packet(viewer, 4)
            expect_packet(host, 4)
            send_packet(viewer, 41, b"hello")  # chat, relayed as is
            if expect_packet(host, 41) != b"hello":
                raise AssertionError("chat not relayed")
            viewer.close()
            expect_packet(host, 6)  # session end
        # The relay is strace's child; a signal to strace would only detach it.
        with open(f"/proc/{proc.pid}/task/{proc.pid}/children") as f:
            os.kill(int(f.read().split()[0]), signal.SIGTERM)
        proc.communicate(timeout=30)
        if proc.returncode != 0:
            raise AssertionError(f"relay exit status {proc.returncode}")
    finally:
        if proc.poll() is None:
            with open(f"/proc/{proc.pid}/task/{proc.pid}/children") as f:
                for pid in f.read().split():
                    os.kill(int(pid), signal.SIGKILL)
            proc.kill()
            proc.wait()
    with open(trace) as f:
        return f.read().splitlines()


class TestContents(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="tlm-pkg-root-")
        for package in EXPECTED_FILES:
            extract(package, cls.root)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    def test_files_and_modes(self):
        for package, expected in EXPECTED_FILES.items():
            entries = listing(package)
            files = {path: mode for path, (mode, _) in entries.items() if not mode.startswith("d")}
            with self.subTest(package=package, check="file list"):
                self.assertEqual(sorted(files), sorted(expected))
            for path, mode in expected.items():
                with self.subTest(package=package, path=path):
                    self.assertEqual(files.get(path), mode)
            with self.subTest(package=package, check="owners and directories"):
                self.assertEqual({owner for _, owner in entries.values()}, {"root/root"})
                self.assertEqual({mode for mode, _ in entries.values() if mode.startswith("d")}, {"drwxr-xr-x"})

    def test_control_fields(self):
        for package in EXPECTED_FILES:
            fields = control_fields(package)
            cases = (("Package", package), ("Version", VERSION), ("Architecture", arch()),
                     ("Section", "net"), ("Priority", "optional"))
            for key, value in cases:
                with self.subTest(package=package, field=key):
                    self.assertEqual(fields.get(key), value)
            with self.subTest(package=package, field="Maintainer"):
                self.assertRegex(fields.get("Maintainer", ""), r"^[^<>]+ <[^@<>\s]+@[^@<>\s]+>$")
            with self.subTest(package=package, field="Description"):
                summary, _, body = fields.get("Description", "").partition("\n")
                self.assertTrue(0 < len(summary) < 80 and body.strip(), fields.get("Description"))
            names = depends_names(fields.get("Depends", ""))
            for name in REQUIRED_DEPENDS[package]:
                with self.subTest(package=package, depends=name):
                    self.assertIn(name, names)
            for prefix in FORBIDDEN_DEPENDS[package]:
                with self.subTest(package=package, must_not_depend=prefix):
                    self.assertEqual([n for n in names if n.startswith(prefix)], [])

    def test_maintainer_scripts_and_conffiles(self):
        for package, scripts in MAINTAINER_SCRIPTS.items():
            control = listing(package, "--ctrl-tarfile")
            present = {os.path.basename(p) for p in control} & {"preinst", "postinst", "prerm", "postrm"}
            with self.subTest(package=package, check="scripts present"):
                self.assertEqual(present, set(scripts))
            if not scripts:
                continue
            with tempfile.TemporaryDirectory() as ctrl:
                run(["dpkg-deb", "-e", deb(package), ctrl], check=True)
                for script in scripts:
                    path = os.path.join(ctrl, script)
                    with self.subTest(package=package, script=script):
                        self.assertEqual(control["./" + script][0], EXEC)
                        syntax = run(["sh", "-n", path])
                        self.assertEqual(syntax.returncode, 0, syntax.stderr)
                        if shutil.which("shellcheck"):
                            lint = run(["shellcheck", "-s", "sh", path])
                            self.assertEqual(lint.returncode, 0, lint.stdout)
                with open(os.path.join(ctrl, "conffiles")) as f:
                    self.assertEqual(f.read().split(), ["/etc/default/tlmrelay"])

    def test_relay_unit(self):
        settings = unit_settings(os.path.join(self.root, "lib/systemd/system/tlmrelay.service"))
        for key, value in UNIT_SETTINGS:
            with self.subTest(setting=key):
                self.assertIn(value, settings.get(key, []))
        exec_start = settings["ExecStart"][0].split()
        with self.subTest(check="ExecStart runs the packaged relay"):
            self.assertTrue(os.access(os.path.join(self.root, exec_start[0].lstrip("/")), os.X_OK), exec_start)
        with self.subTest(check="database inside the writable folder"):
            self.assertIn("--db", exec_start)
            self.assertTrue(exec_start[exec_start.index("--db") + 1].startswith("/var/lib/tlmrelay/"))
        # Room for the relay's default connection limit, one descriptor each.
        _, help_text = help_options(os.path.join(self.root, "usr/sbin/tlmrelay"))
        default_connections = int(re.search(r"--max-connections .*\(default (\d+)\)", help_text).group(1))
        with self.subTest(check="LimitNOFILE"):
            self.assertGreater(int(settings.get("LimitNOFILE", ["0"])[0]), default_connections)
        if shutil.which("systemd-analyze"):
            exposure = run(["systemd-analyze", "security", "--offline=yes", "--no-pager",
                            os.path.join(self.root, "lib/systemd/system/tlmrelay.service")])
            print("systemd-analyze security:", (exposure.stdout.strip().splitlines() or ["?"])[-1])

    def test_cluster_node_unit(self):
        single = unit_settings(os.path.join(self.root, "lib/systemd/system/tlmrelay.service"))
        node = unit_settings(os.path.join(self.root, "lib/systemd/system/tlmrelay-node@.service"))
        for key in sorted(set(single) - NODE_UNIT_OWN_SETTINGS):
            with self.subTest(setting=key):
                self.assertEqual(node.get(key), single[key])
        with self.subTest(check="options and secret"):
            self.assertEqual(node.get("EnvironmentFile"), ["/etc/tlmrelay/node-%i.conf"])
            self.assertEqual(node.get("LoadCredential"), ["cluster-secret:/etc/tlmrelay/cluster-secret"])
        exec_start = node["ExecStart"][0].split()
        with self.subTest(check="ExecStart runs the packaged relay as a cluster node"):
            self.assertTrue(os.access(os.path.join(self.root, exec_start[0].lstrip("/")), os.X_OK), exec_start)
            self.assertEqual(exec_start[exec_start.index("--cluster-secret-file") + 1], "%d/cluster-secret")
            self.assertEqual(exec_start[-1], "$TLMRELAY_NODE_OPTIONS")
        with self.subTest(check="a node writes nowhere"):
            self.assertNotIn("ReadWritePaths", node)
            self.assertNotIn("StateDirectory", node)

    def test_cluster_examples(self):
        examples = os.path.join(self.root, "usr/share/doc/tlmrelay/examples")
        with self.subTest(example="node.conf is accepted by the relay"):
            with open(os.path.join(examples, "node.conf")) as f:
                match = re.search(r'^TLMRELAY_NODE_OPTIONS="([^"]*)"', f.read(), re.M)
            self.assertIsNotNone(match)
            options = match.group(1).split()
            for flag in ("--listen", "--redis", "--node-name", "--node-address", "--proxy-from"):
                self.assertIn(flag, options)
            result = run([os.path.join(self.root, "usr/sbin/tlmrelay"), *options, "--version"])
            self.assertEqual((result.returncode, result.stderr), (0, ""))
        if shutil.which("haproxy") or os.path.exists("/usr/sbin/haproxy"):
            with self.subTest(example="haproxy.cfg is valid"):
                result = run([shutil.which("haproxy") or "/usr/sbin/haproxy", "-c", "-f",
                              os.path.join(examples, "haproxy.cfg")])
                self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        with self.subTest(example="redis-tlmrelay.conf keeps the IDs"):
            with open(os.path.join(examples, "redis-tlmrelay.conf")) as f:
                self.assertRegex(f.read(), r"(?m)^appendonly yes$")

    def test_relay_session_fits_the_unit_sandbox(self):
        if SANITIZED or not shutil.which("strace") or not shutil.which("systemd-analyze"):
            self.skipTest("needs strace, systemd-analyze and a build without sanitizers")
        with tempfile.TemporaryDirectory() as folder:
            trace = traced_relay_session(os.path.join(self.root, "usr/sbin/tlmrelay"), folder)
        assert_trace_fits_unit(self, trace, os.path.join(self.root, "lib/systemd/system/tlmrelay.service"))

    def test_options_file_is_accepted_by_the_relay(self):
        with open(os.path.join(self.root, "etc/default/tlmrelay")) as f:
            match = re.search(r'^TLMRELAY_OPTIONS="([^"]*)"', f.read(), re.M)
        self.assertIsNotNone(match)
        relay = os.path.join(self.root, "usr/sbin/tlmrelay")
        # The options are parsed in order, and --version answers before anything starts.
        result = run([relay, *match.group(1).split(), "--version"])
        self.assertEqual((result.returncode, result.stderr), (0, ""))

    def test_versions(self):
        cases = ((os.path.join(self.root, "usr/sbin/tlmrelay"), f"tlmrelay {VERSION}"),
                 (os.path.join(self.root, "usr/bin/TLMRemoteClient"), f"TLMRemoteClient {VERSION}"))
        env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
        for binary, expected in cases:
            with self.subTest(binary=binary):
                result = run([binary, "--version"], env=env, timeout=30)
                self.assertEqual((result.returncode, result.stdout.strip()), (0, expected), result.stderr)
        for package in EXPECTED_FILES:
            with self.subTest(changelog=package):
                with gzip.open(os.path.join(self.root, f"usr/share/doc/{package}/changelog.gz"), "rt") as f:
                    self.assertRegex(f.readline(), rf"^\S+ \({re.escape(VERSION)}\) ")

    def test_relay_manual_lists_every_option(self):
        options, _ = help_options(os.path.join(self.root, "usr/sbin/tlmrelay"))
        page = man_section(read_man(os.path.join(self.root, "usr/share/man/man8/tlmrelay.8.gz")), "OPTIONS")
        documented = set(re.findall(r"^\.BI? (--[a-z][a-z-]*)", page, re.M))
        self.assertTrue(options)
        self.assertEqual(documented, options)

    def test_client_manual_lists_every_environment_variable(self):
        with open(os.path.join(SOURCE_DIR, "README.md"), encoding="utf-8") as f:
            readme = f.read()
        table = re.search(r"^## Environment variables\n(.*?)(?=^## )", readme, re.M | re.S).group(1)
        variables = set(re.findall(r"^\| `([A-Z_]+)` \|", table, re.M))
        page = man_section(read_man(os.path.join(self.root, "usr/share/man/man1/TLMRemoteClient.1.gz")),
                           "ENVIRONMENT")
        documented = set(re.findall(r"^\.B ([A-Z_]+)$", page, re.M))
        self.assertTrue(variables)
        self.assertEqual(variables - documented, set())

    def test_desktop_entry_and_icons(self):
        path = os.path.join(self.root, "usr/share/applications/tlmremoteclient.desktop")
        if shutil.which("desktop-file-validate"):
            result = run(["desktop-file-validate", path])
            self.assertEqual(result.stdout + result.stderr, "")
        with open(path, encoding="utf-8") as f:
            entry = dict(line.split("=", 1) for line in f.read().splitlines() if "=" in line)
        with self.subTest(check="Exec names the packaged program"):
            self.assertTrue(os.access(os.path.join(self.root, "usr/bin", entry["Exec"].split()[0]), os.X_OK))
        icons = os.path.join(self.root, "usr/share/icons/hicolor")
        with self.subTest(check="Icon has an SVG"):
            self.assertTrue(os.path.isfile(os.path.join(icons, "scalable/apps", entry["Icon"] + ".svg")))
        for size in ICON_SIZES:
            with self.subTest(png=size):
                self.assertEqual(png_size(os.path.join(icons, f"{size}x{size}/apps", entry["Icon"] + ".png")),
                                 (size, size))


class TestLintian(unittest.TestCase):
    def test_no_errors(self):
        result = run(["lintian", "--fail-on", "error", "--display-info", deb(CLIENT), deb(RELAY)])
        tags = [line for line in result.stdout.splitlines() if re.match(r"^[EWIP]: ", line)]
        print("lintian:", *(tags or ["no tags"]), sep="\n  ")
        self.assertEqual([t for t in tags if t.startswith("E: ")], [])
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)


# ---- install round trip (inside private namespaces) ----

STUB_LOG = "/run/tlm-stub.log"
# deb-systemd-helper enables through the real `systemctl preset`, which works offline; only
# the service calls stay fake.
STUBS = {
    "systemctl": f'#!/bin/sh\necho "systemctl $*" >> {STUB_LOG}\nexec /usr/bin/systemctl "$@"\n',
    "deb-systemd-invoke": f'#!/bin/sh\necho "deb-systemd-invoke $*" >> {STUB_LOG}\n',
}


class InsideNamespace(unittest.TestCase):
    """Runs in a private mount and PID namespace whose /etc, /var and /usr are overlays and whose
    /run is empty: dpkg, adduser and deb-systemd-helper act on throw-away copies. systemctl and
    deb-systemd-invoke are stubs that log their calls; an empty /run/systemd/system tells the
    maintainer scripts whether systemd "runs"."""

    def dpkg(self, *args):
        result = run(["dpkg", "--force-confold", *args])
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def calls(self):
        if not os.path.exists(STUB_LOG):
            return []
        with open(STUB_LOG) as f:
            lines = f.read().splitlines()
        os.remove(STUB_LOG)
        return lines

    def set_systemd_running(self, running):
        if running:
            os.makedirs("/run/systemd/system", exist_ok=True)
        else:
            shutil.rmtree("/run/systemd", ignore_errors=True)

    def assert_relay_absent(self):
        self.assertNotEqual(run(["getent", "passwd", "tlmrelay"]).returncode, 0, "user left after purge")
        self.assertNotEqual(run(["getent", "group", "tlmrelay"]).returncode, 0, "group left after purge")
        for path in ("/var/lib/tlmrelay", "/etc/default/tlmrelay",
                     "/etc/systemd/system/multi-user.target.wants/tlmrelay.service"):
            self.assertFalse(os.path.lexists(path), path + " left after purge")

    def test_relay_without_systemd(self):
        self.set_systemd_running(False)
        self.dpkg("-i", deb(RELAY))
        user = run(["getent", "passwd", "tlmrelay"]).stdout.strip().split(":")
        self.assertEqual(len(user), 7, "no tlmrelay user")
        self.assertLess(int(user[2]), 1000, "not a system user")
        self.assertEqual(user[6], "/usr/sbin/nologin")
        state = os.stat("/var/lib/tlmrelay")
        self.assertEqual((state.st_uid, state.st_mode & 0o777), (int(user[2]), 0o750))
        # Enabled (an inert link without systemd), never started.
        self.assertTrue(os.path.islink("/etc/systemd/system/multi-user.target.wants/tlmrelay.service"))
        self.assertEqual([c for c in self.calls() if "preset" not in c], [])
        self.assertEqual(run(["/usr/sbin/tlmrelay", "--version"]).stdout.strip(), f"tlmrelay {VERSION}")

        # An administrator's options survive reinstalling.
        with open("/etc/default/tlmrelay", "a") as f:
            f.write('TLMRELAY_OPTIONS="--listen 127.0.0.1:59000"\n')
        self.dpkg("-i", deb(RELAY))
        with open("/etc/default/tlmrelay") as f:
            self.assertIn("127.0.0.1:59000", f.read())
        self.assertEqual([c for c in self.calls() if "preset" not in c], [])

        self.dpkg("--purge", RELAY)
        self.assert_relay_absent()

    def test_relay_with_systemd(self):
        self.set_systemd_running(True)
        wants = "/etc/systemd/system/multi-user.target.wants/tlmrelay.service"
        mask = "/etc/systemd/system/tlmrelay.service"
        # (dpkg action, the service call expected, enabled afterwards, masked afterwards).
        # Removing keeps the enablement and masks the unit whose file is gone; purge forgets both.
        # Running cluster nodes stop whenever the service stops, and only then.
        steps = (
            (("-i", deb(RELAY)), "start", True, False),
            (("-i", deb(RELAY)), "restart", True, False),
            (("-r", RELAY), "stop", True, True),
            (("-i", deb(RELAY)), "restart", True, False),
            (("--purge", RELAY), "stop", False, False),
        )
        for args, call, enabled, masked in steps:
            with self.subTest(dpkg=" ".join(args)):
                self.dpkg(*args)
                calls = [c for c in self.calls() if c.startswith("deb-systemd-invoke")]
                expected = [f"deb-systemd-invoke {call} tlmrelay.service"]
                if call == "stop":
                    expected.append("deb-systemd-invoke stop tlmrelay-node@*.service")
                self.assertEqual(calls, expected)
                self.assertEqual(os.path.islink(wants), enabled)
                self.assertEqual(os.path.islink(mask) and os.readlink(mask) == "/dev/null", masked)
            if args[0] == "-r":
                # Removing keeps the user and the ID database; only purge forgets them.
                self.assertEqual(run(["getent", "passwd", "tlmrelay"]).returncode, 0)
                self.assertTrue(os.path.isdir("/var/lib/tlmrelay"))
        self.assert_relay_absent()
        self.set_systemd_running(False)

    def test_client(self):
        self.dpkg("-i", deb(CLIENT))
        env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
        result = run(["TLMRemoteClient", "--version"], env=env)
        self.assertEqual(result.stdout.strip(), f"TLMRemoteClient {VERSION}", result.stderr)
        self.assertTrue(os.path.isfile("/usr/share/applications/tlmremoteclient.desktop"))
        self.dpkg("--purge", CLIENT)
        self.assertFalse(os.path.exists("/usr/bin/TLMRemoteClient"))


def enter_overlays():
    """Inside the new namespaces: throw-away overlays and the stubs. Returns the PATH to use."""
    scratch = tempfile.mkdtemp(prefix="tlm-pkg-ns-")
    subprocess.run(["mount", "-t", "tmpfs", "tmpfs", scratch], check=True)
    for top in ("etc", "var", "usr"):
        upper, work = os.path.join(scratch, top + ".upper"), os.path.join(scratch, top + ".work")
        os.makedirs(upper)
        os.makedirs(work)
        subprocess.run(["mount", "-t", "overlay", "overlay", "-o",
                        f"lowerdir=/{top},upperdir={upper},workdir={work}", "/" + top], check=True)
    subprocess.run(["mount", "-t", "tmpfs", "tmpfs", "/run"], check=True)
    stubs = "/run/tlm-stubs"
    os.makedirs(stubs)
    for name, text in STUBS.items():
        with open(os.path.join(stubs, name), "w") as f:
            f.write(text)
        os.chmod(os.path.join(stubs, name), 0o755)
    return stubs + ":/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"


class TestInstall(unittest.TestCase):
    def test_install_upgrade_remove_purge(self):
        if os.geteuid() != 0 or not shutil.which("unshare"):
            self.skipTest("needs root and unshare")
        probe = run(["unshare", "--mount", "--", "sh", "-c",
                     "d=$(mktemp -d) && mount -t tmpfs tmpfs $d && mkdir $d/u $d/w && "
                     "mount -t overlay overlay -o lowerdir=/etc,upperdir=$d/u,workdir=$d/w /etc"])
        if probe.returncode != 0:
            self.skipTest("no overlay mounts here: " + probe.stderr.strip())
        result = subprocess.run(["unshare", "--mount", "--pid", "--fork", "--kill-child", "--",
                                 sys.executable, os.path.abspath(__file__), "--in-namespace"],
                                capture_output=True, text=True, timeout=240)
        print(result.stdout + result.stderr)
        self.assertEqual(result.returncode, 0, "install round trip failed (output above)")


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--build":
        return build()
    if len(sys.argv) > 1 and sys.argv[1] == "--in-namespace":
        os.environ["PATH"] = enter_overlays()
        suite = unittest.defaultTestLoader.loadTestsFromTestCase(InsideNamespace)
        return 0 if unittest.TextTestRunner(verbosity=2).run(suite).wasSuccessful() else 1
    missing = [deb(p) for p in EXPECTED_FILES if not os.path.isfile(deb(p))]
    if missing:
        print("not built (run the package.build test first):", *missing)
        return 1
    program = unittest.main(argv=[sys.argv[0], "-v", *sys.argv[1:]], exit=False)
    return 0 if program.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
