"""End-to-end tests: two program instances on two X displays talk through a real relay.

Run one case:  TLM_E2E_CLIENT=build/app/TLMRemoteClient TLM_E2E_RELAY=build/relay/tlmrelay \
                 /usr/bin/python3 tests/e2e/test_e2e.py TestUnattended
(ctest runs each case so; the script moves itself into a network namespace of its own.)
"""
import hashlib
import os
import re
import subprocess
import sys
import time
import unittest

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_harness import (SLOW, E2EFailure, ScriptedRelay, Tap, WindowPinger, close_window,  # noqa: E402
                         compare_scaled, enter_private_network, find_marked_area, paint_pattern,
                         password_hash, run_case, wait_until)

HOST_W, HOST_H = 1280, 720
VIEWER_W, VIEWER_H = 1920, 1080
PASSWORD = "e2e-Pass 1234"


def result_of(path):
    try:
        with open(path, encoding="utf-8") as f:
            return f.read()
    except OSError:
        return None


def wait_result(path, viewer):
    def probe():
        viewer.check_alive()
        text = result_of(path)
        # "OK " without its number yet may be a write in progress: look again.
        if not text or (text.startswith("OK") and not re.fullmatch(r"OK \d+", text)):
            return None
        return text
    text = wait_until("the viewer's result file", probe, 45)
    m = re.fullmatch(r"OK (\d+)", text)
    if not m or int(m.group(1)) <= 0:
        raise E2EFailure("result file holds %r, not 'OK <positive size>'" % text)
    return int(m.group(1))


def two_displays(s, relay_address="127.0.0.1"):
    s.start_relay(address=relay_address)
    host_display = s.start_display(HOST_W, HOST_H)
    paint_pattern(host_display, HOST_W, HOST_H)
    viewer_display = s.start_display(VIEWER_W, VIEWER_H)
    return host_display, viewer_display


def wait_shown_picture(s, host_display, viewer_display, min_match=0.9):
    """Waits until the viewer's display shows the host's screen; returns the canvas box."""
    state = {}

    def probe():
        shown = s.screenshot(viewer_display)
        area = find_marked_area(shown)
        state["area"] = area
        if not area:
            return None
        host = s.screenshot(host_display)
        score, worst = compare_scaled(host, shown, area)
        state["score"], state["worst"] = score, worst
        return area if score >= min_match else None
    try:
        return wait_until("the viewer to show the host's screen", probe, 60, interval=1.0)
    except E2EFailure as e:
        raise E2EFailure("%s; last canvas box %s, matching cells %.2f, worst cells (cell, host, shown) %s"
                         % (e, state.get("area"), state.get("score", 0), state.get("worst")))


WRONG_PASSWORD = "not-the-password"


def keep_wrong_password(config_dir, host_id, newline="\n"):
    """A viewer's config.ini that kept WRONG_PASSWORD for host_id ("비밀번호 기억")."""
    os.makedirs(config_dir)
    with open(os.path.join(config_dir, "config.ini"), "w", newline="") as f:
        f.write("[TLMRemote]%sRemembered%s=%s%s" % (newline, host_id, password_hash(WRONG_PASSWORD), newline))


def wait_wrong_password_forgotten(viewer, config_dir, host_id):
    """Once the partner turned it down, the viewer says so and its config.ini keeps it no more."""
    viewer.wait_log("기억한 비밀번호가 맞지 않아 지웠습니다: %s %s %s" % (host_id[:3], host_id[3:6], host_id[6:]))
    with open(os.path.join(config_dir, "config.ini")) as f:
        if password_hash(WRONG_PASSWORD) in f.read():
            raise E2EFailure("the password turned down is still kept")


def auto_viewer(s, label, display, host_id, password=None, result=None):
    env = {"TLMREMOTE_AUTOCONNECT": host_id}
    if password:
        env["TLMREMOTE_AUTOPW"] = password
    if result:
        env["TLMREMOTE_RESULTFILE"] = result
    return s.start_client(label, display, extra_env=env)


