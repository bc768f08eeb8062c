"""Fixture for the end-to-end tests: real executables, a real relay, private X displays.

Every test runs inside its own network namespace (enter_private_network re-runs the script
under `unshare`), so the relay can listen on the program's fixed port 59000 without meeting
another test's relay. Each program instance gets its own display, HOME, configuration folder
and log file; every process is started in its own process group and killed with it at the end.

Standard library only (run with /usr/bin/python3); X access through the X tools (xwd,
xdotool, xclip, xev) and, for painting the root window, libX11 through ctypes.
"""
import ctypes
import hashlib
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_ROOT = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(SOURCE_ROOT, "scripts"))
import xwdimage  # noqa: E402  (reads xwd dumps, writes PNG)

RELAY_PORT = 59000
# Generous: the sanitizer builds start and stream several times slower.
SLOW = float(os.environ.get("TLM_E2E_SLOW", "3" if os.environ.get("TLM_E2E_SANITIZED") else "1"))


class E2EFailure(AssertionError):
    pass


def wait_until(what, probe, timeout, interval=0.2):
    """Calls probe until it returns something true and returns that; raises after timeout s."""
    deadline = time.monotonic() + timeout * SLOW
    last_error = None
    while True:
        try:
            value = probe()
            if value:
                return value
        except Exception as e:  # a probe may fail while the thing it looks at is still starting
            last_error = e
        if time.monotonic() > deadline:
            extra = " (last error: %r)" % last_error if last_error else ""
            raise E2EFailure("timed out waiting for %s%s" % (what, extra))
        time.sleep(interval)


def password_hash(password):
    return hashlib.sha256(("TLMRemote:" + password).encode("utf-8")).hexdigest()


def enter_private_network():
    """Re-runs this script in a network namespace of its own (root: unshare --net; others, or
    where that is refused: with a user namespace too), then brings up its loopback."""
    if os.environ.get("TLM_E2E_IN_NETNS") != "1":
        plain, mapped = ["unshare", "--net"], ["unshare", "--map-root-user", "--net"]
        for argv in ([plain, mapped] if os.geteuid() == 0 else [mapped, plain]):
            if subprocess.run(argv + ["true"], capture_output=True).returncode == 0:
                os.execvp(argv[0], argv + ["env", "TLM_E2E_IN_NETNS=1", sys.executable] + sys.argv)
        raise SystemExit("cannot make a private network namespace (unshare --net, unshare --map-root-user --net)")
    ip = shutil.which("ip") or next((p for p in ("/usr/sbin/ip", "/sbin/ip") if os.path.exists(p)), "ip")
    subprocess.run([ip, "link", "set", "lo", "up"], check=True)


# ---------------------------------------------------------------------------------------------
# Pictures: rows of RGB bytes as xwdimage.read_xwd returns them.

class Picture:
    def __init__(self, width, height, rows):
        self.width, self.height, self.rows = width, height, rows

    @staticmethod
    def from_xwd(path):
        return Picture(*xwdimage.read_xwd(path))

    def pixel(self, x, y):
        r = self.rows[y]
        return r[3 * x], r[3 * x + 1], r[3 * x + 2]

    def mean(self, x0, y0, x1, y1, step=2):
        """Mean colour of the box [x0,x1) x [y0,y1), sampled every `step` pixels."""
        n = 0
        acc = [0, 0, 0]
        for y in range(y0, y1, step):
            row = self.rows[y]
            for x in range(x0, x1, step):
                i = 3 * x
                acc[0] += row[i]
                acc[1] += row[i + 1]
                acc[2] += row[i + 2]
                n += 1
        return tuple(a / max(n, 1) for a in acc)

    def save_png(self, path):
        xwdimage.write_png(path, self.width, self.height, self.rows)


def near(c1, c2, tol):
    return all(abs(a - b) <= tol for a, b in zip(c1, c2))


# The host's root window carries this pattern: coloured blocks with magenta corner marks, so
# that the picture the viewer shows can be found on the viewer's display and compared.
MARK = (255, 0, 255)
MARK_SIZE = 48
BLOCK = 160


def block_colour(i, j, variant=0):
    k = i * 7 + j * 3 + 1 + variant * 5
    return ((k * 67) % 200 + 20, (k * 131) % 180 + 40, (k * 29) % 220 + 10)


