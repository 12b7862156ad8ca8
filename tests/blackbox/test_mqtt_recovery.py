"""The controller's three MQTT connections (plain, TLS, password) come back
after their broker went away: mosquitto killed and started again three
times, then a broker that answers with junk for 30 s before the real one
returns. Each time all three are back within the connection machine's retry
time, with the controller's thread count back where it was and its
descriptors and memory flat."""

import os
import signal
import ssl
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bbsupport import TcpPeer, fd_count as fds, rss_kb, task_count as tasks, wait_for  # noqa: E402
from test_mqtt import R, MqttBase  # noqa: E402

ALL_UP = b"\x3b\x00"  # configuration present and read, connections 0, 1 and 2 connected
# A retry: 20 s connect time-out, 10 s for the disconnect, the passes between.
RETRY = 45


def remaining_length(n):
    out = bytearray()
    while True:
        b = n % 128
        n //= 128
        out.append(b | (0x80 if n else 0))
        if not n:
            return bytes(out)


CONNACK_OK = b"\x20\x02\x00\x00"
CONNACK_BAD_LENGTH = b"\x20\x03\x00\x00\x00"
# A PUBLISH whose topic length (5) runs past its remaining length (2).
PUBLISH_BAD = b"\x30\x02\x00\x05"


class JunkPort(TcpPeer):
    """One of the broker's ports in the peer's namespace, taken by a broker
    that answers each new connection with the next fault of the port's own
    round: a CONNACK of the wrong length, a malformed PUBLISH after a good
    CONNACK, SUBACKs that refuse every topic, or silence."""

    def __init__(self, peer, addr, port, round, tls=None):
        super().__init__(peer, addr, port)
        self.round, self.tls, self.port = round, tls, port
        self.seen = []

    def wrap(self, conn):
        self.seen.append(self.round[(self.connections - 1) % len(self.round)])
        if self.tls is None:
            return conn
        try:
            conn.settimeout(5)
            return self.tls.wrap_socket(conn, server_side=True)
        except OSError:
            conn.close()
            return None

    def take(self, conn, buf):
        fault = self.seen[-1]
        while len(buf) >= 2:
            n, mult, i = 0, 1, 1
            while True:  # remaining length: up to four bytes, seven bits each
                if i >= len(buf) or i > 4:
                    return buf
                n += (buf[i] & 0x7F) * mult
                mult *= 128
                i += 1
                if not buf[i - 1] & 0x80:
                    break
            if len(buf) < i + n:
                return buf
            kind, body, buf = buf[0] >> 4, buf[i:i + n], buf[i + n:]
            if fault == "silence":
                continue
            if kind == 1:  # CONNECT
                conn.sendall(CONNACK_BAD_LENGTH if fault == "connack" else CONNACK_OK)
                if fault == "publish":
                    conn.sendall(PUBLISH_BAD)
            elif kind == 8:  # SUBSCRIBE: every topic refused (0x80)
                topics, at = 0, 2
                while at + 2 <= len(body):
                    at += 2 + int.from_bytes(body[at:at + 2], "big") + 1
                    topics += 1
                conn.sendall(b"\x90" + remaining_length(2 + topics) + body[:2] + b"\x80" * topics)
            elif kind == 12:  # PINGREQ
                conn.sendall(b"\xd0\x00")
        return buf


FAULTS = {"connack", "publish", "suback", "silence"}
# The subscribing connection (1883) meets the refused SUBACKs first.
ROUNDS = {1883: ("suback", "connack", "publish", "silence"), 1884: ("publish", "silence", "connack", "suback"),
          8883: ("connack", "publish", "silence", "suback")}


class Recovery(MqttBase):
    def status(self):
        return self.c.read_reg(R(100), 16)

    def start_broker(self):
        # The log starts again, so each start is seen by its own listen lines.
        os.unlink(self.path("broker.log"))
        self.broker = self.in_peer(["mosquitto", "-c", self.path("mosquitto.conf")])
        self.assertTrue(wait_for(lambda: "Opening ipv4 listen socket on port 8883" in self.log(), 10), self.log())

    def kill_broker(self):
        os.kill(self.broker.pid, signal.SIGKILL)
        self.broker.wait()

    def back(self, what):
        """All three connected again within a retry, each a client of the
        broker; the seconds it took."""
        start = time.monotonic()
        ok = wait_for(lambda: self.status() == ALL_UP and "as plc-a (" in self.log() and "as plc-c (" in self.log()
                      and "on port 8883." in self.log(), RETRY)
        self.assertTrue(ok, "%s: status %r after %d s, broker log:\n%s"
                        % (what, self.status(), RETRY, self.log()[-3000:]))
        return time.monotonic() - start

    def test_kill_restart_three_times_then_a_junk_broker(self):
        pid = self.ctl.proc.pid
        self.assertTrue(wait_for(lambda: self.status() == ALL_UP, 30), (self.status(), self.log()[-3000:]))
        # The controller's own threads: the fewest seen over 2 s (a short-lived
        # helper thread may come and go), three of them the library's loops.
        samples = []
        for _ in range(20):
            samples.append(tasks(pid))
            time.sleep(0.1)
        threads = min(samples)
        descriptors, rss = fds(pid), rss_kb(pid)
        loops = lambda: self.ctl.thread_names().count("mosquitto loop")  # noqa: E731
        self.assertEqual(loops(), 3)
        took = []
        for k in range(3):
            self.kill_broker()
            self.assertTrue(wait_for(lambda: self.status() == b"\x03\x00", 30), (k, self.status()))
            self.start_broker()
            took.append(self.back("restart %d" % (k + 1)))
            self.assertTrue(wait_for(lambda: tasks(pid) == threads and loops() == 3, 10),
                            (k, self.ctl.thread_names(), threads))

        # The subscriber of the test's own went with the broker: the junk
        # broker takes the ports for 30 s, then mosquitto comes back.
        self.kill_broker()
        tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls.load_cert_chain(self.path("srv.crt"), self.path("srv.key"))
        junk = [JunkPort(self.peer, "10.77.0.3", port, rnd, tls if port == 8883 else None)
                for port, rnd in ROUNDS.items()]
        for j in junk:
            j.serve()
        try:
            # At least 30 s of junk, and until every fault was served.
            end = time.monotonic() + 30
            served = lambda: {f for j in junk for f in j.seen}  # noqa: E731
            self.assertTrue(wait_for(lambda: time.monotonic() > end and served() == FAULTS, 60),
                            [j.seen for j in junk])
            self.assertTrue(all(j.seen for j in junk), [j.seen for j in junk])
        finally:
            for j in junk:
                j.close()
        self.start_broker()
        took.append(self.back("after the junk broker"))
        self.assertTrue(wait_for(lambda: tasks(pid) == threads and loops() == 3, 10),
                        (self.ctl.thread_names(), threads))
        self.assertTrue(wait_for(lambda: fds(pid) <= descriptors, 10), (fds(pid), descriptors))
        # Memory: what a fresh TLS context and client set-up leave in the
        # allocator's free lists, no more: a leak in each rebuilt connection would show.
        self.assertLess(rss_kb(pid) - rss, 4096, (rss, rss_kb(pid)))
        sys.stderr.write("back after %s s\n" % ", ".join("%.1f" % t for t in took))


if __name__ == "__main__":
    unittest.main()