class TestUnattended(unittest.TestCase):
    """A password in the host's config.ini admits the automatic viewer without a prompt."""

    def test_password_admits_and_viewer_shows_host_screen(self):
        def body(s):
            host_display, viewer_display = two_displays(s)
            host = s.start_client("host", host_display, password=PASSWORD)
            host_id = host.wait_id()

            result = os.path.join(s.dir, "result.txt")
            viewer = auto_viewer(s, "viewer", viewer_display, host_id, PASSWORD, result)
            wait_result(result, viewer)
            host.wait_log("비밀번호 인증 접속 허용: AutoViewer (127.0.0.1)")
            viewer.stop()

            # Without a result file the window stays: its canvas must show the host's screen.
            watcher = auto_viewer(s, "watcher", viewer_display, host_id, PASSWORD)
            wait_shown_picture(s, host_display, viewer_display)
            # And it follows what changes there afterwards.
            paint_pattern(host_display, HOST_W, HOST_H, variant=1)
            wait_shown_picture(s, host_display, viewer_display)
            watcher.check_alive()
            host.check_alive()
        run_case(self, "unattended", body)

    def test_wrong_password_asks_the_hosts_user(self):
        """Between two programs of this project the password is checked inside the encrypted
        handshake: a wrong one ends that handshake, the host registers again under the same ID,
        and the viewer asks again without the password, so the host's user decides."""
        def body(s):
            host_display, viewer_display = two_displays(s)
            host = s.start_client("host", host_display, password=PASSWORD)
            host_id = host.wait_id()
            main_windows = set(s.windows(host_display, "^TALMIR Remote$"))
            result = os.path.join(s.dir, "result.txt")
            # The viewer kept that password ("비밀번호 기억"): once turned down it is forgotten.
            viewer_config = os.path.join(s.dir, "viewer", "config")
            keep_wrong_password(viewer_config, host_id)
            viewer = auto_viewer(s, "viewer", viewer_display, host_id, WRONG_PASSWORD, result)
            host.wait_log("비밀번호가 틀린 접속 요청: AutoViewer (127.0.0.1)")
            box = wait_consent_box(s, host_display, main_windows)
            if result_of(result) is not None:
                raise E2EFailure("a viewer with a wrong password wrote a result: %r" % result_of(result))
            self.assertNotIn("비밀번호 인증 접속 허용", host.log())
            answer_box(s, host_display, box, "Return")
            wait_result(result, viewer)
            host.wait_log("사용자 동의 접속 허용: AutoViewer (127.0.0.1)")
            wait_wrong_password_forgotten(viewer, viewer_config, host_id)
        run_case(self, "wrong-password", body)


class TestEncrypted(unittest.TestCase):
    """What the relay passes between two programs of this project: with a tap in front of it,
    no clipboard text, chat line or JPEG marker of a frame, no password in any form; both ends
    log and show that the session is encrypted."""

    def test_relay_sees_no_session(self):
        def body(s):
            host_display, viewer_display = two_displays(s, relay_address="127.0.0.2")
            tap = Tap("127.0.0.2")
            try:
                host = s.start_client("host", host_display, password=PASSWORD)
                host_id = host.wait_id()
                main = wait_until("the host's main window", lambda: s.windows(host_display, "^TALMIR Remote$"), 20)[0]
                auto_viewer(s, "viewer", viewer_display, host_id, PASSWORD)
                wait_shown_picture(s, host_display, viewer_display)
                host.wait_log("암호화된 세션 - 세션 코드")
                to_viewer = "host-secret-copy-%d" % os.getpid()
                s.copy_text(host_display, to_viewer)
                wait_until("the host's copy on the viewer's clipboard",
                           lambda: s.clipboard(viewer_display) == to_viewer, 30)
                to_host = "viewer-secret-copy-%d" % os.getpid()
                s.copy_text(viewer_display, to_host)
                wait_until("the viewer's copy on the host's clipboard",
                           lambda: s.clipboard(host_display) == to_host, 30)
                mx, my, _, _ = s.geometry(host_display, main)
                s.x(host_display, "xdotool", "windowfocus", "--sync", str(main))
                s.x(host_display, "xdotool", "mousemove", str(mx + 24 + 432 + 100), str(my + 340 + 158 + 12), "click", "1")
                s.x(host_display, "xdotool", "type", "--delay", "30", "secretchatline")
                s.x(host_display, "xdotool", "key", "Return")
                host.wait_log("[채팅] 나: secretchatline")
                time.sleep(1)
                seen = tap.recorded()
            finally:
                tap.close()
            if len(seen) < 100000:
                raise E2EFailure("the tap saw only %d bytes: it was not in the way" % len(seen))
            for secret in (to_viewer, to_host, "secretchatline", password_hash(PASSWORD)):
                if secret.encode() in seen:
                    raise E2EFailure("%r crossed the relay in clear" % secret)
            # A tile's JPEG start with its JFIF header: 11 bytes that sealed bytes never hold by
            # chance (the bare 3-byte marker turns up in a few MB of them).
            if b"\xff\xd8\xff\xe0\x00\x10JFIF\x00" in seen:
                raise E2EFailure("a JPEG of a frame crossed the relay in clear")
        run_case(self, "encrypted", body)


