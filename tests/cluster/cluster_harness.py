"""Fixture for the relay cluster tests: Redis, three tlmrelay nodes and HAProxy on loopback.

Each test runs in a network namespace of its own (enter_cluster_network, after the end-to-end
harness), so the fixed ports below meet nothing else on the machine:

    HAProxy   127.0.0.1:59000  with dist/cluster/haproxy.cfg, its node addresses replaced
    node N    127.0.0.1:5900N  clients (N = 1, 2, 3), links to other nodes on 127.0.0.1:5910N
    Redis     127.0.0.1:6379   appendonly, in the test's own folder

HAProxy reaches the nodes from 127.0.0.1, the one address they take PROXY headers from.
Clients that dial a node directly (to be certain where they land) come from another loopback
address, 127.0.0.2 and up, so a node never mistakes their first bytes for a PROXY header.

Clients are RelayClient objects: packet framing as the program writes it (32-bit type, 32-bit
length, payload, little-endian). Standard library only; run with /usr/bin/python3.
"""
import hashlib
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_ROOT = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(SOURCE_ROOT, "tests", "e2e"))
from e2e_harness import (SLOW, E2EFailure, enter_private_network, password_hash,  # noqa: E402
                         wait_until)

HAPROXY_CONFIG = os.path.join(SOURCE_ROOT, "dist", "cluster", "haproxy.cfg")
HAPROXY_PORT = 59000
HAPROXY_STATS = "http://127.0.0.1:8404/;csv"
REDIS_PORT = 6379
NODES = (1, 2, 3)
# ctest's SKIP_RETURN_CODE for these tests.
SKIP_EXIT = 77

# Message codes (protocol/Messages.h).
MsgHostRegister = 1
MsgHostId = 2
MsgConnectRequest = 3
MsgSessionStart = 4
MsgSessionEnd = 6
MsgKeepAlive = 7
MsgAdmitRequest = 9
MsgAdmitAccept = 10
MsgAdmitReject = 11
MsgAdmitWithdrawn = 12
MsgFrame = 17
MsgFrameAck = 18
MsgQuality = 20
MsgMonitorList = 21
MsgChat = 41
MsgFileChunk = 49
MsgRelayError = 255
ADMIT_REJECT_REASON = "원격지 사용자가 접속을 거부했습니다"


def client_port(node):
    return 59000 + node


def link_port(node):
    return 59100 + node


def session_proof(host_id, password):
    """What a viewer sends to prove it knows the host's password (protocol/Credentials.h)."""
    return hashlib.sha256((host_id + ":" + password_hash(password)).encode("utf-8")).hexdigest()


def skip_unless_tools():
    """Exits with SKIP_EXIT, saying why, when a program the cluster needs is missing."""
    missing = [tool for tool in ("redis-server", "haproxy", "unshare")
               if not shutil.which(tool) and not os.path.exists("/usr/sbin/" + tool)]
    if missing:
        print("SKIP: %s not installed (scripts/install-deps installs it)" % ", ".join(missing))
        sys.exit(SKIP_EXIT)


def enter_cluster_network():
    """A network namespace of this test's own (see enter_private_network) whose outgoing
    connections take their local ports below the fixed ports above: by default Linux picks them
    from 32768-60999, and a node's connection to Redis that happened to get 59002 would keep
    node 2 from listening there."""
    enter_private_network()
    with open("/proc/sys/net/ipv4/ip_local_port_range", "w") as f:
        f.write("20000 29999")


def find_tool(name):
    return shutil.which(name) or "/usr/sbin/" + name


# ---------------------------------------------------------------------------------------------
# Clients

class ConnectionClosed(E2EFailure):
    pass


_next_source = [2]
_source_lock = threading.Lock()


