"""The Windows side of the end-to-end tests: the Windows program and the test helper run under
Wine on a display of the Linux harness (tests/e2e/e2e_harness.py), with the Wine prefix that
scripts/run-windows-tests prepared (WINEPREFIX), or one of their own.

Paths handed to the Windows program are the Linux paths seen through Wine's drive Z:.
"""
import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
from e2e_harness import Instance, password_hash, wait_until  # noqa: E402

WINE = shutil.which("wine")
WIN_CLIENT = os.environ.get("TLM_WIN_CLIENT", "")
WIN_HELPER = os.environ.get("TLM_WIN_HELPER", "")

# The classes the helper looks for and the controls' ids (winui/).
MAIN_CLASS, CONSENT_CLASS, VIEWER_CLASS, INPUT_CLASS = "TLMRemoteMain", "TLMRemoteConsent", "TLMRemoteViewer", "TLMRemoteInput"
MAIN_REMOTE_ID, MAIN_CHAT_ID, INPUT_EDIT_ID = 203, 209, 3


def missing():
    """Why the Wine cases cannot run here, or None."""
    for what, path in (("wine", WINE), ("the Windows program", WIN_CLIENT), ("the test helper", WIN_HELPER),
                       ("the Linux program", os.environ.get("TLM_E2E_CLIENT")),
                       ("the Linux relay", os.environ.get("TLM_E2E_RELAY"))):
        if not path or not os.path.exists(path):
            return "%s is missing (%s)" % (what, path)
    return None


def wine_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def prefix(s):
    """The Wine prefix: the one the runner made, else one of this session's own (slow to make)."""
    if os.environ.get("WINEPREFIX"):
        return os.environ["WINEPREFIX"]
    own = os.path.join(s.dir, "wineprefix")
    if not os.path.isdir(own):
        env = dict(os.environ, WINEPREFIX=own, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        subprocess.run(["wineboot", "-i"], env=env, capture_output=True, timeout=180)
        subprocess.run(["wineserver", "-w"], env=env, capture_output=True, timeout=180)
    os.environ["WINEPREFIX"] = own
    return own


def wine_env(s, display, extra=None):
    env = {k: v for k, v in os.environ.items() if not k.startswith("TLMREMOTE_")}
    env.update({"DISPLAY": display, "WINEPREFIX": prefix(s), "WINEDEBUG": "-all",
                "WINEDLLOVERRIDES": "mscoree,mshtml="})
    own_wineserver(s, env)
    env.update(extra or {})
    return env


def own_wineserver(s, env):
    """Wine's sockets are made by the wineserver, so they live in the network namespace the
    wineserver was started in. The first Wine call of a session ends any wineserver of the prefix
    (one a previous case left in its own namespace); the next Wine program starts one here."""
    if getattr(s, "wine_server_own", False):
        return
    subprocess.run(["wineserver", "-k"], env=env, capture_output=True, timeout=60)
    subprocess.run(["wineserver", "-w"], env=env, capture_output=True, timeout=60)
    s.wine_server_own = True


def helper(s, display, *args, timeout=60):
    res = subprocess.run([WINE, WIN_HELPER, *args], env=wine_env(s, display), capture_output=True, timeout=timeout)
    return res.returncode


def start_pattern(s, display, rects):
    """A Wine window over the whole screen showing `rects`; returns the path of its key log."""
    rect_file = os.path.join(s.dir, "pattern.txt")
    with open(rect_file, "w") as f:
        for (r, g, b), x, y, w, h in rects:
            f.write("%d %d %d %d %d %d %d\n" % (r, g, b, x, y, w, h))
    keylog = os.path.join(s.dir, "keys.log")
    open(keylog, "w").close()
    s.spawn("pattern", [WINE, WIN_HELPER, "show", wine_path(rect_file), wine_path(keylog)], env=wine_env(s, display))

    def ready():
        with open(keylog, errors="replace") as f:
            return "ready" in f.read()
    wait_until("the pattern window", ready, 60)
    return keylog


def start_windows_client(s, label, display, password=None, extra_env=None, exe=None, config_dir=None):
    """Starts the Windows program under Wine with its own configuration folder; the Instance
    reads its ID and log files as the Linux ones are read."""
    base = os.path.join(s.dir, label)
    config = config_dir or os.path.join(base, "config")
    os.makedirs(config, exist_ok=True)
    if password is not None:
        with open(os.path.join(config, "config.ini"), "w") as f:
            f.write("[TLMRemote]\r\nPasswordHash=%s\r\n" % password_hash(password))
    id_file, log_file = os.path.join(base, "id.txt"), os.path.join(base, "host-log.txt")
    env = {"TLMREMOTE_HOST": "127.0.0.1", "TLMREMOTE_IDFILE": wine_path(id_file),
           "TLMREMOTE_LOGFILE": wine_path(log_file), "COMPUTERNAME": label}
    if config_dir != "":
        env["TLMREMOTE_CONFIGDIR"] = wine_path(config)
    env.update(extra_env or {})
    proc = s.spawn(label, [WINE, exe or WIN_CLIENT], env=wine_env(s, display, env),
                   log=os.path.join(base, "output.log"))
    return Instance(s, label, proc, display, base, config,
                    {"TLMREMOTE_IDFILE": id_file, "TLMREMOTE_LOGFILE": log_file})
