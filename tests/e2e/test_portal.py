"""End-to-end through the desktop portal: the real program as host in a Wayland session without
the wlroots protocols (as on GNOME or KDE), its screen and input through a fake portal on a
private D-Bus bus, the picture from a PipeWire stream (tlm_portal_world); a viewer on Xvfb and
the real relay between them.

Run:  TLM_E2E_CLIENT=build/app/TLMRemoteClient TLM_E2E_RELAY=build/relay/tlmrelay \
      TLM_E2E_PORTAL_WORLD=build/tests/platform/tlm_portal_world /usr/bin/python3 tests/e2e/test_portal.py
Exits 77 (skipped) where dbus-daemon, pipewire or wireplumber is missing.
"""
import os
import re
import shutil
import sys
import unittest

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_harness import (E2EFailure, compare_scaled, enter_private_network, find_marked_area,  # noqa: E402
                         run_case, wait_until)
from test_e2e import PASSWORD, VIEWER_H, VIEWER_W, auto_viewer  # noqa: E402
from test_wayland import read_ppm, write_pattern_ppm  # noqa: E402

HOST_W, HOST_H = 1280, 720
TOOLS = ("dbus-daemon", "pipewire", "wireplumber", "xdotool")
WORLD = os.environ.get("TLM_E2E_PORTAL_WORLD", "")


class TestPortalHost(unittest.TestCase):
    def test_host_through_the_portal_streams_and_obeys(self):
        def body(s):
            s.start_relay()
            pattern = os.path.join(s.dir, "pattern.ppm")
            write_pattern_ppm(pattern, HOST_W, HOST_H)
            with open(pattern, "rb") as f:
                reference = read_ppm(f.read())
            world_dir = os.path.join(s.dir, "portal")
            os.makedirs(world_dir)
            s.spawn("portal-world", [WORLD, pattern, world_dir])
            bus_file = os.path.join(world_dir, "bus")
            bus = wait_until("the portal world", lambda: os.path.exists(bus_file) and open(bus_file).read().strip(), 30)

            viewer_display = s.start_display(VIEWER_W, VIEWER_H)
            # A Wayland session whose compositor is none we can reach: the portal's turn.
            host = s.start_client("host", "", password=PASSWORD, extra_env={
                "QT_QPA_PLATFORM": "offscreen", "WAYLAND_DISPLAY": "tlm-no-compositor",
                "DBUS_SESSION_BUS_ADDRESS": bus})
            host_id = host.wait_id()
            host.wait_log("화면·입력: Wayland (데스크톱 포털)")

            auto_viewer(s, "viewer", viewer_display, host_id, PASSWORD)
            state = {}

            def shown():
                pic = s.screenshot(viewer_display)
                area = find_marked_area(pic)
                if not area:
                    return None
                score, _ = compare_scaled(reference, pic, area)
                state["score"] = score
                return area if score >= 0.9 else None
            try:
                area = wait_until("the viewer to show the portal's picture", shown, 60, interval=1.0)
            except E2EFailure as e:
                raise E2EFailure("%s (matching cells %.2f)" % (e, state.get("score", 0)))
            window = wait_until("the viewer window", lambda: s.windows(viewer_display, "^TALMIR Remote - "), 20)[0]
            s.x(viewer_display, "xdotool", "windowfocus", "--sync", str(window))

            def calls():
                path = os.path.join(world_dir, "input.log")
                return open(path).read() if os.path.exists(path) else ""

            # A click on the picture reaches the portal at the same point of its stream.
            target = (300, 200)
            ax, ay, aw, ah = area
            vx = ax + (target[0] * aw + HOST_W // 2) // HOST_W
            vy = ay + (target[1] * ah + HOST_H // 2) // HOST_H
            s.x(viewer_display, "xdotool", "mousemove", str(vx), str(vy), "click", "1")

            def pointer_there():
                for x, y in re.findall(r"NotifyPointerMotionAbsolute \d+ ([\d.]+) ([\d.]+)", calls()):
                    if abs(float(x) - target[0]) <= 4 and abs(float(y) - target[1]) <= 4:
                        return True
                return False
            wait_until("the pointer at %s in the portal" % (target,), pointer_there, 20)
            wait_until("the click in the portal", lambda: "NotifyPointerButton 272 1\n" in calls(), 20)

            # Keys typed into the viewer arrive as key symbols.
            for key, sym in [("a", 0x61), ("Return", 0xFF0D)]:
                s.x(viewer_display, "xdotool", "key", key)
                wait_until("the key %s in the portal" % key,
                           lambda: "NotifyKeyboardKeysym %d 1\n" % sym in calls(), 20)
            host.check_alive()
        run_case(self, "portal-host", body)


if __name__ == "__main__":
    missing = [t for t in TOOLS if not shutil.which(t)]
    if not WORLD or not os.path.exists(WORLD):
        missing.append("tlm_portal_world (TLM_E2E_PORTAL_WORLD)")
    if missing:
        print("skipped: %s not installed (scripts/install-deps installs them)" % ", ".join(missing))
        sys.exit(77)
    enter_private_network()
    unittest.main()