def fresh_source():
    """A loopback address of its own for one direct client (127.0.0.2, 127.0.0.3, ...)."""
    with _source_lock:
        n = _next_source[0]
        _next_source[0] += 1
    return "127.0.%d.%d" % (n // 250, 2 + n % 250)


_open_clients = []


def close_clients():
    """Closes every client a test opened (those it closed itself too: that does no harm)."""
    while _open_clients:
        _open_clients.pop().close()


class RelayClient:
    """One TCP connection to a node or to HAProxy, speaking relay packets.

    Reads belong to one thread at a time; sends may come from several (a lock keeps each
    packet whole)."""

    def __init__(self, port, source=None, timeout=10):
        self.source = source or fresh_source()
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout,
                                             source_address=(self.source, 0))
        _open_clients.append(self)
        self.sock.settimeout(None)
        self.buffer = bytearray()
        self.write_lock = threading.Lock()
        self.eof = False

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass

    def send(self, kind, payload=b""):
        if isinstance(payload, str):
            payload = payload.encode("utf-8")
        with self.write_lock:
            self.sock.sendall(struct.pack("<II", kind, len(payload)) + payload)

    def _fill(self, count, deadline):
        while len(self.buffer) < count:
            if self.eof:
                raise ConnectionClosed("connection closed by the relay")
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise socket.timeout("no packet in time")
            self.sock.settimeout(remaining)
            try:
                chunk = self.sock.recv(1 << 20)
            except (ConnectionResetError, BrokenPipeError):
                chunk = b""
            if not chunk:
                self.eof = True
                raise ConnectionClosed("connection closed by the relay")
            self.buffer += chunk

    def recv(self, timeout=10):
        """The next packet as (type, payload bytes); relay keep-alives are passed over. The time
        allowed grows for sanitizer builds, as everywhere in these tests."""
        deadline = time.monotonic() + timeout * SLOW
        while True:
            self._fill(8, deadline)
            kind, length = struct.unpack_from("<II", self.buffer)
            self._fill(8 + length, deadline)
            payload = bytes(self.buffer[8:8 + length])
            del self.buffer[:8 + length]
            if kind != MsgKeepAlive:
                return kind, payload

    def expect(self, kind, timeout=10, what=None):
        """The payload of the next packet, which must be of type `kind`."""
        try:
            got, payload = self.recv(timeout)
        except socket.timeout:
            raise E2EFailure("no %s (packet %d) within %ss" % (what or "packet", kind, timeout))
        except ConnectionClosed:
            raise E2EFailure("connection closed while waiting for %s (packet %d)" % (what or "packet", kind))
        if got != kind:
            raise E2EFailure("packet %d (%r) where %s (packet %d) was expected"
                             % (got, payload[:200], what or "a packet", kind))
        return payload

    def wait_closed(self, timeout=10, allowed=(MsgSessionEnd, MsgRelayError)):
        """Waits for the relay to close; returns the packet types seen before (only `allowed`)."""
        seen = []
        deadline = time.monotonic() + timeout * SLOW
        while True:
            try:
                kind, payload = self.recv(max(0.0, deadline - time.monotonic()) / SLOW)
            except ConnectionClosed:
                return seen
            except socket.timeout:
                raise E2EFailure("connection still open after %ss (saw %r)" % (timeout, seen))
            if kind not in allowed:
                raise E2EFailure("packet %d (%r) while waiting for the close" % (kind, payload[:200]))
            seen.append(kind)


class Host(RelayClient):
    """A scripted host: registers a device key and answers admission requests as the program
    does (a proof made from its password hash and its ID admits; anything else is refused here,
    where the program would ask its user)."""

    def __init__(self, port, key, password=None, source=None):
        super().__init__(port, source)
        self.key, self.password, self.id = key, password, None
        try:
            self.send(MsgHostRegister, key)
            self.id = self.expect(MsgHostId, what="the host's ID").decode()
        except BaseException:
            self.close()
            raise

    def answer(self, timeout=15):
        """Answers the next admission request; returns (viewer address, name, accepted)."""
        text = self.expect(MsgAdmitRequest, timeout, "an admission request").decode("utf-8")
        fields = text.split("\t")
        if len(fields) != 3:
            raise E2EFailure("admission request %r has %d fields, not 3" % (text, len(fields)))
        address, name, proof = fields
        accepted = bool(self.password and proof and proof.lower() == session_proof(self.id, self.password))
        if accepted:
            self.send(MsgAdmitAccept)
        else:
            self.send(MsgAdmitReject, ADMIT_REJECT_REASON)
        return address, name, accepted