def pattern_rects(width, height, variant=0):
    """The test pattern as (colour, x, y, w, h) boxes, painted in order."""
    rects = []
    for j in range(0, (height + BLOCK - 1) // BLOCK):
        for i in range(0, (width + BLOCK - 1) // BLOCK):
            rects.append((block_colour(i, j, variant), i * BLOCK, j * BLOCK, BLOCK, BLOCK))
    for cx, cy in ((0, 0), (width - MARK_SIZE, 0), (0, height - MARK_SIZE), (width - MARK_SIZE, height - MARK_SIZE)):
        rects.append((MARK, cx, cy, MARK_SIZE, MARK_SIZE))
    return rects


def paint_pattern(display, width, height, variant=0):
    """Sets the root window's background of `display` to the test pattern (stays after we leave)."""
    paint_root(display, width, height, pattern_rects(width, height, variant))


def paint_root(display, width, height, rects):
    """Sets the root window's background to the boxes `rects` (colour, x, y, w, h)."""
    x = ctypes.CDLL("libX11.so.6")
    x.XOpenDisplay.restype = ctypes.c_void_p
    x.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x.XDefaultScreen.argtypes = [ctypes.c_void_p]
    x.XRootWindow.restype = ctypes.c_ulong
    x.XRootWindow.argtypes = [ctypes.c_void_p, ctypes.c_int]
    x.XDefaultDepth.argtypes = [ctypes.c_void_p, ctypes.c_int]
    x.XCreatePixmap.restype = ctypes.c_ulong
    x.XCreatePixmap.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_uint, ctypes.c_uint, ctypes.c_uint]
    x.XCreateGC.restype = ctypes.c_void_p
    x.XCreateGC.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_void_p]
    x.XSetForeground.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_ulong]
    x.XFillRectangle.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_void_p, ctypes.c_int, ctypes.c_int,
                                 ctypes.c_uint, ctypes.c_uint]
    x.XSetWindowBackgroundPixmap.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong]
    x.XClearWindow.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
    x.XFreePixmap.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
    x.XFreeGC.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
    x.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
    x.XCloseDisplay.argtypes = [ctypes.c_void_p]

    dpy = x.XOpenDisplay(display.encode())
    if not dpy:
        raise E2EFailure("cannot open display " + display)
    try:
        scr = x.XDefaultScreen(dpy)
        root = x.XRootWindow(dpy, scr)
        pix = x.XCreatePixmap(dpy, root, width, height, x.XDefaultDepth(dpy, scr))
        gc = x.XCreateGC(dpy, pix, 0, None)

        def fill(colour, x0, y0, w, h):
            r, g, b = colour
            x.XSetForeground(dpy, gc, (r << 16) | (g << 8) | b)
            x.XFillRectangle(dpy, pix, gc, x0, y0, w, h)

        for colour, x0, y0, w, h in rects:
            fill(colour, x0, y0, w, h)
        x.XSetWindowBackgroundPixmap(dpy, root, pix)
        x.XClearWindow(dpy, root)
        x.XFreePixmap(dpy, pix)
        x.XFreeGC(dpy, gc)
        x.XSync(dpy, 0)
    finally:
        x.XCloseDisplay(dpy)


class _ClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("l", ctypes.c_long * 5)]


class _XEvent(ctypes.Union):
    _fields_ = [("xclient", _ClientMessage), ("pad", ctypes.c_long * 24)]


def close_window(display, window):
    """Asks `window` to close as a window manager's close button does (WM_DELETE_WINDOW)."""
    x = ctypes.CDLL("libX11.so.6")
    x.XOpenDisplay.restype = ctypes.c_void_p
    x.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x.XInternAtom.restype = ctypes.c_ulong
    x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.POINTER(_XEvent)]
    x.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
    x.XCloseDisplay.argtypes = [ctypes.c_void_p]
    dpy = x.XOpenDisplay(display.encode())
    if not dpy:
        raise E2EFailure("cannot open display " + display)
    try:
        ev = _XEvent()
        ev.xclient.type = 33  # ClientMessage
        ev.xclient.window = window
        ev.xclient.message_type = x.XInternAtom(dpy, b"WM_PROTOCOLS", 0)
        ev.xclient.format = 32
        ev.xclient.l[0] = x.XInternAtom(dpy, b"WM_DELETE_WINDOW", 0)
        ev.xclient.l[1] = 0  # CurrentTime
        if not x.XSendEvent(dpy, window, 0, 0, ctypes.byref(ev)):
            raise E2EFailure("XSendEvent failed")
        x.XSync(dpy, 0)
    finally:
        x.XCloseDisplay(dpy)


