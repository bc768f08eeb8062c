"""End-to-end on Wayland: the real program as host on a private headless sway, a viewer on Xvfb,
the real relay between them. The host's picture, its input (checked in a Wayland client, wev)
and the clipboard both ways.

Run:  TLM_E2E_CLIENT=build/app/TLMRemoteClient TLM_E2E_RELAY=build/relay/tlmrelay \
        /usr/bin/python3 tests/e2e/test_wayland.py
Exits 77 (skipped) where sway, grim, wev or wl-clipboard is missing.
"""
import glob
import os
import pwd
import re
import shutil
import subprocess
import sys
import time
import unittest

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_harness import (SLOW, E2EFailure, Picture, compare_scaled, enter_private_network,  # noqa: E402
                         find_marked_area, pattern_rects, run_case, wait_until)
from test_e2e import PASSWORD, VIEWER_H, VIEWER_W, auto_viewer  # noqa: E402

HOST_W, HOST_H = 1280, 720
TOOLS = ("sway", "swaymsg", "swaybg", "grim", "wev", "wl-copy", "wl-paste", "stdbuf", "xclip")


def write_pattern_ppm(path, width, height):
    """The harness's test pattern (blocks with magenta corner marks) as a binary PPM."""
    rows = [bytearray(3 * width) for _ in range(height)]
    for colour, x, y, w, h in pattern_rects(width, height):
        cell = bytes(colour) * max(0, min(w, width - x))
        for yy in range(y, min(y + h, height)):
            rows[yy][3 * x:3 * x + len(cell)] = cell
    with open(path, "wb") as f:
        f.write(b"P6\n%d %d\n255\n" % (width, height))
        for r in rows:
            f.write(r)
    os.chmod(path, 0o644)


def read_ppm(data):
    m = re.match(rb"P6\s+(\d+)\s+(\d+)\s+255\s", data)
    if not m:
        raise E2EFailure("grim gave no PPM picture")
    w, h, at = int(m.group(1)), int(m.group(2)), m.end()
    return Picture(w, h, [data[at + 3 * w * y:at + 3 * w * (y + 1)] for y in range(h)])


class Sway:
    """A headless sway for one test: output 1 shows the pattern, output 2 takes the host's window."""

    def __init__(self, s):
        self.s = s
        self.run_dir = os.path.join(s.dir, "sway-run")
        os.makedirs(self.run_dir)
        os.chmod(s.dir, 0o755)  # the compositor's background program reads the pattern below
        pattern = os.path.join(s.dir, "pattern.ppm")
        write_pattern_ppm(pattern, HOST_W, HOST_H)
        config = os.path.join(self.run_dir, "config")
        with open(config, "w") as f:
            f.write("output HEADLESS-1 resolution %dx%d position 0 0 bg %s stretch\n" % (HOST_W, HOST_H, pattern))
            f.write("output HEADLESS-2 resolution 800x600 position %d 0\n" % HOST_W)
            f.write("default_border none\nfocus_follows_mouse no\n")
            f.write("workspace 9 output HEADLESS-2\nassign [app_id=\"^tlmremoteclient$\"] workspace 9\n")
        env = {"PATH": os.environ["PATH"], "XDG_RUNTIME_DIR": self.run_dir, "WLR_BACKENDS": "headless",
               "WLR_LIBINPUT_NO_DEVICES": "1", "WLR_RENDERER": "pixman", "WLR_HEADLESS_OUTPUTS": "2"}
        argv = ["sway", "-c", config]
        if os.geteuid() == 0:  # sway refuses to run as root
            nobody = pwd.getpwnam("nobody")
            for p in (self.run_dir, config):
                os.chown(p, nobody.pw_uid, nobody.pw_gid)
            argv = ["setpriv", "--reuid=nobody", "--regid=%d" % nobody.pw_gid, "--clear-groups"] + argv
        os.chmod(self.run_dir, 0o700)
        s.spawn("sway", argv, env=env)
        self.socket = wait_until("sway's Wayland socket", lambda: next(
            (p for p in glob.glob(os.path.join(self.run_dir, "wayland-*")) if not p.endswith(".lock")), None), 20)
        self.ipc = wait_until("sway's IPC socket", lambda: next(iter(glob.glob(os.path.join(self.run_dir, "sway-ipc.*"))),
                                                               None), 20)
        wait_until("sway to answer", lambda: self.run(["swaymsg", "-t", "get_version"], check=False).returncode == 0, 20)

    def env(self):
        return dict(os.environ, XDG_RUNTIME_DIR=self.run_dir, WAYLAND_DISPLAY=os.path.basename(self.socket),
                    SWAYSOCK=self.ipc)

    def run(self, argv, check=True, input=None):
        res = subprocess.run(argv, env=self.env(), capture_output=True, timeout=30 * SLOW, input=input)
        if check and res.returncode != 0:
            raise E2EFailure("%s failed: %s" % (" ".join(argv), res.stderr.decode(errors="replace")))
        return res

    def grim(self):
        return read_ppm(self.run(["grim", "-t", "ppm", "-o", "HEADLESS-1", "-"]).stdout)


