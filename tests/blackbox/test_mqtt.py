"""MQTT client of the running controller against mosquitto in a veth peer's
namespace: three broker connections (plain with a will and subscriptions,
TLS with a CA, password), a payload library of ours that publishes and
reads the receive ring, and the status register block."""

import os
import re
import struct
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bbsupport import CONTROLLER, Controller, NetPeer, wait_for  # noqa: E402
import test_net_services as netcfg  # noqa: E402

PAYLOAD_LIB = os.path.join(os.path.dirname(os.path.abspath(CONTROLLER)), "mqtt_payload.so")


def M(n):
    return 14336 + n - 1


def R(n):
    return 32768 + 16 * (n - 1)


def mqtt_block(ca_pem, lib, count=3):
    """File 33: D with the broker table at 64, status %R100, enable %M1; the
    first count of the three broker records in use."""
    strings = bytearray()

    def s(t):
        b = t if isinstance(t, bytes) else t.encode()
        off = len(strings)
        strings.extend(b)
        return off, len(b)

    def record(number, flags, kind, addr, port, version, keepalive, cid=None, will=None, user=None, ca=None,
               subs=0, tls_version=None):
        r = bytearray(184)
        r[4], r[5], r[7] = number, flags, kind
        struct.pack_into("<H", r, 12, port)
        struct.pack_into("<HHH", r, 14, *version)
        if tls_version is not None:
            struct.pack_into("<HH", r, 20, 1, tls_version)
        struct.pack_into("<I", r, 24, keepalive)
        struct.pack_into("<I", r, 60, addr)
        if cid:
            struct.pack_into("<II", r, 52, *s(cid))
        if will:
            r[8] = will[2]
            struct.pack_into("<II", r, 84, *s(will[0]))
            struct.pack_into("<II", r, 92, *s(will[1]))
        if user:
            struct.pack_into("<II", r, 68, *s(user[0]))
            struct.pack_into("<II", r, 76, *s(user[1]))
        if ca:
            r[9] = 1
            struct.pack_into("<II", r, 100, *s(ca))
        struct.pack_into("<H", r, 174, subs)
        struct.pack_into("<II", r, 176, 0, len(lib))
        return bytes(r)

    recs = record(0, 0x21, 1, 0x0A4D0003, 1883, (4, 0, 0), 30, cid="plc-a", will=("plc/0/will", "gone", 1),
                  subs=2)
    recs += record(1, 0x42, 1, 0x0A4D0003, 8883, (3, 1, 0), 20, ca=ca_pem, tls_version=2)
    recs += record(2, 0x24, 3, R(400), 1884, (4, 0, 0), 30, cid="plc-c", user=("plc", "pw1"))
    assert recs[60:64] == bytes([0x03, 0x00, 0x4D, 0x0A])
    d = bytearray(64)
    struct.pack_into("<H", d, 2, 64)
    struct.pack_into("<II", d, 12, R(100), M(1))
    d[20] = count
    strings_at = 64 + len(recs)
    struct.pack_into("<II", d, 32, strings_at, strings_at + len(strings))
    return bytes(d) + recs + bytes(strings) + lib