class WindowPinger:
    """Measures how soon a window's owner processes X events: sends it _NET_WM_PING (as a window
    manager does) every `interval` seconds from a thread of its own and records the time each
    answer took; a ping still unanswered counts with the time it has waited so far."""

    def __init__(self, display, window, interval=0.1):
        import threading
        self.display, self.window, self.interval = display, window, interval
        self.worst = 0.0
        self.answered = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._error = None

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def stop(self):
        self._stop.set()
        self._thread.join(timeout=30)
        if self._error:
            raise E2EFailure("pinging the window failed: %r" % self._error)

    def _run(self):
        import select
        x = ctypes.CDLL("libX11.so.6")
        x.XOpenDisplay.restype = ctypes.c_void_p
        x.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x.XDefaultRootWindow.restype = ctypes.c_ulong
        x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
        x.XInternAtom.restype = ctypes.c_ulong
        x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        x.XSelectInput.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_long]
        x.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.POINTER(_XEvent)]
        x.XFlush.argtypes = [ctypes.c_void_p]
        x.XPending.argtypes = [ctypes.c_void_p]
        x.XNextEvent.argtypes = [ctypes.c_void_p, ctypes.POINTER(_XEvent)]
        x.XConnectionNumber.argtypes = [ctypes.c_void_p]
        x.XCloseDisplay.argtypes = [ctypes.c_void_p]
        dpy = x.XOpenDisplay(self.display.encode())
        if not dpy:
            self._error = "cannot open display " + self.display
            return
        try:
            root = x.XDefaultRootWindow(dpy)
            protocols = x.XInternAtom(dpy, b"WM_PROTOCOLS", 0)
            ping = x.XInternAtom(dpy, b"_NET_WM_PING", 0)
            # The answer goes to the root window with the (sub)structure masks.
            x.XSelectInput(dpy, root, (1 << 17) | (1 << 19))  # StructureNotify | SubstructureNotify
            fd = x.XConnectionNumber(dpy)
            serial = 0
            while not self._stop.is_set():
                serial += 1
                ev = _XEvent()
                ev.xclient.type = 33  # ClientMessage
                ev.xclient.window = self.window
                ev.xclient.message_type = protocols
                ev.xclient.format = 32
                ev.xclient.l[0] = ping
                ev.xclient.l[1] = serial  # stands for the timestamp; comes back unchanged
                ev.xclient.l[2] = self.window
                sent = time.monotonic()
                x.XSendEvent(dpy, self.window, 0, 0, ctypes.byref(ev))
                x.XFlush(dpy)
                answered = False
                while not answered and not self._stop.is_set():
                    while x.XPending(dpy):
                        got = _XEvent()
                        x.XNextEvent(dpy, ctypes.byref(got))
                        if (got.xclient.type == 33 and got.xclient.l[0] == ping and got.xclient.l[1] == serial):
                            answered = True
                    self.worst = max(self.worst, time.monotonic() - sent)
                    if not answered:
                        select.select([fd], [], [], 0.02)
                if answered:
                    self.answered += 1
                self._stop.wait(self.interval)
        except Exception as e:  # reported by stop()
            self._error = e
        finally:
            x.XCloseDisplay(dpy)


