"""Relay cluster tests: three tlmrelay nodes on one Redis behind HAProxy, with hosts and
viewers spread over the nodes.

Run one case:  TLM_E2E_RELAY=build/relay/tlmrelay TLM_E2E_CLIENT=build/app/TLMRemoteClient \
                 /usr/bin/python3 tests/cluster/test_cluster.py TestAdmission
(ctest runs each case so; the script moves itself into a network namespace of its own, and exits
with 77, which ctest reports as skipped, when redis-server, haproxy or unshare is missing.)
"""
import os
import random
import re
import shutil
import struct
import sys
import threading
import time
import unittest

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cluster_harness import (  # noqa: E402
    ADMIT_REJECT_REASON, HAPROXY_PORT, NODES, REDIS_PORT, SOURCE_ROOT, Cluster, ConnectionClosed, E2EFailure, Host,
    MsgAdmitAccept, MsgAdmitRequest, MsgAdmitWithdrawn, MsgChat, MsgFileChunk, MsgFrame, MsgFrameAck,
    MsgHostRegister, MsgRelayError, MsgSessionEnd, MsgSessionStart, RelayClient, Viewer, client_port,
    close_clients, enter_cluster_network, exchange, host_and_viewer, open_session, register_host, session_proof,
    skip_unless_tools, TcpProxy, wait_until)
from e2e_harness import run_case  # noqa: E402

PASSWORD = "cluster-Pass 42"
OFFLINE_TEXT = "상대방이 오프라인이거나 존재하지 않는 ID입니다"
BUSY_TEXT = "상대방이 이미 다른 연결을 처리하고 있습니다. 잠시 후 다시 시도하세요"
UNAVAILABLE_TEXT = "릴레이 서버에 일시적인 문제가 있습니다. 잠시 후 다시 시도하세요"
# Codes the relay passes unchanged between the two ends of a session (protocol/Messages.h).
FIRST_SESSION_MSG, LAST_SESSION_MSG = 17, 57


def in_cluster(test, name, body, trace=False, setup=None):
    """Runs body(cluster) on a freshly started cluster (its nodes under strace when `trace`,
    setup(cluster) before anything starts); everything is stopped afterwards."""
    def with_cluster(session):
        cluster = Cluster(session)
        cluster.trace = trace
        try:
            if setup:
                setup(cluster)
            cluster.start()
            body(cluster)
            # No node may have ended by itself along the way.
            for node in set(cluster.nodes) - cluster.ended:
                cluster.check_node(node)
        finally:
            close_clients()
    run_case(test, "cluster-" + name, with_cluster)


def key(name):
    return "cluster-test-key-" + name