class MqttBase(unittest.TestCase):
    """mosquitto in the peer's namespace (plain 1883, password 1884, TLS 8883)
    and a controller running the three connections."""

    def setUp(self):
        self.peer = NetPeer(peer="10.77.0.3")
        self.addCleanup(self.peer.close)
        self.tmp = tempfile.mkdtemp(prefix="plc-mqtt-")
        t = self.path

        def ossl(*args):
            subprocess.run(["openssl"] + list(args), check=True, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
        ossl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", t("ca.key"), "-out", t("ca.crt"),
             "-days", "2", "-subj", "/CN=plc test CA")
        ossl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", t("srv.key"), "-out", t("srv.csr"),
             "-subj", "/CN=10.77.0.3")
        with open(t("ext"), "w") as f:
            f.write("subjectAltName=IP:10.77.0.3,DNS:10.77.0.3\n")
        ossl("x509", "-req", "-in", t("srv.csr"), "-CA", t("ca.crt"), "-CAkey", t("ca.key"), "-CAcreateserial",
             "-out", t("srv.crt"), "-days", "2", "-extfile", t("ext"))
        subprocess.run(["mosquitto_passwd", "-b", "-c", t("pw"), "plc", "pw1"], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(t("mosquitto.conf"), "w") as f:
            f.write("per_listener_settings true\nuser root\nlog_dest file %s\nlog_type all\n"
                    "listener 1883 10.77.0.3\nallow_anonymous true\n"
                    "listener 1884 10.77.0.3\nallow_anonymous false\npassword_file %s\n"
                    "listener 8883 10.77.0.3\nallow_anonymous true\ncafile %s\ncertfile %s\nkeyfile %s\n"
                    % (t("broker.log"), t("pw"), t("ca.crt"), t("srv.crt"), t("srv.key")))
        self.broker = self.in_peer(["mosquitto", "-c", t("mosquitto.conf")])
        self.assertTrue(wait_for(lambda: "Opening ipv4 listen socket on port 8883" in self.log(), 10), self.log())
        self.sub_out = open(t("sub.txt"), "w")
        self.addCleanup(self.sub_out.close)
        self.sub = self.in_peer(["mosquitto_sub", "-h", "10.77.0.3", "-p", "1883", "-v", "-t", "plc/#",
                                 "-q", "2", "-F", "%t %q %r %p"], stdout=self.sub_out)
        self.assertTrue(wait_for(lambda: self.log().count("New client connected") >= 1, 10), self.log())

        with open(t("ca.crt"), "rb") as f:
            self.ca = f.read()
        with open(PAYLOAD_LIB, "rb") as f:
            lib = f.read()
        self.ctl = Controller(prefix="plc-mqtt-", dirs=("dev", "mnt/cfg", "mnt/USB0"))
        self.addCleanup(self.ctl.cleanup)
        self.c = self.ctl.start(port=True).client
        self.c.download(5, netcfg.io_config(netcfg.config_block()))
        self.c.set_mode(0)
        self.c.download(33, mqtt_block(self.ca, lib))
        self.c.download(0, struct.pack("<H", 9) + struct.pack("<I", 0x8000) + bytes(5))
        self.c.write_reg(R(400), 32, 0x0A4D0003)
        self.c.write_reg(M(1), 1, 1)
        self.c.set_mode(2)
        self.lib = lib

    def path(self, name):
        return os.path.join(self.tmp, name)

    def in_peer(self, cmd, stdout=subprocess.DEVNULL):
        p = subprocess.Popen(["nsenter", "-t", str(self.peer.holder.pid), "-n"] + cmd, stdout=stdout,
                             stderr=subprocess.DEVNULL)

        def end():
            if p.poll() is None:
                p.terminate()
                try:
                    p.wait(5)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
        self.addCleanup(end)
        return p

    def log(self):
        try:
            with open(self.path("broker.log"), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def got(self):
        with open(self.path("sub.txt")) as f:
            return f.read().splitlines()

    def dword(self, ref):
        return int.from_bytes(self.c.read_reg(ref, 16) + self.c.read_reg(ref + 16, 16), "little")


class Mqtt(MqttBase):
    def test_three_brokers_payload_library_ring_and_counters(self):
        self.assertTrue(wait_for(lambda: self.c.read_reg(R(100), 16) == b"\x3b\x00", 30),
                        (self.c.read_reg(R(100), 16), self.log()[-3000:]))
        log = self.log()
        self.assertRegex(log, r"New client connected from 10\.77\.0\.2:\d+ as plc-a \(p2, c0, k30\)\.")
        self.assertRegex(log, r"New client connected from 10\.77\.0\.2:\d+ as \S+ \(p1, c1, k20\)\.")
        self.assertRegex(log, r"New client connected from 10\.77\.0\.2:\d+ as plc-c \(p2, c1, k30, u'plc'\)\.")
        self.assertRegex(log, r"New connection from 10\.77\.0\.2:\d+ on port 8883\.")
        self.assertRegex(log, r"Will message specified \(4 bytes\) \(r0, q1\)\.\n.*\tplc/0/will")
        cert = self.ctl.path("mnt", "USB0", "1_dca-cert.pem")
        with open(cert, "rb") as f:
            self.assertEqual(f.read(), self.ca)
        # The certificate file is written once: later passes leave the same
        # file (inode, time stamp) in place while the network thread reads it.
        first = os.stat(cert)
        for i in range(3):
            with open(self.ctl.path("dev", "shm", "%d_libdpc.so" % i), "rb") as f:
                self.assertEqual(f.read(), self.lib)
            self.assertEqual(os.readlink(self.ctl.path("usr", "lib", "%d_libdpc.so" % i)),
                             self.ctl.path("dev", "shm", "%d_libdpc.so" % i))
        hello = ["plc/0/hello 1 0 up 0", "plc/1/hello 1 0 up 1", "plc/2/hello 1 0 up 2"]
        self.assertTrue(wait_for(lambda: sorted(ln for ln in self.got() if "hello" in ln) == hello, 10), self.got())

        self.c.write_reg(R(200), 16, 1234)
        self.assertTrue(wait_for(lambda: "plc/0/reg 0 0 1234" in self.got(), 10), self.got())
        # The retained item of connection 1 is there for a new subscriber.
        out = self.peer.run("mosquitto_sub", "-h", "10.77.0.3", "-p", "1883", "-t", "plc/1/hello", "-q", "1", "-C", "1",
                            "-W", "5", "-F", "%t %q %r %p").stdout
        self.assertEqual(out.strip(), "plc/1/hello 1 1 up 1")

        # Nine messages: entry 0 takes eight, entry 1 the ninth.
        self.assertTrue(wait_for(lambda: "Subscription: plc/in/b" in self.log() or "plc/in/b" in self.log(), 10))
        for k in range(9):
            self.peer.run("mosquitto_pub", "-h", "10.77.0.3", "-p", "1883", "-t", "plc/in/a", "-m", "msg%d" % k,
                          "-q", "1")
        self.assertTrue(wait_for(lambda: self.c.read_reg(R(211), 16) == b"\x01\x00", 10),
                        (self.c.read_reg(R(210), 16), self.c.read_reg(R(211), 16)))
        self.assertEqual(self.c.read_reg(R(210), 16), b"\x08\x00")
        self.assertEqual(self.dword(R(212)), ord("8") | 4 << 8 | 1 << 16)

        # Counters: published per connection (offsets 80, 176, 272) as the
        # broker got them, received by connection 0 (112), the totals (16, 48).
        def counters():
            return [self.dword(R(100) + off) for off in (80, 176, 272, 112, 16, 48)]
        self.assertTrue(wait_for(lambda: counters() == [2, 1, 1, 9, 4, 9], 10), counters())
        by_conn = [len([ln for ln in self.got() if ln.startswith("plc/%d/" % i) and "will" not in ln])
                   for i in range(3)]
        self.assertEqual(by_conn, [2, 1, 1])

        now = os.stat(cert)
        self.assertEqual((now.st_ino, now.st_mtime_ns, now.st_size), (first.st_ino, first.st_mtime_ns, len(self.ca)))
        self.assertFalse(os.path.exists(cert + ".new"))

        # A block of one connection downloaded while running: connections 1
        # and 2 are stopped and destroyed (their status bits clear), 0 comes back.
        self.c.download(33, mqtt_block(self.ca, self.lib, count=1))
        self.assertTrue(wait_for(lambda: "Client plc-c disconnected" in self.log(), 20), self.log()[-2000:])
        self.assertTrue(wait_for(lambda: self.c.read_reg(R(100), 16) == b"\x0b\x00", 20),
                        self.c.read_reg(R(100), 16))
        self.assertTrue(wait_for(lambda: len(re.findall(r"as plc-a \(p2, c0, k30\)", self.log())) == 2, 20),
                        self.log()[-2000:])

        # Clearing the enable bit takes every connection down.
        self.c.write_reg(M(1), 1, 0)
        self.assertTrue(wait_for(lambda: self.c.read_reg(R(100), 16) == b"\x03\x00", 40),
                        self.c.read_reg(R(100), 16))


if __name__ == "__main__":
    unittest.main()