class ScriptedRelay:
    """A relay played by the test on the program's port: accepts the host's connections one at a
    time and speaks the packet framing (type, length, payload; little-endian)."""

    def __init__(self, port=RELAY_PORT):
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", port))
        self.listener.listen(4)
        self.conns = []

    def accept(self, timeout=30):
        self.listener.settimeout(timeout * SLOW)
        conn, _ = self.listener.accept()
        conn.settimeout(timeout * SLOW)
        self.conns.append(conn)
        return conn

    @staticmethod
    def send(conn, msg_type, payload=b""):
        if isinstance(payload, str):
            payload = payload.encode("utf-8")
        conn.sendall(msg_type.to_bytes(4, "little") + len(payload).to_bytes(4, "little") + payload)

    @staticmethod
    def _read(conn, n):
        data = b""
        while len(data) < n:
            chunk = conn.recv(n - len(data))
            if not chunk:
                raise E2EFailure("the host closed the connection")
            data += chunk
        return data

    def next(self, conn, skip=(7,)):
        """The next packet (type, payload), keep-alives (7) skipped."""
        while True:
            head = self._read(conn, 8)
            msg_type, length = int.from_bytes(head[:4], "little"), int.from_bytes(head[4:], "little")
            payload = self._read(conn, length) if length else b""
            if msg_type not in skip:
                return msg_type, payload

    def expect(self, conn, msg_type):
        while True:
            got, payload = self.next(conn)
            if got == msg_type:
                return payload

    def close(self):
        for c in self.conns:
            c.close()
        self.listener.close()


def find_marked_area(pic, tol=70):
    """Bounding box (x, y, w, h) of the magenta corner marks on `pic`, or None.

    Looks for the marks near each other's rows and columns: the box is taken from the
    outermost mark pixels, then checked to have a mark in each corner."""
    xs, ys = [], []
    for y in range(0, pic.height, 2):
        row = pic.rows[y]
        for x in range(0, pic.width, 2):
            i = 3 * x
            if row[i] > 255 - tol and row[i + 1] < tol and row[i + 2] > 255 - tol:
                xs.append(x)
                ys.append(y)
    if len(xs) < 16:
        return None
    x0, x1, y0, y1 = min(xs), max(xs), min(ys), max(ys)
    # Refine to single pixels around the coarse box.
    def is_mark(x, y):
        return 0 <= x < pic.width and 0 <= y < pic.height and near(pic.pixel(x, y), MARK, tol)
    while is_mark(x0 - 1, y0 + 4):
        x0 -= 1
    while is_mark(x1 + 1, y0 + 4):
        x1 += 1
    while is_mark(x0 + 4, y0 - 1):
        y0 -= 1
    while is_mark(x0 + 4, y1 + 1):
        y1 += 1
    w, h = x1 - x0 + 1, y1 - y0 + 1
    if w < 100 or h < 60:
        return None
    for cx, cy in ((x0 + 3, y0 + 3), (x1 - 3, y0 + 3), (x0 + 3, y1 - 3), (x1 - 3, y1 - 3)):
        if not is_mark(cx, cy):
            return None
    return x0, y0, w, h


def compare_scaled(host, shown, area, cells_x=32, cells_y=18, tol=40):
    """Compares `host` (full picture) with the box `area` of `shown` cell by cell.

    Each picture is cut into the same grid; a cell matches when the mean colours of its inner
    half agree within `tol` per channel. Returns (fraction of matching cells, worst cells)."""
    ax, ay, aw, ah = area
    matched = 0
    bad = []
    for j in range(cells_y):
        for i in range(cells_x):
            # Inner half of the cell, in host and in shown coordinates.
            hx0 = host.width * (4 * i + 1) // (4 * cells_x)
            hx1 = host.width * (4 * i + 3) // (4 * cells_x)
            hy0 = host.height * (4 * j + 1) // (4 * cells_y)
            hy1 = host.height * (4 * j + 3) // (4 * cells_y)
            sx0 = ax + aw * (4 * i + 1) // (4 * cells_x)
            sx1 = ax + aw * (4 * i + 3) // (4 * cells_x)
            sy0 = ay + ah * (4 * j + 1) // (4 * cells_y)
            sy1 = ay + ah * (4 * j + 3) // (4 * cells_y)
            a = host.mean(hx0, hy0, hx1, hy1)
            b = shown.mean(sx0, sy0, max(sx1, sx0 + 1), max(sy1, sy0 + 1), step=1)
            if near(a, b, tol):
                matched += 1
            else:
                bad.append(((i, j), tuple(round(v) for v in a), tuple(round(v) for v in b)))
    return matched / (cells_x * cells_y), bad[:5]


# ---------------------------------------------------------------------------------------------
# Processes

