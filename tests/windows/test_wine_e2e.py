"""End-to-end cases of the Windows program under Wine with the real Linux program and relay.

Run one case (the runner, scripts/run-windows-tests, gives a Wine prefix; ctest passes the
paths):  TLM_E2E_CLIENT=build/app/TLMRemoteClient TLM_E2E_RELAY=build/relay/tlmrelay \
         TLM_WIN_CLIENT=build-windows/winui/TLMRemoteClient.exe \
         TLM_WIN_HELPER=build-windows/tests/windows/win_e2e_helper.exe \
         /usr/bin/python3 tests/windows/test_wine_e2e.py TestWineHost
Each case moves itself into a network namespace of its own, so its relay has port 59000.
"""
import glob
import hashlib
import os
import getpass
import re
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
import wine_harness as w  # noqa: E402
from e2e_harness import (RELAY_PORT, E2EFailure, enter_private_network, find_marked_area, paint_pattern,  # noqa: E402
                         pattern_rects, run_case, wait_until)
from test_e2e import (PASSWORD, WRONG_PASSWORD, answer_box, auto_viewer, keep_wrong_password,  # noqa: E402
                      result_of, wait_consent_box, wait_result, wait_shown_picture, wait_wrong_password_forgotten)

HOST_W, HOST_H = 1280, 720
RUN_KEY = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run"
# What a host logs once an encrypted session is established (the session code follows).
ENCRYPTED_LOG = "암호화된 세션 - 세션 코드 "
FILES_DRIVER = os.environ.get("TLM_E2E_FILES", "")
VIEWER_W, VIEWER_H = 1600, 900