class TestTls(unittest.TestCase):
    """A relay that takes TLS only, with a self-signed certificate: the host turns TLS on in its
    config.ini, the viewer through the environment; both trust that one certificate."""

    def test_session_through_tls_only_relay(self):
        def body(s):
            cert, key = os.path.join(s.dir, "relay.crt"), os.path.join(s.dir, "relay.key")
            subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                            "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                            "-keyout", key, "-out", cert], check=True, capture_output=True, timeout=60)
            s.start_relay(["--tls-cert", cert, "--tls-key", key, "--tls-only"])
            host_display = s.start_display(HOST_W, HOST_H)
            paint_pattern(host_display, HOST_W, HOST_H)
            viewer_display = s.start_display(VIEWER_W, VIEWER_H)

            host_config = os.path.join(s.dir, "host", "config")
            os.makedirs(host_config, exist_ok=True)
            with open(os.path.join(host_config, "config.ini"), "w") as f:
                f.write("[TLMRemote]\nPasswordHash=%s\nRelayTls=1\n" % password_hash(PASSWORD))
            host = s.start_client("host", host_display, config_dir=host_config, extra_env={"TLMREMOTE_TLS_CA": cert})
            host_id = host.wait_id()

            result = os.path.join(s.dir, "result.txt")
            viewer = s.start_client("viewer", viewer_display, extra_env={
                "TLMREMOTE_AUTOCONNECT": host_id, "TLMREMOTE_AUTOPW": PASSWORD, "TLMREMOTE_RESULTFILE": result,
                "TLMREMOTE_TLS": "1", "TLMREMOTE_TLS_CA": cert})
            wait_result(result, viewer)
            host.wait_log("비밀번호 인증 접속 허용: AutoViewer (127.0.0.1)")
            with open(s.relay_log, encoding="utf-8", errors="replace") as f:
                relay_log = f.read()
            self.assertIn("(TLS only)", relay_log)
            self.assertNotIn("refused plain connection", relay_log)
        run_case(self, "tls", body)


def wait_consent_box(s, display, main_windows):
    def probe():
        boxes = [w for w in s.windows(display, "^TALMIR Remote$") if w not in main_windows]
        return boxes[0] if boxes else None
    return wait_until("the consent box on the host display", probe, 30)


def answer_box(s, display, box, key):
    s.x(display, "xdotool", "windowfocus", "--sync", str(box))
    s.x(display, "xdotool", "key", key)
    wait_until("the consent box to close", lambda: box not in s.windows(display, "^TALMIR Remote$"), 20)


def expect_refused(s, host, viewer_display, result):
    """The host logs the refusal and tells the viewer inside the encrypted handshake (the relay
    never learns the answer); no viewer window ever opens (the viewer program's main window
    tells the reason) and no frame ever arrives."""
    host.wait_log("접속 거부: AutoViewer (127.0.0.1)")
    time.sleep(1)
    if s.windows(viewer_display, "^TALMIR Remote - "):
        raise E2EFailure("a viewer window opened for a refused connection")
    if result_of(result) is not None:
        raise E2EFailure("a refused viewer wrote a result: %r" % result_of(result))