class Tap:
    """A TCP proxy on 127.0.0.1:59000 in front of a relay on another loopback address, keeping
    every byte it passes either way: what the relay sees of every session. Call close() at the end."""

    def __init__(self, relay_address, port=RELAY_PORT):
        self.relay = (relay_address, port)
        self.lock = threading.Lock()
        self.seen = bytearray()
        self.socks = []
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", port))
        self.listener.listen(16)
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            try:
                server = socket.create_connection(self.relay, timeout=5)
                server.settimeout(None)
            except OSError:
                client.close()
                continue
            with self.lock:
                self.socks += [client, server]
            threading.Thread(target=self._pump, args=(client, server), daemon=True).start()
            threading.Thread(target=self._pump, args=(server, client), daemon=True).start()

    def _pump(self, src, dst):
        try:
            while True:
                data = src.recv(65536)
                if not data:
                    break
                with self.lock:
                    self.seen += data
                dst.sendall(data)
        except OSError:
            pass
        for sock in (src, dst):
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def recorded(self):
        with self.lock:
            return bytes(self.seen)

    def close(self):
        self.listener.close()
        with self.lock:
            for sock in self.socks:
                sock.close()


class Session:
    """Everything one test starts: displays, relay, program instances. Call close() at the end."""

    def __init__(self, name):
        self.name = name
        self.client = os.environ["TLM_E2E_CLIENT"]
        self.relay_exe = os.environ["TLM_E2E_RELAY"]
        self.dir = tempfile.mkdtemp(prefix="tlm-e2e-%s-" % name)
        self.artifacts = os.environ.get("TLM_E2E_ARTIFACTS") or os.path.join(self.dir, "artifacts")
        self.procs = []  # (label, Popen, log path)
        self.displays = []
        self.relay_log = None

    # -- process helpers ---------------------------------------------------------------------

    def spawn(self, label, argv, env=None, log=None, pass_fds=()):
        log = log or os.path.join(self.dir, label + ".log")
        out = open(log, "ab")
        proc = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                start_new_session=True, pass_fds=pass_fds)
        out.close()
        self.procs.append((label, proc, log))
        return proc

    def kill(self, proc):
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            pass

    def close(self):
        # Program instances first (they would otherwise notice the relay leaving), displays last.
        for label, proc, _ in reversed(self.procs):
            if proc.poll() is None:
                try:
                    os.killpg(proc.pid, signal.SIGTERM)
                except ProcessLookupError:
                    pass
        for label, proc, _ in reversed(self.procs):
            try:
                proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.kill(proc)
            # Daemonised helpers (xclip) may outlive their first process: the group goes too.
            try:
                os.killpg(proc.pid, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass
        if os.environ.get("TLM_E2E_KEEP") != "1":
            shutil.rmtree(self.dir, ignore_errors=True)

    def sanitizer_reports(self):
        """Sanitizer findings in any program's output (empty in a clean run)."""
        found = []
        for label, _, log in self.procs:
            try:
                with open(log, "rb") as f:
                    text = f.read().decode("utf-8", "replace")
            except OSError:
                continue
            for pattern in ("ERROR: AddressSanitizer", "runtime error:", "ERROR: LeakSanitizer"):
                i = text.find(pattern)
                if i >= 0:
                    found.append("%s: %s" % (label, text[max(0, i - 200):i + 1500]))
        return found

    # -- displays ----------------------------------------------------------------------------

    def start_display(self, width, height, extra_args=()):
        # Several servers starting at once now and then fail to compile their keymap (xkbcomp
        # under load); a fresh attempt then succeeds.
        for attempt in range(3):
            display = self._try_display(width, height, extra_args)
            if display:
                self.displays.append(display)
                return display
            sys.stderr.write("Xvfb failed to start (attempt %d), trying again\n" % (attempt + 1))
        raise E2EFailure("Xvfb did not start in three attempts")

    def _try_display(self, width, height, extra_args=()):
        r, w = os.pipe()
        proc = self.spawn("Xvfb-%d" % len(self.procs),
                          ["Xvfb", "-displayfd", str(w), "-screen", "0", "%dx%dx24" % (width, height),
                           "-nolisten", "tcp", "-br", "-noreset", "+extension", "XFIXES"] + list(extra_args),
                          pass_fds=(w,))
        os.close(w)
        number = b""
        deadline = time.monotonic() + 30 * SLOW
        try:
            while not number.endswith(b"\n"):
                if time.monotonic() > deadline or proc.poll() is not None:
                    return None
                chunk = os.read(r, 16)
                if not chunk:
                    return None
                number += chunk
        finally:
            os.close(r)
        return ":" + number.decode().strip()

    def x(self, display, *argv, check=True, timeout=30):
        env = dict(os.environ, DISPLAY=display)
        res = subprocess.run(list(argv), env=env, capture_output=True, timeout=timeout * SLOW)
        if check and res.returncode != 0:
            raise E2EFailure("%s failed: %s" % (" ".join(argv), res.stderr.decode(errors="replace")))
        return res.stdout.decode("utf-8", "replace")

    def screenshot(self, display, window="root"):
        path = os.path.join(self.dir, "shot-%s.xwd" % display.strip(":"))
        argv = ["xwd", "-silent", "-out", path] + (["-root"] if window == "root" else ["-id", str(window)])
        self.x(display, *argv)
        return Picture.from_xwd(path)

    def windows(self, display, name):
        out = self.x(display, "xdotool", "search", "--onlyvisible", "--name", name, check=False)
        return [int(w) for w in out.split()]

    def geometry(self, display, window):
        out = self.x(display, "xdotool", "getwindowgeometry", "--shell", str(window))
        values = dict(line.split("=", 1) for line in out.split() if "=" in line)
        return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])

    def pointer(self, display):
        out = self.x(display, "xdotool", "getmouselocation", "--shell")
        values = dict(line.split("=", 1) for line in out.split() if "=" in line)
        return int(values["X"]), int(values["Y"])

    def clipboard(self, display):
        res = subprocess.run(["xclip", "-o", "-selection", "clipboard"], env=dict(os.environ, DISPLAY=display),
                             capture_output=True, timeout=10 * SLOW)
        return res.stdout.decode("utf-8", "replace") if res.returncode == 0 else None

    def copy_text(self, display, text):
        """Makes xclip the clipboard owner of `text` on `display` (it stays until killed)."""
        path = os.path.join(self.dir, "clip-%d.txt" % len(self.procs))
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        return self.spawn("xclip-%d" % len(self.procs),
                          ["xclip", "-quiet", "-selection", "clipboard", "-i", path],
                          env=dict(os.environ, DISPLAY=display))

    # -- relay and program -------------------------------------------------------------------

    def start_relay(self, extra_args=(), address="127.0.0.1"):
        """The relay on address:59000; the programs reach 127.0.0.1, so another address leaves
        room for a Tap in between."""
        self.relay_log = os.path.join(self.dir, "relay.log")
        self.relay = self.spawn("relay", [self.relay_exe, "--listen", "%s:%d" % (address, RELAY_PORT),
                                          "--db", os.path.join(self.dir, "relay.db"), *extra_args],
                                log=self.relay_log)

        def listening():
            with socket.create_connection((address, RELAY_PORT), timeout=1):
                return True
        wait_until("the relay to listen on port %d" % RELAY_PORT, listening, 20)

    def start_client(self, label, display, password=None, config_dir=None, extra_env=None):
        """Starts one program instance with its own HOME and configuration folder."""
        base = os.path.join(self.dir, label)
        home = os.path.join(base, "home")
        runtime = os.path.join(base, "run")
        for d in (home, runtime):
            os.makedirs(d, exist_ok=True)
        os.chmod(runtime, 0o700)
        config_dir = config_dir or os.path.join(base, "config")
        os.makedirs(config_dir, exist_ok=True)
        if password is not None:
            with open(os.path.join(config_dir, "config.ini"), "w") as f:
                f.write("[TLMRemote]\nPasswordHash=%s\n" % password_hash(password))
        env = {k: v for k, v in os.environ.items() if not k.startswith("TLMREMOTE_")}
        env.update({
            "DISPLAY": display,
            "QT_QPA_PLATFORM": "xcb",
            "HOME": home,
            "XDG_CONFIG_HOME": os.path.join(home, ".config"),
            "XDG_RUNTIME_DIR": runtime,
            "TLMREMOTE_HOST": "127.0.0.1",
            "TLMREMOTE_CONFIGDIR": config_dir,
            "TLMREMOTE_IDFILE": os.path.join(base, "id.txt"),
            "TLMREMOTE_LOGFILE": os.path.join(base, "host-log.txt"),
            "COMPUTERNAME": label,
        })
        if "suppressions=" not in env.get("LSAN_OPTIONS", ""):
            # The leak check at exit knows the system libraries' process-long allocations.
            supp = os.path.join(SOURCE_ROOT, "scripts", "lsan.supp")
            env["LSAN_OPTIONS"] = ":".join(filter(None, [env.get("LSAN_OPTIONS"), "suppressions=" + supp,
                                                          "print_suppressions=0"]))
        env.update(extra_env or {})
        proc = self.spawn(label, [self.client], env=env, log=os.path.join(base, "output.log"))
        return Instance(self, label, proc, display, base, config_dir, env)

    # -- diagnostics -------------------------------------------------------------------------

    def dump(self, test_name):
        """On failure: screenshots of every display and the tail of every log, on stderr."""
        folder = os.path.join(self.artifacts, test_name)
        os.makedirs(folder, exist_ok=True)
        for display in self.displays:
            try:
                pic = self.screenshot(display)
                path = os.path.join(folder, "display%s.png" % display.replace(":", "-"))
                pic.save_png(path)
                sys.stderr.write("screenshot of %s: %s\n" % (display, path))
            except Exception as e:
                sys.stderr.write("no screenshot of %s: %r\n" % (display, e))
        logs = [(label, log) for label, _, log in self.procs]
        for root, _, files in os.walk(self.dir):
            for f in files:
                if f in ("host-log.txt", "id.txt", "result.txt"):
                    logs.append((os.path.relpath(os.path.join(root, f), self.dir), os.path.join(root, f)))
        for label, log in logs:
            try:
                with open(log, "rb") as f:
                    text = f.read().decode("utf-8", "replace")
            except OSError:
                continue
            shutil.copy(log, os.path.join(folder, label.replace("/", "_") + ".txt"))
            sys.stderr.write("----- %s (last 40 lines) -----\n%s\n" % (label, "\n".join(text.splitlines()[-40:])))