class TestWaylandHost(unittest.TestCase):
    def test_host_on_headless_sway_streams_obeys_and_shares_clipboard(self):
        def body(s):
            s.start_relay()
            sway = Sway(s)
            wait_until("the pattern on output 1", lambda: find_marked_area(sway.grim()), 20)
            viewer_display = s.start_display(VIEWER_W, VIEWER_H)
            # The host runs natively on Wayland: Qt's Wayland platform, the Wayland backend.
            host = s.start_client("host", "", password=PASSWORD, extra_env={
                "QT_QPA_PLATFORM": "wayland", "WAYLAND_DISPLAY": sway.socket})
            host_id = host.wait_id()
            host.wait_log("화면·입력: Wayland")
            if "불가" in host.log():
                raise E2EFailure("the host cannot do everything on sway:\n" + host.log())

            auto_viewer(s, "viewer", viewer_display, host_id, PASSWORD)
            state = {}

            def shown():
                pic = s.screenshot(viewer_display)
                area = find_marked_area(pic)
                if not area:
                    return None
                score, _ = compare_scaled(sway.grim(), pic, area)
                state["score"] = score
                return area if score >= 0.9 else None
            try:
                area = wait_until("the viewer to show output 1 of sway", shown, 60, interval=1.0)
            except E2EFailure as e:
                raise E2EFailure("%s (matching cells %.2f)" % (e, state.get("score", 0)))
            window = wait_until("the viewer window", lambda: s.windows(viewer_display, "^TALMIR Remote - "), 20)[0]
            s.x(viewer_display, "xdotool", "windowfocus", "--sync", str(window))

            # A Wayland client over the whole of output 1 reports what arrives.
            sway.run(["swaymsg", "focus", "output", "HEADLESS-1"])
            wev_log = os.path.join(s.dir, "wev.log")
            s.spawn("wev", ["stdbuf", "-oL", "wev"], env=sway.env(), log=wev_log)

            def wev():
                with open(wev_log, errors="replace") as f:
                    return f.read()
            wait_until("wev's window", lambda: "configure: width: %d" % HOST_W in wev(), 20)

            # A click on the picture lands on the same point of output 1.
            target = (300, 200)
            ax, ay, aw, ah = area
            vx = ax + (target[0] * aw + HOST_W // 2) // HOST_W
            vy = ay + (target[1] * ah + HOST_H // 2) // HOST_H
            s.x(viewer_display, "xdotool", "mousemove", str(vx), str(vy), "click", "1")

            def pointer_there():
                for x, y in re.findall(r"(?:enter|motion): .*x, y: ([\d.]+), ([\d.]+)", wev()):
                    if abs(float(x) - target[0]) <= 4 and abs(float(y) - target[1]) <= 4:
                        return True
                return False
            wait_until("the pointer at %s in wev" % (target,), pointer_there, 20)
            wait_until("the click in wev", lambda: re.search(r"button: 272 \(left\), state: 1", wev()), 20)

            # Keys typed into the viewer arrive in wev.
            for key, sym in [("a", "a"), ("5", "5"), ("Return", "Return"), ("shift+b", "B")]:
                s.x(viewer_display, "xdotool", "key", key)
                wait_until("the key %s in wev" % key, lambda: re.search(r"sym: %s +\(" % re.escape(sym), wev()), 20)

            # The viewer's copy lands on sway's clipboard, and a copy on sway reaches the viewer.
            to_host = "뷰어에서 복사 %d" % os.getpid()
            s.copy_text(viewer_display, to_host)
            wait_until("the viewer's copy on sway's clipboard",
                       lambda: sway.run(["wl-paste", "--no-newline"], check=False).stdout.decode() == to_host, 30)
            to_viewer = "호스트에서 복사 %d" % os.getpid()
            s.spawn("wl-copy", ["wl-copy", "--foreground", to_viewer], env=sway.env())
            wait_until("sway's copy on the viewer's clipboard", lambda: s.clipboard(viewer_display) == to_viewer, 30)
            host.check_alive()
        run_case(self, "wayland-host", body)


if __name__ == "__main__":
    missing = [t for t in TOOLS if not shutil.which(t)]
    if missing:
        print("skipped: %s not installed (scripts/install-deps installs them)" % ", ".join(missing))
        sys.exit(77)
    enter_private_network()
    unittest.main()
