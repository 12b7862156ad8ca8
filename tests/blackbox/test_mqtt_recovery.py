"""The controller's three MQTT connections (plain, TLS, password) come back
after their broker went away: mosquitto killed and started again three
times, then a broker that answers with junk for 30 s before the real one
returns. Each time all three are back within the connection machine's retry
time, with the controller's thread count back where it was and its
descriptors and memory flat."""

import os
import signal
import socket
import ssl
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bbsupport import wait_for  # noqa: E402
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


class JunkBroker:
    """Listeners on the broker's three ports in the peer's namespace (TLS on
    8883) that answer each new connection on a port with the next fault of
    the port's own round: a CONNACK of the wrong length, a malformed PUBLISH
    after a good CONNACK, SUBACKs that refuse every topic, or silence. The
    subscribing connection (1883) meets the refused SUBACKs first."""

    FAULTS = ("connack", "publish", "suback", "silence")
    ROUNDS = {1883: ("suback", "connack", "publish", "silence"), 1884: ("publish", "silence", "connack", "suback"),
              8883: ("connack", "publish", "silence", "suback")}

    def __init__(self, peer, addr, tls_files):
        self.stop = False
        self.turn = {port: 0 for port in self.ROUNDS}
        self.seen = []
        self.threads = []
        self.open = []
        self.tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.tls.load_cert_chain(*tls_files)
        self.listeners = []
        for port in (1883, 1884, 8883):
            s = peer.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            s.bind((addr, port))
            s.listen(8)
            s.settimeout(0.2)
            self.listeners.append((s, port))
        for s, port in self.listeners:
            t = threading.Thread(target=self.accept, args=(s, port), daemon=True)
            t.start()
            self.threads.append(t)

    def accept(self, srv, port):
        while not self.stop:
            try:
                c, _ = srv.accept()
            except (socket.timeout, OSError):
                continue
            fault = self.ROUNDS[port][self.turn[port] % 4]
            self.turn[port] += 1
            self.seen.append((port, fault))
            t = threading.Thread(target=self.serve, args=(c, port, fault), daemon=True)
            t.start()

    def packets(self, c, buf):
        """Whole MQTT packets at the front of buf: (type byte, body), rest."""
        out = []
        while len(buf) >= 2:
            n, mult, i = 0, 1, 1
            while i < len(buf) and i < 5:
                n += (buf[i] & 0x7F) * mult
                mult *= 128
                i += 1
                if not buf[i - 1] & 0x80:
                    break
            else:
                break
            if len(buf) < i + n:
                break
            out.append((buf[0], buf[i:i + n]))
            buf = buf[i + n:]
        return out, buf

    def serve(self, c, port, fault):
        self.open.append(c)
        try:
            if port == 8883:
                c.settimeout(5)
                c = self.tls.wrap_socket(c, server_side=True)
            c.settimeout(0.2)
            buf = b""
            while not self.stop:
                try:
                    d = c.recv(4096)
                except socket.timeout:
                    continue
                if not d:
                    return
                got, buf = self.packets(c, buf + d)
                for kind, body in got:
                    if fault == "silence":
                        continue
                    if kind >> 4 == 1:  # CONNECT
                        c.sendall(CONNACK_BAD_LENGTH if fault == "connack" else CONNACK_OK)
                        if fault == "publish":
                            c.sendall(PUBLISH_BAD)
                    elif kind >> 4 == 8:  # SUBSCRIBE: every topic refused (0x80)
                        topics, at = 0, 2
                        while at + 2 <= len(body):
                            at += 2 + int.from_bytes(body[at:at + 2], "big") + 1
                            topics += 1
                        c.sendall(b"\x90" + remaining_length(2 + topics) + body[:2] + b"\x80" * topics)
                    elif kind >> 4 == 12:  # PINGREQ
                        c.sendall(b"\xd0\x00")
        except (OSError, ssl.SSLError):
            return
        finally:
            try:
                c.close()
            except OSError:
                pass

    def close(self):
        self.stop = True
        for t in self.threads:
            t.join(5)
        for s, _ in self.listeners:
            s.close()
        for c in self.open:
            try:
                c.close()
            except OSError:
                pass


def tasks(pid):
    return len(os.listdir("/proc/%d/task" % pid))


def fds(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        return int([ln for ln in f if ln.startswith("VmRSS:")][0].split()[1])


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
        threads, descriptors, rss = tasks(pid), fds(pid), rss_kb(pid)
        took = []
        for k in range(3):
            self.kill_broker()
            self.assertTrue(wait_for(lambda: self.status() == b"\x03\x00", 30), (k, self.status()))
            self.start_broker()
            took.append(self.back("restart %d" % (k + 1)))
            self.assertTrue(wait_for(lambda: tasks(pid) == threads, 10), (k, tasks(pid), threads))

        # The subscriber of the test's own went with the broker: the junk
        # broker takes the ports for 30 s, then mosquitto comes back.
        self.kill_broker()
        junk = JunkBroker(self.peer, "10.77.0.3", (self.path("srv.crt"), self.path("srv.key")))
        try:
            # At least 30 s of junk, and until every fault was served.
            end = time.monotonic() + 30
            self.assertTrue(wait_for(lambda: time.monotonic() > end and {f for _, f in junk.seen} ==
                                     set(JunkBroker.FAULTS), 60), junk.seen)
        finally:
            junk.close()
        self.assertEqual({p for p, _ in junk.seen}, {1883, 1884, 8883}, junk.seen)
        self.start_broker()
        took.append(self.back("after the junk broker"))
        self.assertTrue(wait_for(lambda: tasks(pid) == threads, 10), (tasks(pid), threads))
        self.assertTrue(wait_for(lambda: fds(pid) <= descriptors, 10), (fds(pid), descriptors))
        # Memory: what a fresh TLS context and client set-up leave in the
        # allocator's free lists, no more (a leak per connection would pass it).
        self.assertLess(rss_kb(pid) - rss, 4096, (rss, rss_kb(pid)))
        sys.stderr.write("back after %s s\n" % ", ".join("%.1f" % t for t in took))


if __name__ == "__main__":
    unittest.main()
