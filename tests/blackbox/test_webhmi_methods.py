"""The web HMI methods in the running controller, from a peer namespace:
Digest logins and the X-TavIX session header computed with hashlib, the
session key encrypted with pow() (PKCS#1 v1.5), info, sessions, frames, item
subscriptions, publish and long poll, read and write of registers set and
read back over the command protocol, and the codes of what the controller
does not offer."""

import base64
import hashlib
import json
import os
import re
import socket
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bbsupport import Controller, NetPeer, wait_for  # noqa: E402
from test_modbus import COUNTER, R, config_block, io_config  # noqa: E402
from test_webhmi import chromium, digest_header, listening, wait_web_server  # noqa: E402
import test_iec_runtime as rt  # noqa: E402

HOST = "10.77.0.2"
SECURITY = (b"tavIX\r\nop;226f2a0adcb0f34a56dc9c2f26248223;Right0;Right3\r\n"
            b"viewer;a74040c36bdd1d5dd20513e77fcc9708;Right0;Right1\r\n")


def md5(text):
    return hashlib.md5(text.encode()).hexdigest()


POLL_PAGE = b"""<!DOCTYPE html><html><head><title>poll</title></head>
<body style="margin:0"><div id="v"></div><script>
async function post(method, header, body) {
  const r = await fetch(location.origin + "/tavIX/?" + method,
                        {method: "POST", headers: {"X-TavIX": header}, body: body});
  return r.json();
}
async function start(headers) {
  let k = 0;
  await post("createsubscription", headers[k++], "");
  await post("subscribedata", headers[k++], "subscriptionid=1&address%5B%5D=R_1_1_UINT16");
  const list = document.getElementById("v");
  while (k < headers.length && list.children.length < 6) {
    const got = await post("publish", headers[k++], "longpoll=true");
    for (const n of got.result) {
      if (n.type !== 1) continue;
      const line = document.createElement("div");
      line.textContent = n.value;
      line.style.height = "10px";
      list.appendChild(line);
    }
  }
  document.title = "done";
}
</script></body></html>
"""