class TestConsent(unittest.TestCase):
    """Without a password the host's user decides in a box: Return admits, Escape refuses."""

    def test_answer_decides(self):
        cases = [
            # key, admitted
            ("Return", True),
            ("Escape", False),
        ]

        def body(s):
            host_display, viewer_display = two_displays(s)
            host = s.start_client("host", host_display)
            host_id = host.wait_id()
            main_windows = set(s.windows(host_display, "^TALMIR Remote$"))
            for n, (key, admitted) in enumerate(cases):
                with self.subTest(key=key):
                    result = os.path.join(s.dir, "result-%d.txt" % n)
                    viewer = auto_viewer(s, "viewer-%d" % n, viewer_display, host_id, None, result)
                    box = wait_consent_box(s, host_display, main_windows)
                    answer_box(s, host_display, box, key)
                    if admitted:
                        wait_result(result, viewer)
                        host.wait_log("사용자 동의 접속 허용: AutoViewer (127.0.0.1)")
                    else:
                        expect_refused(s, host, viewer_display, result)
                    viewer.stop()
            self.assertEqual(host.log().count("사용자 동의 접속 허용"), 1)
        run_case(self, "consent", body)


class TestControl(unittest.TestCase):
    """Mouse, keys and clipboard text travel between the two displays during a session."""

    def test_click_keys_and_clipboard(self):
        def body(s):
            host_display, viewer_display = two_displays(s)
            host = s.start_client("host", host_display, password=PASSWORD)
            host_id = host.wait_id()
            # A small X client on the host display that reports clicks and keys.
            keys_log = os.path.join(s.dir, "xev.log")
            s.spawn("xev", ["xev", "-geometry", "180x150+40+120", "-name", "e2e-keys", "-event", "keyboard",
                            "-event", "button"], env=dict(os.environ, DISPLAY=host_display), log=keys_log)
            xev_window = wait_until("the key window", lambda: s.windows(host_display, "^e2e-keys$"), 20)[0]

            auto_viewer(s, "viewer", viewer_display, host_id, PASSWORD)
            area = wait_shown_picture(s, host_display, viewer_display)
            window = wait_until("the viewer window",
                                lambda: s.windows(viewer_display, "^TALMIR Remote - "), 20)[0]
            wx, wy, _, _ = s.geometry(viewer_display, window)
            s.x(viewer_display, "xdotool", "windowfocus", "--sync", str(window))

            # The remote-files button opens and closes its panel, which shrinks the picture
            # meanwhile; it takes no keyboard focus, so the keys below still go to the picture.
            # (Its place: the monitor list before it is as wide as its entry, about 145 pixels here.)
            files_button = (wx + 200 + 145 + 12 + 102 + 48, wy + 6 + 15)
            for narrowed in (True, False):
                s.x(viewer_display, "xdotool", "mousemove", *map(str, files_button), "click", "1")

                def settled():
                    now = find_marked_area(s.screenshot(viewer_display))
                    return now if now and ((now[3] < area[3] - 50) if narrowed else now == area) else None
                wait_until("the file panel to %s" % ("open" if narrowed else "close"), settled, 30, 0.5)

            # A click on the picture lands on the same point of the host's screen.
            target = (130, 195)  # inside the key window
            ax, ay, aw, ah = area
            vx = ax + (target[0] * aw + HOST_W // 2) // HOST_W
            vy = ay + (target[1] * ah + HOST_H // 2) // HOST_H
            s.x(viewer_display, "xdotool", "mousemove", str(vx), str(vy), "click", "1")

            def pointer_there():
                px, py = s.pointer(host_display)
                return abs(px - target[0]) <= 4 and abs(py - target[1]) <= 4
            wait_until("the host's pointer at %s" % (target,), pointer_there, 20)
            wait_until("the click in the host's key window",
                       lambda: "ButtonPress event" in open(keys_log, errors="replace").read(), 20)

            # A double-click reaches the host as two clicks and a triple-click as three: the
            # host's desktop sees presses and releases only, and makes the double-click itself.
            def clicks_seen():
                text = open(keys_log, errors="replace").read()
                return text.count("ButtonPress event"), text.count("ButtonRelease event")
            for clicks in (2, 3):
                time.sleep(1.0)  # apart from the clicks before, beyond the double-click interval
                before = clicks_seen()
                s.x(viewer_display, "xdotool", "click", "--repeat", str(clicks), "--delay", "60", "1")
                expected = (before[0] + clicks, before[1] + clicks)
                wait_until("%d presses and releases on the host" % clicks, lambda: clicks_seen() >= expected, 20)
                time.sleep(1.0 * SLOW)  # a surplus click would have arrived by now
                if clicks_seen() != expected:
                    raise E2EFailure("%d clicks in the viewer gave %d presses and %d releases on the host"
                                     % (clicks, clicks_seen()[0] - before[0], clicks_seen()[1] - before[1]))

            # Keys typed into the viewer arrive at the host's focused window.
            s.x(host_display, "xdotool", "windowfocus", "--sync", str(xev_window))
            for key, keysym_name in [("a", "a"), ("5", "5"), ("Return", "Return"), ("shift+b", "B")]:
                s.x(viewer_display, "xdotool", "key", key)

                def arrived():
                    text = open(keys_log, errors="replace").read()
                    return re.search(r"KeyPress event.*?\n.*?\n.*?keysym 0x[0-9a-f]+, %s\)" % re.escape(keysym_name),
                                     text)
                wait_until("the key %s on the host" % key, arrived, 20)

            # Text copied on the viewer's side lands on the host's clipboard (the other way round
            # is TestHostInControl's).
            to_host = "뷰어에서 복사 " + str(os.getpid())
            s.copy_text(viewer_display, to_host)
            wait_until("the viewer's copy on the host's clipboard",
                       lambda: s.clipboard(host_display) == to_host, 30)
            host.check_alive()
        run_case(self, "control", body)


def text_rows(pic, x0, y0, x1, y1, light=150):
    """Vertical centres of the lines of light text inside the box, top to bottom."""
    rows, start = [], None
    for y in range(y0, y1):
        row = pic.rows[y]
        lit = any(row[3 * x] > light and row[3 * x + 1] > light and row[3 * x + 2] > light
                  for x in range(x0, x1))
        if lit and start is None:
            start = y
        elif not lit and start is not None:
            rows.append((start + y - 1) // 2)
            start = None
    return rows


class TestDownload(unittest.TestCase):
    """A file picked in the remote file list arrives whole in the viewer's downloads folder."""

    def test_double_click_downloads_file(self):
        def body(s):
            host_display, viewer_display = two_displays(s)
            host = s.start_client("host", host_display, password=PASSWORD)
            content = os.urandom(200 * 1024 + 123)  # several chunks and a short last one
            with open(os.path.join(host.env["HOME"], "e2e-download.bin"), "wb") as f:
                f.write(content)
            host_id = host.wait_id()
            viewer = auto_viewer(s, "viewer", viewer_display, host_id, PASSWORD)
            area = wait_shown_picture(s, host_display, viewer_display)
            window = wait_until("the viewer window", lambda: s.windows(viewer_display, "^TALMIR Remote - "), 20)[0]
            wx, wy, ww, wh = s.geometry(viewer_display, window)
            s.x(viewer_display, "xdotool", "mousemove", str(wx + 434 + 48), str(wy + 21), "click", "1")

            # The list fills the window's width below the picture, above the status bar.
            def lines(min_count, size_column=False):
                def probe():
                    pic = s.screenshot(viewer_display)
                    now = find_marked_area(pic)
                    if not now or now[3] >= area[3]:
                        return None
                    top, bottom = now[1] + now[3] + 2, wy + wh - 26
                    # Sizes stand right-aligned at the far right; nothing else reaches there.
                    left = wx + (ww * 3 // 4 if size_column else 4)
                    found = text_rows(pic, left, top, wx + ww - 2, bottom)
                    return found if len(found) >= min_count else None
                return probe

            def double_click(y):
                s.x(viewer_display, "xdotool", "mousemove", str(wx + 40), str(y), "click", "--repeat", "2",
                    "--delay", "120", "1")

            # Header, "[/]" and the host's home folder: open the last.
            drives = wait_until("the host's drive list", lines(3), 30, 0.5)
            double_click(drives[-1])
            # In the home folder only files have a size, and ours is the only file.
            sized = wait_until("the home folder's listing", lines(1, size_column=True), 30, 0.5)
            self.assertEqual(len(sized), 1, "one file with a size in the host's home folder, rows %s" % sized)
            double_click(sized[0])

            def arrived():
                for root, _, files in os.walk(viewer.env["HOME"]):
                    if "e2e-download.bin" in files:
                        with open(os.path.join(root, "e2e-download.bin"), "rb") as f:
                            return f.read() == content
                return False
            wait_until("the file, whole, in the viewer's downloads folder", arrived, 60, 0.5)
        run_case(self, "download", body)


class TestUpload(unittest.TestCase):
    """A file sent from the viewer's file dialog arrives whole in the host's downloads folder."""

    def test_send_file_through_dialog(self):
        def body(s):
            host_display, viewer_display = two_displays(s)
            host = s.start_client("host", host_display, password=PASSWORD)
            host_id = host.wait_id()
            viewer = auto_viewer(s, "viewer", viewer_display, host_id, PASSWORD)
            content = os.urandom(300 * 1024 + 7)
            source = os.path.join(viewer.env["HOME"], "e2e-upload.bin")
            with open(source, "wb") as f:
                f.write(content)
            wait_shown_picture(s, host_display, viewer_display)
            window = wait_until("the viewer window", lambda: s.windows(viewer_display, "^TALMIR Remote - "), 20)[0]
            wx, wy, _, _ = s.geometry(viewer_display, window)
            before = set(s.windows(viewer_display, "."))
            s.x(viewer_display, "xdotool", "mousemove", str(wx + 332 + 48), str(wy + 21), "click", "1")
            dialog = wait_until("the file dialog",
                                lambda: [w for w in s.windows(viewer_display, ".") if w not in before], 30)[0]
            s.x(viewer_display, "xdotool", "windowfocus", "--sync", str(dialog))
            s.x(viewer_display, "xdotool", "type", "--delay", "20", source)
            s.x(viewer_display, "xdotool", "key", "Return")

            def arrived():
                for root, _, files in os.walk(host.env["HOME"]):
                    if "e2e-upload.bin" in files:
                        with open(os.path.join(root, "e2e-upload.bin"), "rb") as f:
                            return f.read() == content
                return False
            wait_until("the file, whole, in the host's downloads folder", arrived, 60, 0.5)
        run_case(self, "upload", body)


def viewer_in_session(s):
    """A host admitting an automatic viewer by password, the viewer showing its screen."""
    host_display, viewer_display = two_displays(s)
    host = s.start_client("host", host_display, password=PASSWORD)
    host_id = host.wait_id()
    viewer = auto_viewer(s, "viewer", viewer_display, host_id, PASSWORD)
    wait_shown_picture(s, host_display, viewer_display)
    return host_display, viewer_display, host, host_id, viewer


class TestShutdown(unittest.TestCase):
    """Closing the main window ends the program cleanly, also in the middle of a session
    (under the sanitizer build this includes the leak check at exit); with unattended access on
    and no tray to keep it in, the program asks first."""

    def test_close_main_windows_during_session(self):
        def body(s):
            host_display, viewer_display, host, host_id, viewer = viewer_in_session(s)
            viewer_id = viewer.wait_id()

            # The viewer's program goes first, with its viewer window still open.
            main = [w for w in s.windows(viewer_display, "^TALMIR Remote$")]
            self.assertEqual(len(main), 1, "one main window on the viewer's display")
            close_window(viewer_display, main[0])
            self.assertEqual(viewer.wait_exit(), 0)
            wait_until("the relay to end the session",
                       lambda: "session ended" in open(s.relay_log, errors="replace").read(), 20)
            wait_until("the relay to drop the viewer program's host",
                       lambda: "host disconnected: %s" % viewer_id in open(s.relay_log, errors="replace").read(), 20)

            # The host, back to waiting, closes as well. Its unattended access is on and this
            # desktop has no tray: it asks first, and ends on "yes".
            host.check_alive()
            host_main = s.windows(host_display, "^TALMIR Remote$")
            close_window(host_display, host_main[0])
            box = wait_consent_box(s, host_display, set(host_main))
            host.check_alive()
            answer_box(s, host_display, box, "Return")
            self.assertEqual(host.wait_exit(), 0)
        run_case(self, "shutdown", body)


class TestViewerClose(unittest.TestCase):
    """Closing the viewer window ends the session at once, so the partner can be reached again
    straight away (it used to stay busy until the viewer's program quit)."""

    def test_close_viewer_and_connect_again(self):
        def body(s):
            host_display, viewer_display, host, host_id, viewer = viewer_in_session(s)

            windows = s.windows(viewer_display, "^TALMIR Remote - ")
            self.assertEqual(len(windows), 1, "one viewer window")
            close_window(viewer_display, windows[0])
            wait_until("the relay to end the session",
                       lambda: "session ended" in open(s.relay_log, errors="replace").read(), 20)
            wait_until("the viewer window to go", lambda: not s.windows(viewer_display, "^TALMIR Remote - "), 20)
            viewer.check_alive()  # only the window went; the program runs on

            again = auto_viewer(s, "again", viewer_display, host_id, PASSWORD)
            wait_until("the host to admit the second connection",
                       lambda: host.log().count("비밀번호 인증 접속 허용: AutoViewer (127.0.0.1)") >= 2, 30)
            wait_shown_picture(s, host_display, viewer_display)
            again.check_alive()
            host.check_alive()
        run_case(self, "viewer-close", body)


class TestRelayRestart(unittest.TestCase):
    """The relay goes away in the middle of a session and comes back: the host registers again
    and the viewer, counting down in its banner, connects again by itself with its password."""

    def test_viewer_reconnects_by_itself(self):
        def body(s):
            host_display, viewer_display, host, host_id, viewer = viewer_in_session(s)
            s.kill(s.relay)
            time.sleep(1)
            s.start_relay()
            wait_until("the host to admit the viewer again",
                       lambda: host.log().count("비밀번호 인증 접속 허용: AutoViewer (127.0.0.1)") >= 2, 90)
            paint_pattern(host_display, HOST_W, HOST_H, variant=1)
            wait_shown_picture(s, host_display, viewer_display)
            viewer.check_alive()
            host.check_alive()
        run_case(self, "relay-restart", body)


class TestDeviceKey(unittest.TestCase):
    """The first start stores a device key; a restart keeps it, and with it the relay's ID."""

    def test_key_created_once_and_kept(self):
        def body(s):
            s.start_relay()
            display = s.start_display(1024, 768)
            config_dir = os.path.join(s.dir, "shared-config")
            ini = os.path.join(config_dir, "config.ini")

            def stored_key():
                try:
                    text = open(ini, encoding="utf-8").read()
                except OSError:
                    return None
                m = re.search(r"^DeviceKey\s*=\s*(\S*)\s*$", text, re.M)
                return m.group(1) if m else None

            first = s.start_client("first", display, config_dir=config_dir)
            first_id = first.wait_id()
            key = stored_key()
            self.assertIsNotNone(key, "config.ini has no DeviceKey")
            self.assertRegex(key, r"^D[0-9A-F]{32}$")
            self.assertEqual(len(key), 33)
            first.stop()

            second = s.start_client("second", display, config_dir=config_dir)
            second_id = second.wait_id()
            self.assertEqual(stored_key(), key)
            self.assertEqual(second_id, first_id, "the relay gave the same device key another ID")
        run_case(self, "devicekey", body)


class TestHostInControl(unittest.TestCase):
    """The helped person's side of a session: text copied on the host reaches the viewer, the
    host answers in the chat box, and "연결 끊기" ends the session while the ID stays."""

    def test_clipboard_chat_reply_and_end_session(self):
        def body(s):
            host_display, viewer_display = two_displays(s)
            host = s.start_client("host", host_display, password=PASSWORD)
            host_id = host.wait_id()
            main = wait_until("the host's main window", lambda: s.windows(host_display, "^TALMIR Remote$"), 20)[0]
            viewer = auto_viewer(s, "viewer", viewer_display, host_id, PASSWORD)
            area = wait_shown_picture(s, host_display, viewer_display)

            # Host -> viewer clipboard.
            to_viewer = "host copy " + str(os.getpid())
            s.copy_text(host_display, to_viewer)
            wait_until("the host's copy on the viewer's clipboard",
                       lambda: s.clipboard(viewer_display) == to_viewer, 30)

            # The chat reply: the one-line box under the log, Enter sends.
            mx, my, _, _ = s.geometry(host_display, main)
            s.x(host_display, "xdotool", "windowfocus", "--sync", str(main))
            s.x(host_display, "xdotool", "mousemove", str(mx + 24 + 432 + 100), str(my + 340 + 158 + 12), "click", "1")
            s.x(host_display, "xdotool", "type", "--delay", "30", "reply from host")
            s.x(host_display, "xdotool", "key", "Return")
            host.wait_log("[채팅] 나: reply from host")
            # The viewer opens its chat panel for the line, which narrows the picture.
            wait_until("the viewer's chat panel to open",
                       lambda: (lambda now: now if now and now != area else None)(
                           find_marked_area(s.screenshot(viewer_display))), 30, 0.5)

            # End the session from the host's window.
            s.x(host_display, "xdotool", "mousemove", str(mx + 424 + 60), str(my + 17 + 15), "click", "1")
            host.wait_log("사용자가 연결을 끊었습니다")

            def relay_log():
                return open(s.relay_log, errors="replace").read()
            wait_until("the relay to end the session",
                       lambda: "session ended: host %s left" % host_id in relay_log(), 20)
            wait_until("the host to register again",
                       lambda: relay_log().count("host registered: %s " % host_id) >= 2, 20)
            self.assertEqual(host.wait_id(), host_id)
            viewer.check_alive()
            host.check_alive()
        run_case(self, "host-in-control", body)


class TestNoInputControl(unittest.TestCase):
    """A desktop without XTEST cannot take the viewer's input: the log says so at start-up."""

    def test_missing_xtest_is_logged(self):
        def body(s):
            display = s.start_display(HOST_W, HOST_H, extra_args=("-extension", "XTEST"))
            host = s.start_client("host", display)
            host.wait_log("입력 제어 불가: ")
            host.check_alive()
        run_case(self, "no-xtest", body)


class TestStalledRelay(unittest.TestCase):
    """A relay that stops reading while the host sends a file (a stalled relay, a dying link):
    the host's window keeps answering the window manager's pings while its user copies text and
    sends a chat line, and the host gives the connection up after the stall limit and registers
    again."""

    def test_window_answers_while_relay_stops_reading(self):
        def body(s):
            relay = ScriptedRelay()
            try:
                display = s.start_display(HOST_W, HOST_H)
                host = s.start_client("host", display, password=PASSWORD)
                conn = relay.accept()
                key = relay.expect(conn, 1)  # MsgHostRegister
                host_id = "123456789"
                relay.send(conn, 2, host_id)  # MsgHostId
                self.assertEqual(host.wait_id(), host_id)
                main = wait_until("the host's main window", lambda: s.windows(display, "^TALMIR Remote$"), 20)[0]
                proof = hashlib.sha256((host_id + ":" + password_hash(PASSWORD)).encode()).hexdigest()
                relay.send(conn, 9, "127.0.0.1\tscripted viewer\t" + proof)  # MsgAdmitRequest
                relay.expect(conn, 10)  # MsgAdmitAccept
                relay.send(conn, 4)  # MsgSessionStart
                relay.expect(conn, 21)  # MsgMonitorList
                big = os.path.join(s.dir, "big.bin")
                with open(big, "wb") as f:
                    f.truncate(2 << 30)
                relay.send(conn, 53, big)  # MsgFileGet
                relay.expect(conn, 48)  # MsgFileBegin: the download runs
                # From here on the relay reads nothing from this connection.
                stalled = time.monotonic()
                with WindowPinger(display, main) as pinger:
                    time.sleep(2)  # the socket buffers fill up
                    s.copy_text(display, "copied while the relay reads nothing")
                    time.sleep(1)
                    mx, my, _, _ = s.geometry(display, main)
                    s.x(display, "xdotool", "windowfocus", "--sync", str(main))
                    s.x(display, "xdotool", "mousemove", str(mx + 24 + 432 + 100), str(my + 340 + 158 + 12),
                        "click", "1")
                    s.x(display, "xdotool", "type", "--delay", "30", "still here")
                    s.x(display, "xdotool", "key", "Return")
                    host.wait_log("[채팅] 나: still here", 10)
                    host.wait_log("연결 끊김: 서버가 데이터를 받지 않습니다 (시간 초과)", 60)
                    given_up = time.monotonic() - stalled
                    again = relay.accept(30)
                    self.assertEqual(relay.expect(again, 1), key)
                    relay.send(again, 2, host_id)
                    time.sleep(1)
                host.check_alive()
                sys.stderr.write("window pings answered: %d, slowest %.3f s; connection given up after %.1f s\n"
                                 % (pinger.answered, pinger.worst, given_up))
                self.assertGreater(pinger.answered, 20)
                self.assertLess(pinger.worst, 0.5 * SLOW, "the window stopped processing events")
                self.assertGreater(given_up, 25, "the stall limit is 30 s without progress")
            finally:
                relay.close()
        run_case(self, "stalled-relay", body)


if __name__ == "__main__":
    enter_private_network()
    unittest.main(verbosity=2)