class Instance:
    """One running TLMRemoteClient."""

    def __init__(self, session, label, proc, display, base, config_dir, env):
        self.session, self.label, self.proc, self.display = session, label, proc, display
        self.base, self.config_dir, self.env = base, config_dir, env

    @property
    def id_file(self):
        return self.env["TLMREMOTE_IDFILE"]

    def read(self, path):
        try:
            with open(path, encoding="utf-8") as f:
                return f.read()
        except OSError:
            return ""

    def wait_id(self):
        def probe():
            self.check_alive()
            text = self.read(self.id_file).strip()
            return text if re.fullmatch(r"\d{9}", text) else None
        return wait_until("%s to be given an ID" % self.label, probe, 40)

    def log(self):
        return self.read(self.env["TLMREMOTE_LOGFILE"])

    def wait_log(self, line, timeout=30):
        def probe():
            self.check_alive()
            return line in self.log()
        wait_until("%s to log %r" % (self.label, line), probe, timeout)

    def check_alive(self):
        if self.proc.poll() is not None:
            raise E2EFailure("%s exited with %s" % (self.label, self.proc.returncode))

    def wait_exit(self, timeout=30):
        """Waits for the program to end by itself; returns its exit code."""
        wait_until("%s to exit" % self.label, lambda: self.proc.poll() is not None, timeout)
        return self.proc.returncode

    def stop(self):
        """Ends the program as a session end would (SIGTERM), waiting for it."""
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(timeout=20 * SLOW)
            except subprocess.TimeoutExpired:
                self.session.kill(self.proc)


def run_case(test, name, body):
    """Runs body(session) in a fresh Session; on failure dumps diagnostics, always cleans up."""
    session = Session(name)
    try:
        body(session)
        reports = session.sanitizer_reports()
        if reports:
            raise E2EFailure("sanitizer reports:\n" + "\n".join(reports))
    except BaseException:
        sys.stderr.write(traceback.format_exc())
        try:
            session.dump(name)
        except Exception as e:
            sys.stderr.write("diagnostics failed: %r\n" % e)
        raise
    finally:
        session.close()