def wait_session_gone(client, timeout=15):
    """The session of `client` is over: it got MsgSessionEnd, or its connection closed. Session
    packets its partner sent before (frames already on their way) are passed over."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            kind, payload = client.recv(max(0.0, deadline - time.monotonic()))
        except ConnectionClosed:
            return "closed"
        except OSError:
            raise E2EFailure("the session still runs %ss later" % timeout)
        if kind == MsgSessionEnd:
            return "ended"
        if not FIRST_SESSION_MSG <= kind <= LAST_SESSION_MSG:
            raise E2EFailure("packet %d (%r) where the session's end was expected" % (kind, payload[:100]))


def expect_refusal(client, timeout=15):
    """The relay refuses the client: a MsgRelayError with a text, then the connection closes."""
    text = client.expect(MsgRelayError, timeout, "the relay's refusal").decode("utf-8")
    if not text:
        raise E2EFailure("the refusal has no text")
    client.wait_closed(timeout, allowed=())
    return text


class TestAdmission(unittest.TestCase):
    """A viewer on one node, its host on another: the host's password decides, the host sees
    the viewer's own address, also when the viewer came through HAProxy, and the rest of the
    admission dialogue works as with one relay."""

    def test_cross_node_password_and_refusal(self):
        def body(c):
            host = Host(client_port(1), key("admission"), PASSWORD)

            wrong = Viewer(client_port(2))
            wrong.request(host.id, "wrong", session_proof(host.id, "not the password"))
            address, name, accepted = host.answer()
            self.assertEqual((address, name, accepted), (wrong.source, "wrong", False))
            self.assertEqual(expect_refusal(wrong), ADMIT_REJECT_REASON)

            viewer = open_session(host, client_port(3), "right")
            exchange(host, viewer, "across nodes 3 -> 1")
            viewer.close()
            host.expect(MsgSessionEnd, what="the end of the session its viewer left")

            # Through HAProxy: its PROXY header carries the viewer's address to whichever node
            # takes the viewer, and a link carries it on to node 1.
            proxied = open_session(host, HAPROXY_PORT, "proxied")
            exchange(host, proxied, "through HAProxy")
            proxied.close()
            host.expect(MsgSessionEnd, what="the end of the proxied session")

            nobody = Viewer(client_port(2))
            nobody.request("987654321", "nobody")
            self.assertEqual(expect_refusal(nobody), OFFLINE_TEXT)
        in_cluster(self, "admission", body)

    def test_withdrawal_busy_and_host_leaving_across_nodes(self):
        """The rest of a session's life as with one relay: a viewer that gives up withdraws its
        request, a host in a session is busy, and a viewer whose host left may ask again."""
        def body(c):
            host = Host(client_port(1), key("lifecycle"), PASSWORD)
            leaver = Viewer(client_port(2))
            leaver.request(host.id, "leaver", session_proof(host.id, PASSWORD))
            host.expect(MsgAdmitRequest, what="the leaver's admission request")
            leaver.close()
            host.expect(MsgAdmitWithdrawn, what="the withdrawal")
            host.send(MsgAdmitAccept)  # an answer that comes too late is dropped

            viewer = open_session(host, client_port(3), "stayer")
            busy = Viewer(client_port(2))
            busy.request(host.id, "busy", session_proof(host.id, PASSWORD))
            self.assertEqual(expect_refusal(busy), BUSY_TEXT)

            host.close()
            viewer.expect(MsgSessionEnd, what="the end of the session its host left")
            back = Host(client_port(1), key("lifecycle"), PASSWORD)
            viewer.request(back.id, "stayer", session_proof(back.id, PASSWORD))
            self.assertEqual(back.answer(), (viewer.source, "stayer", True))
            viewer.expect(MsgSessionStart, what="the second session's start")
            back.expect(MsgSessionStart, what="the second session's start")
            exchange(back, viewer, "again on the same viewer connection")
        in_cluster(self, "lifecycle", body)


def packets(seed, count):
    """`count` packets of sizes from empty to 3 MiB, each numbered in its first four bytes."""
    rng = random.Random(seed)
    out = []
    for i in range(count):
        if i % 50 == 49:
            size = rng.randint(1 << 20, 3 << 20)
        elif i % 5 == 0:
            size = rng.randint(0, 16)
        else:
            size = rng.randint(17, 70000)
        out.append((MsgChat if i % 2 else MsgFileChunk, struct.pack("<I", i) + rng.randbytes(size)))
    return out


def stream_both_ways(host, viewer, count, seed):
    """Sends `count` packets each way at once; raises unless each side got the other's exactly."""
    to_viewer, to_host = packets(seed, count), packets(seed + 1, count)
    errors = []

    def send(client, items):
        try:
            for kind, payload in items:
                client.send(kind, payload)
        except Exception as e:
            errors.append("send: %r" % e)

    def receive(client, items, label):
        try:
            for i, (kind, payload) in enumerate(items):
                got_kind, got = client.recv(60)
                if (got_kind, got) != (kind, payload):
                    number = struct.unpack_from("<I", got)[0] if len(got) >= 4 else None
                    errors.append("%s: packet %d arrived as type %d, %d bytes, numbered %s (sent type %d, %d bytes)"
                                  % (label, i, got_kind, len(got), number, kind, len(payload)))
                    return
        except Exception as e:
            errors.append("%s: %r" % (label, e))

    threads = [threading.Thread(target=send, args=(host, to_viewer)),
               threading.Thread(target=send, args=(viewer, to_host)),
               threading.Thread(target=receive, args=(viewer, to_viewer, "viewer")),
               threading.Thread(target=receive, args=(host, to_host, "host"))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise E2EFailure("; ".join(errors))
    return sum(len(p) for _, p in to_viewer + to_host)


class TestTraffic(unittest.TestCase):
    """Sessions across nodes carry what they are given, in order, unchanged, and no faster than
    their slower end reads."""

    def test_in_order_both_ways(self):
        """Hundreds of packets, some of megabytes, both ways at once; a same-node session runs
        beside the cross-node one."""
        def body(c):
            host, viewer = host_and_viewer(client_port(1), client_port(2), key("traffic"), PASSWORD)
            local_host, local_viewer = host_and_viewer(client_port(3), client_port(3), key("traffic-local"),
                                                       PASSWORD)
            errors = []

            def local():
                try:
                    stream_both_ways(local_host, local_viewer, 100, 7)
                except Exception as e:
                    errors.append("same-node session: %s" % e)
            beside = threading.Thread(target=local)
            beside.start()
            total = stream_both_ways(host, viewer, 400, 1)
            beside.join()
            self.assertEqual(errors, [])
            sys.stderr.write("cross-node session passed %.1f MB\n" % (total / 1e6))
            exchange(host, viewer, "still in step")
        in_cluster(self, "traffic", body)

    def test_viewer_that_stops_reading_holds_its_host_back(self):
        """Backpressure across a link: a viewer that reads nothing stops its host's sending
        within buffers' reach, the nodes' memory stays put, and nothing is lost."""
        def body(c):
            host, viewer = host_and_viewer(client_port(1), client_port(2), key("flood"), PASSWORD)
            rss_before = {node: c.rss(node) for node in (1, 2)}
            count, block = 1600, os.urandom(65536)  # 100 MiB, far more than every buffer on the way
            sent = [0]

            def flood():
                try:
                    for i in range(count):
                        host.send(MsgFileChunk, struct.pack("<I", i) + block)
                        sent[0] = i + 1
                except OSError:
                    pass
            sender = threading.Thread(target=flood)
            sender.start()

            def stalled():
                before = sent[0]
                time.sleep(2)
                return sent[0] == before or sent[0] == count
            wait_until("the host's sending to stall", stalled, 60, interval=0)
            held = sent[0] * len(block)
            grown = {node: c.rss(node) - rss_before[node] for node in (1, 2)}
            sys.stderr.write("host stalled after %.1f MB; node memory grew by %s MB\n"
                             % (held / 1e6, {n: round(g / 1e6, 1) for n, g in grown.items()}))
            self.assertLess(held, 64 << 20, "the host was never held back")
            for node, growth in grown.items():
                self.assertLess(growth, 64 << 20, "node %d" % node)

            for i in range(count):
                payload = viewer.expect(MsgFileChunk, 30, "chunk %d" % i)
                if payload[:4] != struct.pack("<I", i) or payload[4:] != block:
                    raise E2EFailure("chunk %d arrived as chunk %d of %d bytes"
                                     % (i, struct.unpack_from("<I", payload)[0], len(payload)))
            sender.join()
            exchange(host, viewer, "after the flood")
        in_cluster(self, "backpressure", body)


class TestNodeKilled(unittest.TestCase):
    """SIGKILL to node 1 mid-session: its session ends on the other node, a session between
    nodes 2 and 3 goes on, and its host comes back through HAProxy under the same ID; node 1
    started again takes its host back, still under that ID."""

    def test_sessions_through_it_end_and_hosts_move(self):
        def body(c):
            host, viewer = host_and_viewer(client_port(1), client_port(2), key("on-killed-node"), PASSWORD)
            other_host, other_viewer = host_and_viewer(client_port(3), client_port(2), key("on-surviving-node"),
                                                       PASSWORD)
            exchange(host, viewer, "before")
            exchange(other_host, other_viewer, "before")

            c.kill_node(1)
            wait_session_gone(viewer)
            wait_session_gone(host)
            exchange(other_host, other_viewer, "after node 1 died")
            # Until the host is back, asking for it gets an answer at once, not a wait.
            early = Viewer(client_port(3))
            early.request(host.id, "too early", session_proof(host.id, PASSWORD))
            expect_refusal(early)

            moved = register_host(HAPROXY_PORT, host.key, PASSWORD)
            self.assertEqual(moved.id, host.id)
            wait_until("a surviving node to log the host's registration",
                       lambda: c.nodes_logging("host registered: %s from" % host.id) - {1}, 10)
            again = open_session(moved, client_port(3))
            exchange(moved, again, "at the host's new node")

            # Node 1 starts again under its name: the host registering there keeps its ID, and
            # viewers on other nodes reach it through links to the new process.
            c.start_node(1)
            back = Host(client_port(1), host.key, PASSWORD)
            self.assertEqual(back.id, host.id)
            moved.wait_closed(15, allowed=(MsgSessionEnd,))
            wait_session_gone(again)
            viewer = open_session(back, client_port(2))
            exchange(back, viewer, "at the restarted node")
            exchange(other_host, other_viewer, "at the end")
        in_cluster(self, "node-killed", body)


class TestSameKey(unittest.TestCase):
    """A host that registers on another node keeps its ID; the older connection is closed and
    viewers reach the newer one."""

    def test_registration_on_another_node_replaces_older(self):
        def body(c):
            first = Host(client_port(1), key("twice"), PASSWORD)
            second = Host(client_port(2), key("twice"), PASSWORD)
            self.assertEqual(second.id, first.id)
            first.wait_closed(15, allowed=())
            viewer = open_session(second, client_port(3))
            exchange(second, viewer, "with the newer registration")
            # And back: a third registration on node 1 replaces the one on node 2.
            third = Host(client_port(1), key("twice"), PASSWORD)
            self.assertEqual(third.id, first.id)
            second.wait_closed(15, allowed=(MsgSessionEnd,))
        in_cluster(self, "same-key", body)


class TestRedisOutage(unittest.TestCase):
    """Redis stopped: sessions go on, registrations and cross-node requests are refused, every
    node says so once; Redis back: everything works again and no ID changed."""

    def test_sessions_go_on_and_ids_survive(self):
        def body(c):
            host, viewer = host_and_viewer(client_port(1), client_port(2), key("outage-in-session"), PASSWORD)
            idle = Host(client_port(3), key("outage-idle"), PASSWORD)

            c.stop_redis()
            for node in NODES:
                c.wait_node_log(node, "redis unavailable: ", 30)
            exchange(host, viewer, "while Redis is down")

            newcomer = RelayClient(client_port(1))
            newcomer.send(MsgHostRegister, key("outage-newcomer"))
            self.assertEqual(newcomer.wait_closed(15, allowed=(MsgRelayError,)), [MsgRelayError])
            asking = Viewer(client_port(1))
            asking.request(idle.id, "during the outage", session_proof(idle.id, PASSWORD))
            self.assertEqual(expect_refusal(asking), UNAVAILABLE_TEXT)
            exchange(host, viewer, "after the refusals")

            c.start_redis()
            for node in NODES:
                c.wait_node_log(node, "redis available again", 30)
            for node in NODES:
                outages = re.findall(r"(?m)^\S+ \S+ redis unavailable: ", c.node_log(node))
                self.assertEqual(len(outages), 1, "node %d" % node)
            exchange(host, viewer, "after Redis came back")

            late = open_session(idle, client_port(1))
            exchange(idle, late, "across nodes again")
            newcomer = register_host(client_port(2), key("outage-newcomer"))
            self.assertRegex(newcomer.id, r"^[1-9]\d{8}$")
            self.assertNotIn(newcomer.id, (host.id, idle.id))
            returning = Host(client_port(3), host.key, PASSWORD)
            self.assertEqual(returning.id, host.id)
        in_cluster(self, "redis-outage", body)


class TestPartition(unittest.TestCase):
    """One node cut off from Redis (Redis up for the others): once its hosts' presence has run
    out it closes them and its client port; they come back through HAProxy to the other nodes
    under the same IDs, and viewers there reach them."""

    TTL = 4  # --presence-ttl of every node, seconds
    PROXY_PORT = 6380

    def test_hosts_of_a_cut_off_node_move_to_the_others(self):
        proxies = []

        def setup(c):
            c.presence_ttl = self.TTL
            c.redis_port_of[1] = self.PROXY_PORT
            proxies.append(TcpProxy(self.PROXY_PORT, REDIS_PORT))

        def body(c):
            hosts = [Host(client_port(1), key("cut-off-%d" % i), PASSWORD) for i in range(3)]
            asking = Viewer(client_port(2))
            asking.request(hosts[0].id, "before the cut")
            hosts[0].answer()
            self.assertEqual(expect_refusal(asking), ADMIT_REJECT_REASON)

            cut_at = time.monotonic()
            proxies[0].cut()
            for host in hosts:
                host.wait_closed(self.TTL + 10, allowed=())
            closed_after = time.monotonic() - cut_at
            c.wait_node_log(1, "client port closed until it answers", 10)
            self.assertEqual(len(re.findall(r"its presence in the shared registry could not be renewed",
                                            c.node_log(1))), len(hosts))

            # Back through HAProxy, as the program's host would come: to a node that reaches Redis.
            back = [register_host(HAPROXY_PORT, host.key, PASSWORD, timeout=30) for host in hosts]
            moved_after = time.monotonic() - cut_at
            self.assertEqual([host.id for host in back], [host.id for host in hosts])
            reached = 0
            for host in back:
                viewer = open_session(host, client_port(3))
                exchange(host, viewer, "after moving")
                reached += 1
            print("presence ttl %d s: hosts of the cut-off node closed %.1f s after the cut, registered "
                  "elsewhere after %.1f s; viewers on another node reached %d of %d"
                  % (self.TTL, closed_after, moved_after, reached, len(hosts)))
            self.assertLessEqual(closed_after, self.TTL + 2)
        in_cluster(self, "partition", body, setup=setup)


class TestProgramAsHost(unittest.TestCase):
    """The real program as host, reaching the cluster through HAProxy on its fixed port, admits
    by password a viewer that dialled another node, streams to it and records its address; when
    its node dies it comes back through HAProxy under the same ID."""

    def test_password_admits_viewer_on_another_node(self):
        if not os.environ.get("TLM_E2E_CLIENT"):
            self.skipTest("TLMRemoteClient not built")

        def watch_from_another_node(c, program, host_id, avoid):
            """A viewer on a live node not in `avoid` sees the host's frames; returns it."""
            viewer = Viewer(client_port(min(set(NODES) - c.ended - avoid)))
            viewer.request(host_id, "cluster-viewer", session_proof(host_id, PASSWORD))
            viewer.expect(MsgSessionStart, 40, "the session's start")
            kinds = []
            while MsgFrame not in kinds:
                kind, payload = viewer.recv(40)
                kinds.append(kind)
            viewer.send(MsgFrameAck)
            admissions = os.path.join(program.config_dir, "admissions.log")
            wait_until("the host to record the viewer's address",
                       lambda: viewer.source in program.read(admissions), 20)
            return viewer

        def holder(c, host_id, among):
            registered = "host registered: %s from" % host_id
            found = wait_until("a node to log the host's registration",
                               lambda: {n for n in among if registered in c.node_log(n)}, 30)
            return min(found)

        def body(c):
            display = c.s.start_display(1024, 768)
            program = c.s.start_client("host", display, password=PASSWORD)
            host_id = program.wait_id()
            first = holder(c, host_id, NODES)
            viewer = watch_from_another_node(c, program, host_id, {first})

            c.kill_node(first)
            wait_session_gone(viewer)
            # The program notices, waits a little and registers again through HAProxy.
            second = holder(c, host_id, set(NODES) - {first})
            self.assertEqual(program.wait_id(), host_id)
            watch_from_another_node(c, program, host_id, {second}).close()
            program.check_alive()
        in_cluster(self, "program-host", body)


class TestNodeSandbox(unittest.TestCase):
    """What a node does (registrations, sessions across nodes and through HAProxy, a Redis
    outage, stopping) stays inside the system-call filter and address families of its unit."""

    def test_node_fits_its_unit(self):
        if os.environ.get("TLM_E2E_SANITIZED") or not shutil.which("strace") or not shutil.which("systemd-analyze"):
            self.skipTest("needs strace, systemd-analyze and a build without sanitizers")
        sys.path.insert(0, os.path.join(SOURCE_ROOT, "tests", "package"))
        from test_packages import assert_trace_fits_unit

        def body(c):
            host, viewer = host_and_viewer(client_port(1), client_port(2), key("sandbox"), PASSWORD)
            stream_both_ways(host, viewer, 20, 3)
            proxied_host, proxied = host_and_viewer(HAPROXY_PORT, HAPROXY_PORT, key("sandbox-proxied"), PASSWORD)
            exchange(proxied_host, proxied, "through HAProxy")
            c.stop_redis()
            for node in NODES:
                c.wait_node_log(node, "redis unavailable: ", 30)
            c.start_redis()
            for node in NODES:
                c.wait_node_log(node, "redis available again", 30)
            exchange(host, viewer, "after the outage")
            close_clients()
            for node in NODES:
                c.stop_node(node)

            trace = []
            for node in NODES:
                with open(c.trace_path(node)) as f:
                    trace += f.read().splitlines()
            assert_trace_fits_unit(self, trace, os.path.join(SOURCE_ROOT, "dist", "cluster", "tlmrelay-node@.service"))
        in_cluster(self, "sandbox", body, trace=True)


if __name__ == "__main__":
    skip_unless_tools()
    enter_cluster_network()
    unittest.main(verbosity=2)