def read_text(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except OSError:
        return ""


def keys_logged(keylog):
    return read_text(keylog).split("\n")


class TestWineHost(unittest.TestCase):
    """The Windows program as host, the Linux program as viewer admitted by its password over
    the end-to-end handshake (the Linux viewer never sends the static proof)."""

    def test_linux_viewer_sees_wine_screen_and_controls_it(self):
        def body(s):
            s.start_relay()
            host_display = s.start_display(HOST_W, HOST_H)
            viewer_display = s.start_display(VIEWER_W, VIEWER_H)
            keylog = w.start_pattern(s, host_display, pattern_rects(HOST_W, HOST_H))
            host = w.start_windows_client(s, "host", host_display, password=PASSWORD)
            host_id = host.wait_id()

            # The unattended viewer's first frame.
            result = os.path.join(s.dir, "result.txt")
            viewer = auto_viewer(s, "viewer", viewer_display, host_id, PASSWORD, result)
            wait_result(result, viewer)
            host.wait_log("비밀번호 인증 접속 허용: AutoViewer (127.0.0.1)")
            host.wait_log(ENCRYPTED_LOG)
            viewer.stop()

            # A viewer that stays shows what Wine shows on the host's display.
            watcher = auto_viewer(s, "watcher", viewer_display, host_id, PASSWORD)
            area = wait_shown_picture(s, host_display, viewer_display)
            window = wait_until("the viewer window", lambda: s.windows(viewer_display, "^TALMIR Remote - "), 20)[0]

            # A click on the picture lands in the host's Win32 window at that point; the keys
            # typed afterwards arrive there as virtual keys.
            target = (100, 650)  # on the pattern, clear of the main window
            ax, ay, aw, ah = area
            vx, vy = ax + (target[0] * aw + HOST_W // 2) // HOST_W, ay + (target[1] * ah + HOST_H // 2) // HOST_H
            s.x(viewer_display, "xdotool", "windowfocus", "--sync", str(window))
            s.x(viewer_display, "xdotool", "mousemove", str(vx), str(vy), "click", "1")

            def clicked():
                for line in keys_logged(keylog):
                    m = re.fullmatch(r"click (\d+) (\d+)", line)
                    if m and abs(int(m.group(1)) - target[0]) <= 3 and abs(int(m.group(2)) - target[1]) <= 3:
                        return True
                return False
            wait_until("the click in the host's Win32 window", clicked, 20)
            for key, vk in (("a", 0x41), ("5", 0x35), ("Return", 0x0D)):
                s.x(viewer_display, "xdotool", "key", key)
                wait_until("key %s as virtual key %d on the host" % (key, vk),
                           lambda: "down %d" % vk in keys_logged(keylog) and "up %d" % vk in keys_logged(keylog), 20)

            # Clipboard both ways.
            to_host = "viewer copy 한글 %d" % os.getpid()
            s.copy_text(viewer_display, to_host)
            got = os.path.join(s.dir, "clip.txt")

            def host_clipboard():
                w.helper(s, host_display, "clip-get", w.wine_path(got))
                return read_text(got)
            wait_until("the viewer's copy on the host's clipboard", lambda: host_clipboard() == to_host, 30)
            to_viewer = "host copy 윈도우 %d" % os.getpid()
            source = os.path.join(s.dir, "clip-set.txt")
            with open(source, "w", encoding="utf-8") as f:
                f.write(to_viewer)
            w.helper(s, host_display, "clip-set", w.wine_path(source))
            wait_until("the host's copy on the viewer's clipboard", lambda: s.clipboard(viewer_display) == to_viewer, 30)

            # Chat from the host's main window; the viewer opens its chat panel for the line.
            if w.helper(s, host_display, "enter", w.MAIN_CLASS, str(w.MAIN_CHAT_ID), "reply from wine") != 0:
                raise E2EFailure("no chat line in the host's main window")
            host.wait_log("[채팅] 나: reply from wine")
            wait_until("the viewer's chat panel to open",
                       lambda: (lambda now: now if now and now != area else None)(
                           find_marked_area(s.screenshot(viewer_display))), 30, 0.5)
            # And a line typed in the viewer's chat box (the panel's bottom line, above the status
            # bar) reaches the host's log.
            wx, wy, ww, wh = s.geometry(viewer_display, window)
            s.x(viewer_display, "xdotool", "mousemove", str(wx + ww - 130), str(wy + wh - 45), "click", "1")
            s.x(viewer_display, "xdotool", "type", "--delay", "30", "hello from linux")
            s.x(viewer_display, "xdotool", "key", "Return")
            host.wait_log("[채팅] 원격: hello from linux")
            watcher.check_alive()
            host.check_alive()
        run_case(self, "wine-host", body)


class TestWineViewer(unittest.TestCase):
    """The Windows program as the viewer of a Linux host, unattended and encrypted: the result
    file and the host's log of the sealed session, then a window that shows the host's screen."""

    def test_windows_viewer_of_linux_host(self):
        def body(s):
            s.start_relay()
            host_display = s.start_display(HOST_W, HOST_H)
            paint_pattern(host_display, HOST_W, HOST_H)
            wine_display = s.start_display(VIEWER_W, VIEWER_H)
            host = s.start_client("host", host_display, password=PASSWORD)
            host_id = host.wait_id()
            result = os.path.join(s.dir, "result.txt")
            viewer = w.start_windows_client(s, "winviewer", wine_display, extra_env={
                "TLMREMOTE_AUTOCONNECT": host_id, "TLMREMOTE_AUTOPW": PASSWORD,
                "TLMREMOTE_RESULTFILE": w.wine_path(result)})
            wait_result(result, viewer)
            host.wait_log("비밀번호 인증 접속 허용: AutoViewer (127.0.0.1)")
            # The Linux host logs this only once the handshake holds and the session is sealed.
            host.wait_log(ENCRYPTED_LOG)
            viewer.stop()
            watcher = w.start_windows_client(s, "winwatcher", wine_display, extra_env={
                "TLMREMOTE_AUTOCONNECT": host_id, "TLMREMOTE_AUTOPW": PASSWORD})
            wait_shown_picture(s, host_display, wine_display)
            watcher.check_alive()
        run_case(self, "wine-viewer", body)

    def test_wrong_password_asks_the_hosts_user(self):
        """A password the Linux host turns down in the handshake: the Windows viewer asks again
        without it, the host's user admits it, and the kept proof of that password is forgotten."""
        def body(s):
            s.start_relay()
            host_display = s.start_display(HOST_W, HOST_H)
            wine_display = s.start_display(VIEWER_W, VIEWER_H)
            host = s.start_client("host", host_display, password=PASSWORD)
            host_id = host.wait_id()
            main_windows = set(s.windows(host_display, "^TALMIR Remote$"))
            config = os.path.join(s.dir, "winviewer", "config")
            keep_wrong_password(config, host_id, "\r\n")
            result = os.path.join(s.dir, "result.txt")
            viewer = w.start_windows_client(s, "winviewer", wine_display, extra_env={
                "TLMREMOTE_AUTOCONNECT": host_id, "TLMREMOTE_AUTOPW": WRONG_PASSWORD,
                "TLMREMOTE_RESULTFILE": w.wine_path(result)})
            host.wait_log("비밀번호가 틀린 접속 요청: AutoViewer (127.0.0.1)", 60)
            box = wait_consent_box(s, host_display, main_windows)
            if result_of(result) is not None:
                raise E2EFailure("a viewer with a wrong password wrote a result: %r" % result_of(result))
            # The viewer window shows itself only once admitted; the main window tells the wait.
            if s.windows(wine_display, "^TALMIR Remote - "):
                raise E2EFailure("the viewer window showed before the host's user answered")
            answer_box(s, host_display, box, "Return")
            wait_result(result, viewer)
            host.wait_log("사용자 동의 접속 허용: AutoViewer (127.0.0.1)")
            wait_wrong_password_forgotten(viewer, config, host_id)
        run_case(self, "wine-wrong-password", body)


class TestWineMainWindow(unittest.TestCase):
    """The Windows main window connects: an ID typed with blanks, the partner's password in the
    input box, a viewer window that the Linux host admits by that password, the ID in the
    recent list."""

    def test_connect_from_the_main_window(self):
        def body(s):
            s.start_relay()
            host_display = s.start_display(HOST_W, HOST_H)
            paint_pattern(host_display, HOST_W, HOST_H)
            wine_display = s.start_display(VIEWER_W, VIEWER_H)
            host = s.start_client("host", host_display, password=PASSWORD)
            host_id = host.wait_id()
            win = w.start_windows_client(s, "winmain", wine_display)
            win.wait_id()
            grouped = " ".join(host_id[i:i + 3] for i in range(0, 9, 3))
            if w.helper(s, wine_display, "enter", w.MAIN_CLASS, str(w.MAIN_REMOTE_ID), grouped) != 0:
                raise E2EFailure("no partner ID box in the main window")
            if w.helper(s, wine_display, "enter", w.INPUT_CLASS, str(w.INPUT_EDIT_ID), PASSWORD) != 0:
                raise E2EFailure("no password box after connect")
            # (Wine sets COMPUTERNAME itself: the name is the machine's.)
            host.wait_log("비밀번호 인증 접속 허용: ")
            host.wait_log(ENCRYPTED_LOG)
            wait_shown_picture(s, host_display, wine_display)
            recent = read_text(os.path.join(win.config_dir, "config.ini"))
            if host_id not in recent:
                raise E2EFailure("the partner's ID is not in the recent list: %r" % recent)
            win.check_alive()
        run_case(self, "wine-main-window", body)


def sha256_of(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class TestWineFiles(unittest.TestCase):
    """A file up into the Windows host's download folder and one down from it, both intact, in
    an encrypted session with the Linux viewer session (tlm_e2e_files: the Linux viewer window's
    file list offers the host's drives only, which clicks cannot find a file in)."""

    def test_file_up_and_down_through_windows_host(self):
        if not os.path.exists(FILES_DRIVER):
            raise unittest.SkipTest("no file driver at %s (the Linux build's tlm_e2e_files)" % FILES_DRIVER)

        def body(s):
            s.start_relay()
            host_display = s.start_display(HOST_W, HOST_H)
            host = w.start_windows_client(s, "host", host_display, password=PASSWORD)
            host_id = host.wait_id()
            tag = "%d-%d" % (os.getpid(), int(time.time()))
            up_name, down_name = "wine-up-%s.bin" % tag, "wine-down-%s.bin" % tag
            up, down = os.path.join(s.dir, up_name), os.path.join(s.dir, down_name)
            with open(up, "wb") as f:
                f.write(os.urandom(700 * 1024 + 13))  # several chunks and a short last one
            with open(down, "wb") as f:
                f.write(os.urandom(500 * 1024 + 77))
            received = os.path.join(s.dir, "viewer-downloads")
            os.makedirs(received)
            res = subprocess.run([FILES_DRIVER, str(RELAY_PORT), host_id, PASSWORD, up, w.wine_path(down),
                                  received, os.path.join(s.dir, "pins.txt")],
                                 capture_output=True, text=True, timeout=180)
            sys.stderr.write(res.stdout + res.stderr)
            if res.returncode != 0:
                raise E2EFailure("the file driver failed: %s" % res.stderr.strip())
            if not res.stdout.startswith("encrypted "):
                raise E2EFailure("no encrypted session: %r" % res.stdout)
            host.wait_log(ENCRYPTED_LOG)
            host.wait_log("비밀번호 인증 접속 허용: FileViewer")
            # The host stores what it receives in the user's Downloads known folder.
            users = os.path.join(w.prefix(s), "drive_c", "users")
            stored = [p for p in glob.glob(os.path.join(users, "*", "Downloads", up_name)) if os.path.isfile(p)]
            if not stored:
                raise E2EFailure("%s is not in the Windows host's Downloads folder" % up_name)
            if sha256_of(stored[0]) != sha256_of(up):
                raise E2EFailure("the uploaded file arrived changed")
            os.remove(stored[0])
            back = os.path.join(received, down_name)
            if not os.path.isfile(back) or sha256_of(back) != sha256_of(down):
                raise E2EFailure("the downloaded file is missing or changed")
            host.check_alive()
        run_case(self, "wine-files", body)


def admissions(instance):
    return read_text(os.path.join(instance.config_dir, "admissions.log"))


class TestWineConsent(unittest.TestCase):
    """Without a password the Windows host asks its user: allowed, refused, or left to lapse."""

    def test_prompt_answered_refused_and_timed_out(self):
        def body(s):
            s.start_relay()
            host_display = s.start_display(HOST_W, HOST_H)
            viewer_display = s.start_display(VIEWER_W, VIEWER_H)
            host = w.start_windows_client(s, "host", host_display)
            host_id = host.wait_id()
            cases = [("허용", True), ("거절", False), (None, False)]  # None: nobody answers
            for n, (button, admitted) in enumerate(cases):
                result = os.path.join(s.dir, "result-%d.txt" % n)
                before = admissions(host).count("\n")
                viewer = auto_viewer(s, "viewer-%d" % n, viewer_display, host_id, None, result)
                wait_until("the consent prompt", lambda: w.helper(s, host_display, "exists", w.CONSENT_CLASS) == 0, 30)
                if button:
                    if w.helper(s, host_display, "click", w.CONSENT_CLASS, button) != 0:
                        raise E2EFailure("no %s button on the prompt" % button)
                else:
                    # The question lapses after a minute and the prompt closes by itself.
                    wait_until("the prompt to close by itself",
                               lambda: w.helper(s, host_display, "exists", w.CONSENT_CLASS) != 0, 90, 1.0)
                wait_until("the admission record", lambda: admissions(host).count("\n") > before, 30)
                record = admissions(host).splitlines()[-1]
                if admitted:
                    wait_result(result, viewer)
                else:
                    time.sleep(1)
                    if result_of(result) is not None:
                        raise E2EFailure("a refused viewer wrote a result: %r" % result_of(result))
                expected = {"허용": "동의", "거절": "거부", None: "시간 초과"}[button]
                if expected not in record:
                    raise E2EFailure("admission record %r lacks %r" % (record, expected))
                viewer.stop()
                time.sleep(1)
            host.check_alive()
        run_case(self, "wine-consent", body)


class TestWineInstall(unittest.TestCase):
    """The installer silently: the program lands with its Start-menu entry, starts and shows its
    ID; the uninstaller removes it and keeps the user's config.ini unless asked."""

    def test_silent_install_and_uninstall(self):
        setup = os.environ.get("TLM_WIN_SETUP", "")
        if not os.path.exists(setup):
            raise unittest.SkipTest("no installer at %s (make windows-installer)" % setup)

        def body(s):
            s.start_relay()
            display = s.start_display(1024, 768)
            drive_c = os.path.join(w.prefix(s), "drive_c")
            folder = os.path.join(drive_c, "TLMTest")
            menu = os.path.join(drive_c, "ProgramData", "Microsoft", "Windows", "Start Menu", "Programs",
                                "TALMIR Remote", "TALMIR Remote.lnk")
            env = w.wine_env(s, display)
            for remove_config in (False, True):
                res = subprocess.run([w.WINE, setup, "/S", "/D=C:\\TLMTest"], env=env, capture_output=True, timeout=120)
                if res.returncode != 0:
                    raise E2EFailure("setup exited with %d" % res.returncode)
                exe = os.path.join(folder, "TLMRemoteClient.exe")
                for path in (exe, menu, os.path.join(folder, "uninstall.exe")):
                    if not os.path.exists(path):
                        raise E2EFailure("not installed: %s" % path)
                # The installed program, with the user's own configuration folder.
                program = w.start_windows_client(s, "installed-%d" % remove_config, display, exe=exe, config_dir="")
                program.wait_id()
                program.stop()
                # "시작할 때 자동 실행" as the settings dialog registers it: gone with the program.
                subprocess.run([w.WINE, "reg", "add", RUN_KEY, "/v", "TALMIR Remote", "/d",
                                '"C:\\TLMTest\\TLMRemoteClient.exe"', "/f"],
                               env=env, capture_output=True, timeout=60, check=True)
                appdata = os.path.join(drive_c, "users", getpass.getuser(), "AppData", "Roaming",
                                       "TLMRemote", "config.ini")
                if not os.path.exists(appdata):
                    raise E2EFailure("the program stored no config.ini at %s" % appdata)
                argv = [w.WINE, os.path.join(folder, "uninstall.exe"), "/S"] + (["/REMOVECONFIG"] if remove_config else [])
                subprocess.run(argv, env=env, capture_output=True, timeout=120)
                # The uninstaller runs from a copy of itself: wait for the files to go.
                wait_until("the program to be removed", lambda: not os.path.exists(exe) and not os.path.exists(menu), 60)
                query = subprocess.run([w.WINE, "reg", "query", RUN_KEY, "/v", "TALMIR Remote"], env=env,
                                       capture_output=True, timeout=60)
                if query.returncode == 0:
                    raise E2EFailure("the start at login is still registered: %r" % query.stdout)
                if os.path.exists(appdata) == remove_config:
                    raise E2EFailure("config.ini %s after uninstalling%s" % (
                        "kept" if remove_config else "removed", " with /REMOVECONFIG" if remove_config else ""))
                # Asked to, it leaves no folder behind: the key and the partners' codes go too.
                if remove_config and os.path.exists(os.path.dirname(appdata)):
                    raise E2EFailure("left after /REMOVECONFIG: %s" % os.listdir(os.path.dirname(appdata)))
        run_case(self, "wine-install", body)


if __name__ == "__main__":
    why = w.missing()
    if why:
        sys.stderr.write("test_wine_e2e: %s; skipped\n" % why)
        sys.exit(77)
    enter_private_network()
    unittest.main()