def register_host(port, key, password=None, timeout=20):
    """A Host, registered through `port`, trying again while the way there is not ready (a node
    that just died may still be in HAProxy's rotation; the program's host retries the same way)."""
    def attempt():
        try:
            return Host(port, key, password)
        except (OSError, E2EFailure):
            return None
    return wait_until("a host with key %s to register through port %d" % (key, port), attempt, timeout,
                      interval=0.5)


class Viewer(RelayClient):
    def request(self, host_id, name="viewer", proof=""):
        self.send(MsgConnectRequest, "%s\t%s\t%s\tcontrol" % (host_id, name, proof))


def open_session(host, viewer_port, name="viewer"):
    """A viewer on `viewer_port` admitted by `host`'s password; both have seen MsgSessionStart."""
    viewer = Viewer(viewer_port)
    viewer.request(host.id, name, session_proof(host.id, host.password))
    address, got_name, accepted = host.answer()
    if not accepted or got_name != name:
        raise E2EFailure("host did not admit %r (saw %r, accepted %s)" % (name, got_name, accepted))
    if address != viewer.source:
        raise E2EFailure("host saw the viewer as %r, not as its address %r" % (address, viewer.source))
    viewer.expect(MsgSessionStart, what="the viewer's session start")
    host.expect(MsgSessionStart, what="the host's session start")
    return viewer


def host_and_viewer(host_port, viewer_port, key, password):
    """A host registered through `host_port` and a viewer it admitted through `viewer_port`."""
    host = Host(host_port, key, password)
    return host, open_session(host, viewer_port)


def exchange(host, viewer, text):
    """One chat packet each way; raises unless both arrive unchanged."""
    viewer.send(MsgChat, "to host: " + text)
    host.send(MsgChat, "to viewer: " + text)
    got_host = host.expect(MsgChat, what="chat from the viewer").decode()
    got_viewer = viewer.expect(MsgChat, what="chat from the host").decode()
    if (got_host, got_viewer) != ("to host: " + text, "to viewer: " + text):
        raise E2EFailure("chat changed on the way: %r, %r" % (got_host, got_viewer))


class TcpProxy:
    """Passes every connection on 127.0.0.1:`port` to 127.0.0.1:`target` (a node's way to Redis)
    until `cut`, which closes them all and stops listening: that node is cut off while Redis
    stays up for the others."""

    def __init__(self, port, target):
        self.target = target
        self.lock = threading.Lock()
        self.sockets = []
        self.listener = socket.create_server(("127.0.0.1", port))
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
                server = socket.create_connection(("127.0.0.1", self.target), timeout=5)
            except OSError:
                with self.lock:
                    if self.listener is None:
                        return
                continue
            with self.lock:
                self.sockets += [client, server]
            for a, b in ((client, server), (server, client)):
                threading.Thread(target=self._pass, args=(a, b), daemon=True).start()

    @staticmethod
    def _pass(source, sink):
        try:
            while True:
                data = source.recv(65536)
                if not data:
                    break
                sink.sendall(data)
        except OSError:
            pass
        for sock in (source, sink):
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def cut(self):
        with self.lock:
            listener, self.listener = self.listener, None
            sockets, self.sockets = self.sockets, []
        for sock in sockets + [listener]:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            sock.close()


# ---------------------------------------------------------------------------------------------
# The cluster