class WebSession(unittest.TestCase):
    """A controller with a web project, its registers set, and the helpers of
    a method client."""
    GLOBAL_CFG = b""  # tavIXGlobal.cfg; empty: none (Digest)
    PAGES = {}  # files of wwwroot

    def setUp(self):
        self.peer = NetPeer()
        self.addCleanup(self.peer.close)
        self.ctl = Controller(prefix="plc-webm-")
        self.addCleanup(self.ctl.cleanup)
        www = self.ctl.path("mnt", "USB0", "tavIX", "wwwroot")
        os.makedirs(www)
        for name, data in self.PAGES.items():
            with open(os.path.join(www, name), "wb") as f:
                f.write(data)
        cfg = self.ctl.path("mnt", "USB0", "tavIX", "config")
        os.makedirs(cfg)
        with open(os.path.join(cfg, "security.cfg"), "wb") as f:
            f.write(SECURITY)
        if self.GLOBAL_CFG:
            with open(os.path.join(cfg, "tavIXGlobal.cfg"), "wb") as f:
                f.write(self.GLOBAL_CFG)
        self.c = self.ctl.start(port=True).client
        self.c.download(5, io_config(config_block()))
        self.c.comm_lock(0)
        self.c.write_reg(R(5), 16, 0x1234)
        self.c.write_reg(R(6), 16, 0xFFFE)
        wait_web_server(self.c, self.peer)
        self.cnonce = 0

    def listening(self):
        return listening(self.peer)

    def exchange(self, data, timeout=5):
        """One request and its answer. The server restarts once when the
        address comes up; a connection cut by that restart is tried again."""
        deadline = time.monotonic() + 10
        while True:
            s = self.peer.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.settimeout(timeout)
            try:
                s.connect((HOST, 80))
                s.sendall(data)
                out = b""
                while True:
                    d = s.recv(65536)
                    if not d:
                        return out
                    out += d
            except (ConnectionResetError, ConnectionRefusedError):
                if time.monotonic() > deadline:
                    raise
            finally:
                s.close()

    def nonce(self):
        return re.search(rb'nonce="([0-9a-f]{32})"', self.exchange(b"GET / HTTP/1.0\r\n\r\n")).group(1).decode()

    @staticmethod
    def session_header(session, cnonce):
        """The X-TavIX value of a session (id, key) for a cnonce."""
        sid, key = session
        return 'sessionid="%s", cnonce="%d", digest="%s"' % (sid, cnonce, md5("%s:%s:%d" % (sid, key, cnonce)))

    def session_line(self, session):
        """The next X-TavIX line of a session, or nothing without one."""
        if session is None:
            return b""
        self.cnonce += 1
        return ("X-TavIX: %s\r\n" % self.session_header(session, self.cnonce)).encode()

    def request(self, method, fields=(), session=None, send_only=False, user=("op", "pw")):
        uri = "/tavIX/?" + method
        body = "&".join("%s=%s" % kv for kv in fields).encode()
        extra = self.session_line(session)

        def message(nonce):
            head = b"POST " + uri.encode() + b" HTTP/1.0\r\n" + digest_header(*user, "POST", uri, nonce) + extra
            return head + b"Content-Length: %d\r\n\r\n" % len(body) + body

        data = message(self.nonce())
        if send_only:
            s = self.peer.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.settimeout(30)
            s.connect((HOST, 80))
            s.sendall(data)
            return s
        answer = self.exchange(data)
        if answer.startswith(b"HTTP/1.0 401 "):
            # The server restarted for its new address after it issued the
            # nonce: answered with the new challenge, as a Digest client does.
            answer = self.exchange(message(re.search(rb'nonce="([0-9a-f]{32})"', answer).group(1).decode()))
        self.assertTrue(answer.startswith(b"HTTP/1.0 200 OK\r\n"), answer)
        return json.loads(answer.split(b"\r\n\r\n", 1)[1])

    def session(self, info, user=("op", "pw")):
        n = int(info["encryptionmodulus"], 16)
        e = int(info["encryptionexponent"], 16)
        key = "k%d" % os.getpid()
        size = (n.bit_length() + 7) // 8
        pad = bytes((b % 255) + 1 for b in os.urandom(size - len(key) - 3))
        block = b"\x00\x02" + pad + b"\x00" + key.encode()
        cipher = pow(int.from_bytes(block, "big"), e, n).to_bytes(size, "big").hex()
        answer = self.request("createsession", [("timeout", "20"), ("cipher", cipher)], user=user)
        return answer["sessionid"], key

    def word(self, n):
        return int.from_bytes(self.c.read_reg(R(n), 16), "little")



class Methods(WebSession):
    def test_info_sessions_subscriptions_publish_read_write_and_long_poll(self):
        info = self.request("info")
        self.assertEqual(list(info), ["loginmethod", "encryptionmodulus", "encryptionexponent", "certificationlevel",
                                      "features", "longpollsupport", "securitysupport", "maxtimeout", "vendorinfo",
                                      "servername"])
        self.assertEqual(info["loginmethod"], "http")
        self.assertEqual(len(info["encryptionmodulus"]), 256)
        self.assertGreaterEqual(int(info["encryptionmodulus"][0], 16), 8)
        self.assertEqual(info["encryptionexponent"], "010001")
        self.assertEqual(info["certificationlevel"], "scada")
        self.assertEqual(info["features"], ["session", "subscribedata", "login", "read", "write", "browsertime"])
        self.assertEqual((info["longpollsupport"], info["securitysupport"], info["maxtimeout"], info["servername"]),
                         (True, True, 60, "tavIX_server"))
        self.assertEqual(self.request("read", [("address[]", "R_5_1_INT16")]),
                         {"error": 454, "errorstring": "X-TavIX is missing"})
        sid, key = self.session(info)
        self.assertEqual(sid, "00000001")
        s = (sid, key)
        self.assertEqual(self.request("createsubscription", session=s), {"subscriptionid": "1"})
        answer = self.request("subscribedata", [("subscriptionid", "1"), ("address[]", "R_5_1_INT16"),
                                                ("address[]", "R_6_1_UINT16"), ("address[]", "XYZ_1_1_INT16"),
                                                ("address[]", "R_20_1_LREAL64")], session=s)
        self.assertEqual(answer, {"result": [{"error": 0}, {"error": 0},
                                             {"error": 301, "errorstring": "Address not found"}, {"error": 0}]})
        published = self.request("publish", [("longpoll", "false")], session=s)
        # The session's first notification names its user and rights.
        self.assertEqual(published["result"][0], {"type": 0, "subscriptionid": [""],
                                                  "right": ["Right0", "Right1", "Right2", "Right3"], "username": "op"})
        byaddr = {n["address"]: n for n in published["result"][1:]}
        self.assertEqual(published["remaining"], 0)
        self.assertEqual({k: v for k, v in byaddr["R_5_1_INT16"].items() if k != "timestamp"},
                         {"type": 1, "subscriptionid": ["1"], "address": "R_5_1_INT16", "value": 4660})
        self.assertEqual(byaddr["R_6_1_UINT16"]["value"], 65534)
        self.assertGreater(byaddr["R_5_1_INT16"]["timestamp"], 1.6e12)  # the controller clock, in ms
        self.assertEqual(self.request("publish", [("longpoll", "false")], session=s), {"result": [], "remaining": 0})

        got = self.request("read", [("address[]", "R_5_1_INT16"), ("address[]", "R_6_1_UINT16"),
                                    ("address[]", "R_7_1_INT16")], session=s)["result"]
        self.assertEqual([{k: v for k, v in e.items() if k != "timestamp"} for e in got],
                         [{"value": 4660, "error": 0}, {"value": 65534, "error": 0},
                          {"value": None, "error": 301, "errorstring": "Address not found"}])
        self.assertIn("timestamp", got[0])
        self.assertEqual(self.request("read", [], session=s), {"result": []})
        got = self.request("write", [("address[]", "R_5_1_INT16"), ("value[]", "-2"), ("address[]", "R_7_1_INT16"),
                                     ("value[]", "9")], session=s)
        self.assertEqual(got, {"result": [{"error": 0}, {"error": 301, "errorstring": "Address not found"}]})
        self.assertEqual((self.word(5), self.word(7)), (0xFFFE, 0))
        got = self.request("write", [("address[]", "R_6_1_UINT16"), ("address[]", "R_5_1_INT16"), ("value[]", "7")],
                           session=s)
        self.assertEqual(got, {"result": [{"error": 0}]})
        self.assertEqual(self.word(6), 7)
        changes = self.request("publish", [("longpoll", "false")], session=s)["result"]
        self.assertEqual(sorted((n["address"], n["value"]) for n in changes),
                         [("R_5_1_INT16", -2), ("R_6_1_UINT16", 7)])

        # Long poll: a change over the command protocol answers the waiting publish.
        waiting = self.request("publish", session=s, send_only=True)
        self.addCleanup(waiting.close)
        t0 = time.monotonic()
        self.c.write_reg(R(6), 16, 0x0102)
        out = b""
        while not out.endswith(b"}"):
            d = waiting.recv(65536)
            if not d:
                break
            out += d
        self.assertLess(time.monotonic() - t0, 1.5 * 3)
        body = json.loads(out.split(b"\r\n\r\n", 1)[1])
        self.assertEqual([(n["address"], n["value"]) for n in body["result"]], [("R_6_1_UINT16", 258)])

        # What the controller does not offer, and the frames' codes.
        for method, fields, want in (
                ("login", [], {}), ("logout", [], {}),
                ("changepassword", [], {"error": 455, "errorstring": "Auth type is form and no user/password were sent"}),
                ("changepassword", [("username", "a"), ("oldpasswordcipher", "b"), ("newpasswordcipher", "c"),
                                    ("passworddigest", "d")],
                 {"error": 505, "errorstring": "Password change callback not set"}),
                ("readhistory", [], {"error": 510, "errorstring": "Read history callback not set"}),
                ("queryfilter", [], {"error": 509, "errorstring": "Received no historized data"}),
                ("acceptalarm", [("address[]", "A")], {"result": []}),
                ("Read", [], {"error": 300, "errorstring": "Unknown method"}),
                ("deletesubscription", [("subscriptionid", "99")],
                 {"error": 459, "errorstring": "Subscription id not found"}),
                ("unsubscribedata", [("subscriptionid", "1"), ("address[]", "R_99_1_INT16")],
                 {"result": [{"error": 460, "errorstring": "Subscribed data item not found"}]}),
                ("subscribefilter", [("subscriptionid", "1"), ("level", "eq1")],
                 {"error": 467, "errorstring": "Invalid syntax of filter parameters"}),
                ("subscribefilter", [("subscriptionid", "99"), ("level", "eq:1")],
                 {"error": 459, "errorstring": "Subscription id not found"}),
                ("subscribefilter", [("subscriptionid", "1"), ("level", "eq:1")], {"serverhandle": "//F/00000001"}),
                ("subscribefilter", [("subscriptionid", "1"), ("level", "eq:1")], {"serverhandle": "//F/00000002"}),
                ("unsubscribefilter", [("subscriptionid", "1"), ("serverhandle[]", "//F/00000001"),
                                       ("serverhandle[]", "//F/0000abcd")],
                 {"result": [{"error": 0}, {"error": 460, "errorstring": "Subscribed data item not found"}]})):
            self.assertEqual(self.request(method, fields, session=s), want, method)
        self.assertEqual(self.request("deletesession", session=s), {})
        self.assertEqual(self.request("read", session=s), {"error": 451,
                                                           "errorstring": "Requested session was not found"})

    def test_digest_login_gives_the_page_the_users_rights_from_security_cfg(self):
        info = self.request("info")
        for user, rights in ((("viewer", "vw"), b'"Right0","Right1"'),
                             (("op", "pw"), b'"Right0","Right1","Right2","Right3"')):
            sid, key = self.session(info, user=user)
            self.cnonce += 1
            answer = self.exchange(b"POST /tavIX/?publish HTTP/1.0\r\n" +
                                   digest_header(*user, "POST", "/tavIX/?publish", self.nonce()) +
                                   b"X-TavIX: " + self.session_header((sid, key), self.cnonce).encode() +
                                   b"\r\nContent-Length: 14\r\n\r\nlongpoll=false")
            want = (b'{"result":[{"type":0,"subscriptionid":[""],"right":[' + rights + b'],"username":"' +
                    user[0].encode() + b'"}],"remaining":0}')
            self.assertEqual(answer.split(b"\r\n\r\n", 1)[1], want, answer)
            self.assertEqual(self.request("deletesession", session=(sid, key), user=user), {})

    def test_frames_and_sessions_at_their_limits(self):
        info = self.request("info")
        s = self.session(info)
        ids = [self.request("createsubscription", session=s)["subscriptionid"] for _ in range(16)]
        self.assertEqual(ids, ["%x" % n for n in range(1, 17)])
        self.assertEqual(self.request("createsubscription", session=s),
                         {"error": 463, "errorstring": "Too many subscription frames in a session"})
        self.assertEqual(self.request("deletesubscription", [("subscriptionid", "2")], session=s), {})
        self.assertEqual(self.request("deletesubscription", [("subscriptionid", "2")], session=s)["error"], 459)
        # One address twice in one request: kept once, the second answers 465.
        got = self.request("subscribedata", [("subscriptionid", "1"), ("address[]", "R_5_1_INT16"),
                                             ("address[]", "R_5_1_INT16")], session=s)
        self.assertEqual(got["result"], [{"error": 0}, {"error": 465, "errorstring":
                                                        "Subscribed data item already subscribed in this frame"}])
        got = self.request("unsubscribedata", [("subscriptionid", "1"), ("address[]", "R_5_1_INT16"),
                                               ("address[]", "R_5_1_INT16")], session=s)
        self.assertEqual(got["result"], [{"error": 0}, {"error": 460, "errorstring": "Subscribed data item not found"}])
        other = self.session(info)
        self.assertEqual(self.request("deletesubscription", [("subscriptionid", "1")], session=other)["error"], 459)
        for _ in range(2):
            self.session(info)
        self.assertEqual(self.request("createsession", [("cipher", "00")]),
                         {"error": 450, "errorstring": "Too many active sessions"})

    maxDiff = None

    def test_each_change_published_once_under_its_own_address(self):
        """A refused alarm subscription of a data item changes nothing; an item
        unsubscribed takes its values with it; two writes give the latest
        value only; a read that finds a change leaves it to the subscribers."""
        s = self.session(self.request("info"))
        ok, none = {"result": [{"error": 0}]}, {"result": [], "remaining": 0}

        def publish():
            return self.request("publish", [("longpoll", "false")], session=s)

        def changes():
            return [(n["address"], n["value"]) for n in publish()["result"] if n["type"] == 1]

        self.assertEqual(publish()["result"][0]["type"], 0)  # the user's rights
        self.assertEqual(self.request("createsubscription", session=s), {"subscriptionid": "1"})
        self.assertEqual(self.request("subscribedata", [("subscriptionid", "1"), ("address[]", "R_5_1_INT16")],
                                      session=s), ok)
        self.assertEqual(self.request("subscribealarm", [("subscriptionid", "1"), ("address[]", "R_5_1_INT16")],
                                      session=s),
                         {"result": [{"error": 465,
                                      "errorstring": "Subscribed data item already subscribed in this frame"}]})
        self.assertEqual(self.request("deletesubscription", [("subscriptionid", "1")], session=s), {})
        self.assertEqual(publish(), none)
        # The next item (in the first one's recycled record) hears only of its own register.
        self.assertEqual(self.request("createsubscription", session=s), {"subscriptionid": "2"})
        self.assertEqual(self.request("subscribedata", [("subscriptionid", "2"), ("address[]", "R_9_1_INT16")],
                                      session=s), ok)
        self.assertEqual(changes(), [("R_9_1_INT16", 0)])
        self.c.write_reg(R(5), 16, 42)
        self.c.write_reg(R(9), 16, 77)
        seen = []
        self.assertTrue(wait_for(lambda: seen.extend(changes()) or ("R_9_1_INT16", 77) in seen, 5), seen)
        seen.extend(changes())
        self.assertEqual(seen, [("R_9_1_INT16", 77)])

        # An item unsubscribed at once (a long address: freed, not recycled)
        # publishes nothing afterwards; two writes publish the latest value.
        longer = "R_" + "0" * 130 + "6_1_INT16"
        for method in ("subscribedata", "unsubscribedata"):
            self.assertEqual(self.request(method, [("subscriptionid", "2"), ("address[]", longer)], session=s), ok)
        self.assertEqual(publish(), none)
        for value in ("1", "2"):
            self.assertEqual(self.request("write", [("address[]", "R_9_1_INT16"), ("value[]", value)], session=s),
                             ok)
        self.assertEqual(changes(), [("R_9_1_INT16", 2)])

        # With 2000 registers followed, the automatic update comes back to one
        # only every 10 s: a read that finds its change first publishes it.
        many = [("address[]", "R_%d_1_INT16" % n) for n in range(100, 2100)]
        got = self.request("subscribedata", [("subscriptionid", "2")] + many, session=s)
        self.assertEqual(got, {"result": [{"error": 0}] * 2000})
        self.assertEqual(len(publish()["result"]), 2000)
        self.c.write_reg(R(9), 16, 1234)
        got = self.request("read", [("address[]", "R_9_1_INT16")], session=s)["result"]
        self.assertEqual([{k: v for k, v in e.items() if k != "timestamp"} for e in got],
                         [{"value": 1234, "error": 0}])
        self.assertEqual(changes(), [("R_9_1_INT16", 1234)])

    def test_iec_variable_names_read_written_and_published(self):
        """With the "VMS" application running (INT Counter counting up each
        cycle, DINT Total, STRING(8) Label "AB", INT Const5 = 16#BEEF), a
        name is an IEC variable and "@" marks a register address."""
        self.c.set_mode(0)
        self.c.download(0, subprocess.run([rt.WRITER, "vms-program", "/dev/stdout"], check=True,
                                          stdout=subprocess.PIPE).stdout)
        self.c.set_mode(2)
        self.assertTrue(self.ctl.wait_console("_VMThread", 10), self.ctl.console())
        assert wait_for(lambda: self.c.read_reg(R(1), 1) is not None and self.listening(), 15)
        info = self.request("info")
        s = self.session(info)

        def read(*names):
            got = self.request("read", [("address[]", n) for n in names], session=s)["result"]
            return [{k: v for k, v in e.items() if k != "timestamp"} for e in got]

        # Reads answer what a frame holds: subscribed first, the refused names answer 301.
        names = ["Const5", "Label", "@R_5_1_INT16", "Const5.9", "Const5.8", "Counter", "Total", "Const5.15",
                 "R_5_1_INT16", "Nothing", "Const5.16", "Label.1"]
        self.assertEqual(self.request("createsubscription", session=s), {"subscriptionid": "1"})
        refused = {"error": 301, "errorstring": "Address not found"}
        self.assertEqual(self.request("subscribedata", [("subscriptionid", "1")] + [("address[]", n) for n in names],
                                      session=s),
                         {"result": [{"error": 0}] * 8 + [refused] * 4})
        self.assertEqual(read(*names[:5]), [{"value": -16657, "error": 0}, {"value": "AB", "error": 0},
                                            {"value": 4660, "error": 0}, {"value": True, "error": 0},
                                            {"value": False, "error": 0}])
        first = read("Counter")[0]["value"]
        self.assertTrue(wait_for(lambda: read("Counter")[0]["value"] > first, 5))
        self.assertGreater(read("Total")[0]["value"], 0)

        # Writes land in the application's variables.
        got = self.request("write", [("address[]", "Const5"), ("value[]", "1234"), ("address[]", "Label"),
                                     ("value[]", "XYZ"), ("address[]", "Label"), ("value[]", "NINECHARS"),
                                     ("address[]", "Const5.15"), ("value[]", "1")], session=s)["result"]
        self.assertEqual(got, [{"error": 0}, {"error": 0}, {"error": 304, "errorstring": "Buffer overflow"},
                               {"error": 0}])
        # The refused write's code stays with the text as its status.
        self.assertEqual(read("Const5", "Label"), [{"value": 1234 - 32768, "error": 0},
                                                   {"value": "XYZ", "status": 304, "error": 0}])

        # A subscribed variable is published as it changes.
        seen = []

        def counted():
            seen.extend(n["value"] for n in self.request("publish", [("longpoll", "false")], session=s)["result"]
                        if n.get("address") == "Counter")
            return len(seen) >= 2 and seen[-1] > seen[0]
        self.assertTrue(wait_for(counted, 10), seen)