class Cluster:
    """Redis, the three nodes and HAProxy of one test, started on an e2e Session (which owns
    the processes, their logs and the clean-up)."""

    def __init__(self, session):
        self.s = session
        self.relay = session.relay_exe
        self.secret = os.path.join(session.dir, "cluster-secret")
        with open(self.secret, "wb") as f:
            f.write(os.urandom(32).hex().encode())
        os.chmod(self.secret, 0o600)
        self.redis_dir = os.path.join(session.dir, "redis")
        os.makedirs(self.redis_dir)
        self.redis = None
        self.nodes = {}
        self.ended = set()  # nodes killed or stopped on purpose
        self.trace = False  # nodes run under strace, each into its own trace file
        self.haproxy = None
        self.presence_ttl = None  # --presence-ttl of every node (seconds); None: the default
        self.redis_port_of = {}   # node -> the port it reaches Redis on, when not Redis's own

    # -- Redis ---------------------------------------------------------------------------------

    def start_redis(self):
        self.redis = self.s.spawn("redis", [find_tool("redis-server"), "--bind", "127.0.0.1", "--port",
                                            str(REDIS_PORT), "--dir", self.redis_dir, "--appendonly", "yes",
                                            "--save", "", "--daemonize", "no", "--logfile", ""])
        wait_until("Redis to answer PING", self.redis_answers, 20)

    def redis_answers(self):
        with socket.create_connection(("127.0.0.1", REDIS_PORT), timeout=1) as sock:
            sock.sendall(b"PING\r\n")
            return sock.recv(16).startswith(b"+PONG")

    def stop_redis(self):
        """Stops Redis as its service would (SIGTERM: it writes its append-only file and exits)."""
        self.redis.send_signal(signal.SIGTERM)
        try:
            self.redis.wait(timeout=20)
        except subprocess.TimeoutExpired:
            raise E2EFailure("Redis did not stop within 20 s of SIGTERM")

    # -- nodes ---------------------------------------------------------------------------------

    def node_log_path(self, node):
        return os.path.join(self.s.dir, "node%d.log" % node)

    def start_node(self, node):
        argv = [self.relay,
                "--listen", "127.0.0.1:%d" % client_port(node),
                "--db", "unused-in-cluster-mode",
                "--redis", "127.0.0.1:%d" % self.redis_port_of.get(node, REDIS_PORT),
                "--node-name", "node%d" % node,
                "--node-address", "127.0.0.1:%d" % link_port(node),
                "--cluster-secret-file", self.secret,
                "--proxy-from", "127.0.0.1",
                # Every client of a test comes from a handful of addresses within seconds.
                "--requests-per-minute", "1000", "--requests-per-host", "1000", "--new-keys-per-ip", "1000",
                "--log-burst", "1000"]
        if self.presence_ttl:
            argv += ["--presence-ttl", str(self.presence_ttl)]
        # A node started again appends to its log: only what it writes now counts.
        start = len(self.node_log(node))
        self.ended.discard(node)
        if self.trace:
            argv = ["strace", "-f", "-qq", "-o", self.trace_path(node)] + argv
        self.nodes[node] = self.s.spawn("node%d" % node, argv, log=self.node_log_path(node))
        for what, text in (("clients", "listening on 127.0.0.1:%d" % client_port(node)),
                           ("links", "node links on 127.0.0.1:%d" % link_port(node))):
            wait_until("node %d to listen for %s" % (node, what),
                       lambda: self.nodes[node].poll() is not None or text in self.node_log(node)[start:], 20)
            self.check_node(node)

    def check_node(self, node):
        proc = self.nodes[node]
        if proc.poll() is not None:
            raise E2EFailure("node %d exited with %s:\n%s" % (node, proc.returncode, self.node_log(node)[-3000:]))
        return True

    def kill_node(self, node):
        """SIGKILL: the node ends at once, as in a crash or a power loss."""
        self.ended.add(node)
        self.s.kill(self.nodes[node])

    def stop_node(self, node):
        """SIGTERM, as systemctl stop sends it; waits for the node to end and raises unless it
        ended cleanly."""
        self.ended.add(node)
        proc = self.nodes[node]
        pid = proc.pid
        if self.trace:  # strace would only detach on SIGTERM: the relay is its child
            with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
                pid = int(f.read().split()[0])
        os.kill(pid, signal.SIGTERM)
        try:
            code = proc.wait(timeout=20 * SLOW)
        except subprocess.TimeoutExpired:
            raise E2EFailure("node %d did not stop within 20 s of SIGTERM" % node)
        if code != 0:
            raise E2EFailure("node %d stopped with exit status %s" % (node, code))

    def trace_path(self, node):
        return os.path.join(self.s.dir, "trace-node%d" % node)

    def rss(self, node):
        """Resident memory of the node's process, in bytes."""
        with open("/proc/%d/status" % self.nodes[node].pid) as f:
            return int(re.search(r"^VmRSS:\s+(\d+) kB", f.read(), re.M).group(1)) * 1024

    def node_log(self, node):
        try:
            with open(self.node_log_path(node), encoding="utf-8", errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def wait_node_log(self, node, text, timeout=20):
        wait_until("node %d to log %r" % (node, text), lambda: text in self.node_log(node), timeout)

    def nodes_logging(self, text):
        """The nodes whose log holds `text`."""
        return {node for node in self.nodes if text in self.node_log(node)}

    # -- HAProxy -------------------------------------------------------------------------------

    def haproxy_config(self):
        """The example configuration with this test's node addresses; run as root in name only
        (a user namespace), it also keeps its user, which it could not switch away from."""
        with open(HAPROXY_CONFIG) as f:
            text = f.read()
        text, count = re.subn(r"^(\s*server\s+node(\d+)\s+)\S+",
                              lambda m: "%s127.0.0.1:%d" % (m.group(1), client_port(int(m.group(2)))), text,
                              flags=re.M)
        if count != len(NODES):
            raise E2EFailure("%s names %d nodes, not %d" % (HAPROXY_CONFIG, count, len(NODES)))
        if not real_root():
            text = re.sub(r"^\s*(user|group)\s+\S+\s*$", "", text, flags=re.M)
        path = os.path.join(self.s.dir, "haproxy.cfg")
        with open(path, "w") as f:
            f.write(text)
        return path

    def start_haproxy(self):
        config = self.haproxy_config()
        check = subprocess.run([find_tool("haproxy"), "-c", "-f", config], capture_output=True, text=True)
        if check.returncode != 0:
            raise E2EFailure("haproxy -c refuses the configuration:\n" + check.stdout + check.stderr)
        self.haproxy = self.s.spawn("haproxy", [find_tool("haproxy"), "-db", "-f", config])
        wait_until("HAProxy to see every node up", lambda: self.servers_up() == {"node%d" % n for n in self.nodes}, 30)

    def servers_up(self):
        """Names of the nodes HAProxy's health checks find up (its statistics page, as CSV)."""
        if self.haproxy.poll() is not None:
            raise E2EFailure("haproxy exited with %s" % self.haproxy.returncode)
        with urllib.request.urlopen(HAPROXY_STATS, timeout=2) as page:
            rows = page.read().decode().splitlines()
        header = rows[0].lstrip("# ").split(",")
        up = set()
        for row in rows[1:]:
            fields = dict(zip(header, row.split(",")))
            if fields.get("pxname") == "tlmrelay_nodes" and fields.get("status", "").startswith("UP") \
                    and fields.get("svname") not in ("BACKEND", "FRONTEND"):
                up.add(fields["svname"])
        return up

    def start(self):
        self.start_redis()
        for node in NODES:
            self.start_node(node)
        self.start_haproxy()


def real_root():
    """True when this process is root of the machine, not only of a user namespace."""
    try:
        with open("/proc/self/uid_map") as f:
            return f.read().split()[:3] == ["0", "0", "4294967295"]
    except OSError:
        return os.geteuid() == 0