class LongPollPage(WebSession):
    """Chromium with Basic credentials set over DevTools runs a page that
    follows a ladder counter (%R1) by long poll; the session and its header
    digests are made here with pow() and hashlib."""

    GLOBAL_CFG = b"Authentication:Basic\r\n"
    PAGES = {"poll.html": POLL_PAGE}

    def setUp(self):
        super().setUp()
        self.c.set_mode(0)
        self.c.download(0, COUNTER)
        self.c.set_mode(2)

    def basic(self, method, fields=(), session=None):
        body = "&".join("%s=%s" % kv for kv in fields).encode()
        extra = self.session_line(session)
        answer = self.exchange(b"POST /tavIX/?" + method.encode() + b" HTTP/1.0\r\nAuthorization: Basic " +
                               base64.b64encode(b"op:pw") + b"\r\n" + extra +
                               b"Content-Length: %d\r\n\r\n" % len(body) + body)
        self.assertTrue(answer.startswith(b"HTTP/1.0 200 OK\r\n"), answer)
        return json.loads(answer.split(b"\r\n\r\n", 1)[1])

    def test_a_page_follows_a_counter_by_long_poll(self):
        self.request = lambda method, fields=(), session=None, user=None: self.basic(method, fields, session)
        session = self.session(self.request("info"))
        headers = [self.session_header(session, n) for n in range(self.cnonce + 1, self.cnonce + 60)]
        driver = chromium(self)
        driver.execute_cdp_cmd("Network.enable", {})
        driver.execute_cdp_cmd("Network.setExtraHTTPHeaders", {"headers": {
            "Authorization": "Basic " + base64.b64encode(b"op:pw").decode()}})
        driver.get("http://%s/poll.html" % HOST)
        self.assertTrue(wait_for(lambda: driver.title == "poll", 10), driver.title)
        driver.execute_script("start(arguments[0]).catch(e => { document.title = 'error ' + e; })", headers)
        self.assertTrue(wait_for(lambda: driver.title == "done", 30), driver.title)
        values = [int(e.text) for e in driver.find_elements("css selector", "#v > div")]
        self.assertGreaterEqual(len(values), 6)
        # Each answer brings the counter's newer value; the list grows on the page.
        self.assertTrue(all(b != a for a, b in zip(values, values[1:])), values)
        self.assertEqual(driver.execute_script("return document.getElementById('v').offsetHeight"), 10 * len(values))


if __name__ == "__main__":
    unittest.main()
