"""The web HMI server in the running controller: the card's web project over
HTTP from a peer namespace (curl and raw sockets), Digest and Basic logins
checked with hashlib, the POST method interface and the controller's own
methods, HTTPS with a test CA made by openssl, the status bit ESR17 bit 3,
and the upload watcher's restart."""

import base64
import hashlib
import os
import re
import shutil
import socket
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bbsupport import Controller, NetPeer, wait_for  # noqa: E402
from test_modbus import config_block, io_config  # noqa: E402

HOST = "10.77.0.2"
STATUS = 0x10030102


def listening(peer, port=80):
    """Whether the web server takes a connection on the port, from the peer."""
    s = peer.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.settimeout(1)
    try:
        s.connect((HOST, port))
        return True
    except OSError:
        return False
    finally:
        s.close()


def held(peer, seconds=2.0):
    """Whether an idle connection to port 80 stays open for the seconds: a
    restart of the server closes it."""
    s = peer.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.settimeout(seconds)
    try:
        s.connect((HOST, 80))
        s.recv(1)
        return False  # closed
    except socket.timeout:
        return True
    except OSError:
        return False
    finally:
        s.close()


def wait_web_server(c, peer):
    """The web server started when the configuration arrived and starts again
    once the address comes up (after the link's 2 s debounce), or only once
    when the address came first. Wait for that address, for the server to
    run and answer, and for an idle connection to outlast 2 s: when the
    address came while the first start was still under way, the restart
    follows the first start at once and would cut a test's connections."""
    from bbsupport import ip_addr
    assert wait_for(lambda: ip_addr() == [HOST + "/24"], 15), ip_addr()
    deadline = time.monotonic() + 30
    while True:
        assert wait_for(lambda: c.read_reg(STATUS, 1)[0] & 1 == 1 and listening(peer), 15)
        if held(peer):
            return
        assert time.monotonic() < deadline, "the web server kept restarting"


def page(status, reason, entity):
    return ("<!DOCTYPE html><html><head><title>%d %s</title></head><body><h1>%s</h1><p>Requested Entity: %s"
            "</p></body></html>" % (status, reason, reason, entity)).encode()


SECURITY = b"tavIX\r\nadmin;a9866e24426444567e0b2446f9f8db75;Right0;Right3\r\n" \
           b"viewer;59d7a3b9c6ac48f1dd7bc8e7537b3e61;Right0;Right1\r\n"
BASIC = b"Authorization: Basic " + base64.b64encode(b"admin:secret1") + b"\r\n"
TAIL = (b"Content-Length: 126\r\nContent-Type: text/html; charset=utf-8\r\n\r\n<!DOCTYPE html><html><head><title>"
        b"401 Authorization Required</title></head><body><h1>Authorization required</h1></body></html>")


def md5(text):
    return hashlib.md5(text.encode()).hexdigest()


def digest_header(user, password, method, uri, nonce, cnonce="0a4f113b", nc="00000001", realm="tavIX"):
    ha1 = md5("%s:%s:%s" % (user, realm, password))
    ha2 = md5("%s:%s" % (method, uri))
    response = md5("%s:%s:%s:%s:auth:%s" % (ha1, nonce, nc, cnonce, ha2))
    return ('Authorization: Digest username="%s", realm="%s", nonce="%s", uri="%s", algorithm=MD5, '
            'response="%s", qop=auth, nc=%s, cnonce="%s"\r\n' % (user, realm, nonce, uri, response, nc,
                                                                   cnonce)).encode()


def server_certificate(ctl):
    """A test CA signs a key for HOST; certificate and key go to the card's
    server.pem. Answers the folder holding the CA's ca.pem."""
    work = ctl.path("ca")
    os.makedirs(work)

    def ossl(*args):
        subprocess.run(["openssl"] + list(args), cwd=work, check=True, capture_output=True)
    ossl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem", "-days", "2",
         "-subj", "/CN=Test CA")
    ossl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "srv.key", "-out", "srv.csr", "-subj", "/CN=plc")
    with open(os.path.join(work, "ext"), "w") as f:
        f.write("subjectAltName=IP:%s\n" % HOST)
    ossl("x509", "-req", "-in", "srv.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial", "-out",
         "srv.pem", "-days", "2", "-extfile", "ext")
    with open(ctl.path("mnt", "USB0", "server.pem"), "wb") as out:
        for name in ("srv.pem", "srv.key"):
            with open(os.path.join(work, name), "rb") as f:
                out.write(f.read())
    return work


class WebHmi(unittest.TestCase):
    AUTH = b""  # tavIXGlobal.cfg "Authentication:" value; empty: Digest
    CERT = False  # a server.pem on the card from the start

    def setUp(self):
        self.peer = NetPeer()
        self.addCleanup(self.peer.close)
        self.ctl = Controller(prefix="plc-web-")
        self.addCleanup(self.ctl.cleanup)
        self.www = self.ctl.path("mnt", "USB0", "tavIX", "wwwroot")
        os.makedirs(os.path.join(self.www, "pages"))
        cfg = self.ctl.path("mnt", "USB0", "tavIX", "config")
        os.makedirs(cfg)
        with open(os.path.join(cfg, "security.cfg"), "wb") as f:
            f.write(SECURITY)
        if self.AUTH:
            with open(os.path.join(cfg, "tavIXGlobal.cfg"), "wb") as f:
                f.write(b"Authentication:" + self.AUTH + b"\r\n")
        files = {"index.htm": b"<html>index</html>\n", "pages/index.htm": b"pages\n", "app.js": b"var a=1;\n",
                 "blob": b"\x00\x01\x02", "style.css": b"\x1f\x8b\x08\x00rest-of-gzip"}
        for name, data in files.items():
            with open(os.path.join(self.www, name), "wb") as f:
                f.write(data)
        if self.CERT:
            server_certificate(self.ctl)
        self.c = self.ctl.start(port=True).client
        # F bit 8 (0x100) set: HTTP belongs to the web HMI server.
        self.c.download(5, io_config(config_block()))
        self.c.comm_lock(0)
        wait_web_server(self.c, self.peer)

    def listening(self):
        return listening(self.peer)

    def raw(self, *pieces, gap=0.0):
        """Sends the pieces (gap seconds apart) and reads until the server
        closes. The server restarts once when the address comes up; a
        connection that restart refuses or cuts before an answer is tried again."""
        deadline = time.monotonic() + 10
        while True:
            s = self.peer.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.settimeout(5)
            out = b""
            try:
                s.connect((HOST, 80))
                for i, p in enumerate(pieces):
                    if i and gap:
                        time.sleep(gap)  # the request arrives in pieces on purpose
                    s.sendall(p)
                while True:
                    d = s.recv(65536)
                    if not d:
                        return out
                    out += d
            except socket.timeout:
                return out + b"<no close>"
            except (ConnectionResetError, ConnectionRefusedError, BrokenPipeError):
                if out or time.monotonic() > deadline:
                    return out + b"<no close>"
            finally:
                s.close()

    def get(self, path, extra=b""):
        return self.raw(b"GET " + path + b" HTTP/1.0\r\n" + BASIC + extra + b"\r\n")

    def split(self, answer):
        head, _, body = answer.partition(b"\r\n\r\n")
        lines = head.split(b"\r\n")
        fields = {}
        for ln in lines[1:]:
            k, _, v = ln.partition(b": ")
            fields[k.decode()] = v.decode()
        return lines[0].decode(), fields, body

    def curl(self, *args):
        r = self.peer.run("curl", "-s", "-i", *args, check=False)
        return r.stdout

    def post(self, method, extra=b"", body=b""):
        return self.raw(b"POST /tavIX/?" + method + b" HTTP/1.0\r\n" + extra + b"Content-Length: %d\r\n\r\n"
                        % len(body) + body)


class DigestLogin(WebHmi):
    def test_challenge_digest_methods_and_agreement(self):
        self.assertEqual(self.c.read_reg(STATUS, 1)[0] & 1, 1)
        first = self.raw(b"GET / HTTP/1.0\r\n\r\n")
        m = re.match(rb'HTTP/1.0 401 Authorization Required\r\nServer: TavIX SDK/0.9.0\r\nDate: [^\r]+\r\n'
                     rb'WWW-Authenticate: Digest realm="tavIX", domain="/", nonce="([0-9a-f]{32})", algorithm=MD5, '
                     rb'qop="auth"\r\n(.*)$', first, re.S)
        self.assertTrue(m, first)
        self.assertEqual(m.group(2), TAIL)
        self.assertEqual(len(m.group(2)), 189)
        nonce = m.group(1).decode()
        second = re.search(rb'nonce="([0-9a-f]{32})"', self.raw(b"GET / HTTP/1.0\r\n\r\n")).group(1).decode()
        self.assertEqual(int(second[8:12], 16), int(nonce[8:12], 16) + 1)
        # Digest with the issued nonce: the page; a tampered nonce, a wrong
        # password or Basic credentials: a new challenge.
        ok = self.raw(b"GET /index.htm HTTP/1.0\r\n" + digest_header("admin", "secret1", "GET", "/index.htm", second)
                      + b"\r\n")
        status, f, body = self.split(ok)
        self.assertEqual((status, f["Content-Type"], f["Content-Length"], body),
                         ("HTTP/1.0 200 OK", "text/html", "19", b"<html>index</html>\n"))
        tampered = second[:31] + ("0" if second[31] != "0" else "1")
        for extra in (digest_header("admin", "secret1", "GET", "/", tampered),
                      digest_header("admin", "wrong", "GET", "/", second),
                      digest_header("admin", "secret1", "GET", "/other", second), BASIC):
            answer = self.raw(b"GET / HTTP/1.0\r\n" + extra + b"\r\n")
            self.assertTrue(answer.startswith(b"HTTP/1.0 401 Authorization Required\r\n"), answer)
            self.assertNotIn(b"stale", answer)
        r = self.peer.run("curl", "-s", "--digest", "-u", "admin:secret1", "http://%s/app.js" % HOST, check=False)
        self.assertEqual(r.stdout, "var a=1;\n")

        def method(name, extra=b"", body=b""):
            uri = "/tavIX/?" + name
            nonce = re.search(rb'nonce="([0-9a-f]{32})"', self.raw(b"GET / HTTP/1.0\r\n\r\n")).group(1).decode()
            return self.post(name.encode(), digest_header("admin", "secret1", "POST", uri, nonce) + extra, body)
        status, f, body = self.split(method("Ping"))
        self.assertEqual((status, f["Cache-Control"], f["Content-Length"], f["Content-Type"], body),
                         ("HTTP/1.0 200 OK", "no-cache", "15", "application/json", b'{"Result":"OK"}'))
        nonce = re.search(rb'nonce="([0-9a-f]{32})"', self.raw(b"GET / HTTP/1.0\r\n\r\n")).group(1).decode()
        status, _, body = self.split(self.raw(b"POST /tavIX/read HTTP/1.0\r\n" +
                                              digest_header("admin", "secret1", "POST", "/tavIX/read", nonce) +
                                              b"Content-Length: 0\r\n\r\n"))
        self.assertEqual((status, body), ("HTTP/1.0 404 Not found", page(404, "Not found", "/tavIX/read")))
        for name, extra, want in (
                ("Read", b"", b'{"error":300,"errorstring":"Unknown method"}'),
                ("rea", b"", b'{"error":300,"errorstring":"Unknown method"}'),
                ("read", b"", b'{"error":454,"errorstring":"X-TavIX is missing"}'),
                ("read", b"X-TavIX: nonsense\r\n", b'{"error":453,"errorstring":"X-TavIX is malformed"}'),
                ("read", b'X-TavIX: sessionid="00000001", cnonce="1", digest="' + b"0" * 32 + b'"\r\n',
                 b'{"error":451,"errorstring":"Requested session was not found"}')):
            status, f, body = self.split(method(name, extra))
            self.assertEqual((status, body), ("HTTP/1.0 200 OK", want), name)
        # The user agreement, remembered in LoggedIn_users.txt.
        seq = [("displayLicenseAgreement", b"TRUE"), ("acceptedLicense", b"TRUE"), ("acceptedLicense", b"FALSE"),
               ("displayLicenseAgreement", b"FALSE")]
        for name, want in seq:
            self.assertEqual(self.split(method(name))[2], b'{"Result":"' + want + b'"}', name)
        with open(self.ctl.path("mnt", "USB0", "tavIX", "config", "LoggedIn_users.txt"), "rb") as f:
            self.assertEqual(f.read(), b"admin:")


HMI_PAGE = b"""<!DOCTYPE html><html><head><title>hmi</title></head>
<body style="margin:0;background:rgb(255,0,0)"><script>
async function post(method) {
  return (await fetch(location.origin + "/tavIX/?" + method, {method: "POST"})).json();
}
async function go() {
  const ping = await post("Ping");
  const agree = await post("displayLicenseAgreement");
  if (ping.Result === "OK" && agree.Result === "TRUE") document.body.style.background = "rgb(0,255,0)";
  document.title = "done";
}
go().catch(e => { document.title = "error " + e; });
</script></body></html>
"""


def png_pixel(png, x, y):
    """The RGB(A) pixel at x, y of an 8-bit, non-interlaced PNG."""
    import struct
    import zlib
    pos, idat, width, ctype = 8, b"", 0, 0
    while pos < len(png):
        n, kind = struct.unpack(">I4s", png[pos:pos + 8])
        chunk = png[pos + 8:pos + 8 + n]
        if kind == b"IHDR":
            width, _, depth, ctype = struct.unpack(">IIBB", chunk[:10])
            assert depth == 8 and chunk[12] == 0
        elif kind == b"IDAT":
            idat += chunk
        pos += 12 + n
    bpp = {2: 3, 6: 4}[ctype]
    raw, stride, prev = zlib.decompress(idat), width * bpp, bytearray(width * bpp)
    for row in range(y + 1):
        f, line = raw[row * (stride + 1)], bytearray(raw[row * (stride + 1) + 1:(row + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b, c = prev[i], prev[i - bpp] if i >= bpp else 0
            if f == 1:
                line[i] = (line[i] + a) & 255
            elif f == 2:
                line[i] = (line[i] + b) & 255
            elif f == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif f == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        prev = line
    return tuple(prev[x * bpp:x * bpp + 3])


def chromium(test):
    """Headless Chromium for a test, with its profile in the test's root; quit at cleanup."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    opts = webdriver.ChromeOptions()
    for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
              "--user-data-dir=" + test.ctl.path("chromium"), "--window-size=200,200"):
        opts.add_argument(a)
    opts.binary_location = "/usr/bin/chromium"
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=opts)
    test.addCleanup(driver.quit)
    return driver


class Browser(WebHmi):
    def test_chromium_logs_in_and_its_script_reaches_the_methods(self):
        with open(os.path.join(self.www, "hmi.html"), "wb") as f:
            f.write(HMI_PAGE)
        driver = chromium(self)
        driver.get("http://viewer:view22@%s/hmi.html" % HOST)
        self.assertTrue(wait_for(lambda: driver.title == "done", 20), driver.title)
        self.assertEqual(png_pixel(driver.get_screenshot_as_png(), 10, 10), (0, 255, 0))


class BasicLogin(WebHmi):
    AUTH = b"Basic"

    def test_basic_challenge_and_refusals(self):
        answer = self.raw(b"GET / HTTP/1.0\r\n\r\n")
        self.assertIn(b'\r\nWWW-Authenticate: Basic realm="tavIX"\r\n' + TAIL, answer)
        bad = b"Authorization: Basic " + base64.b64encode(b"admin:nope") + b"\r\n"
        self.assertTrue(self.raw(b"GET / HTTP/1.0\r\n" + bad + b"\r\n").startswith(b"HTTP/1.0 401 "))
        r = self.peer.run("curl", "-s", "--basic", "-u", "viewer:view22", "http://%s/" % HOST, check=False)
        self.assertEqual(r.stdout, "<html>index</html>\n")
        # Bound to the controller's interface like every other service: from
        # the controller's own namespace through lo, nothing answers.
        for port in (80, 18501):
            s = socket.socket()
            self.addCleanup(s.close)
            self.assertRaises(ConnectionRefusedError, s.connect, ("127.0.0.1", port))

    def test_static_files_methods_framing_and_errors(self):
        status, f, body = self.split(self.get(b"/"))
        self.assertEqual(status, "HTTP/1.0 200 OK")
        self.assertEqual(f["Server"], "TavIX SDK/0.9.0")
        self.assertEqual((f["Content-Type"], f["Content-Length"]), ("text/html", "19"))
        self.assertNotIn("Connection", f)
        self.assertEqual(body, b"<html>index</html>\n")
        self.assertRegex(f["Date"], r"^[A-Z][a-z]{2}, \d\d [A-Z][a-z]{2} \d{4} \d\d:\d\d:\d\d GMT$")
        for path in (b"/pages", b"/pages/", b"\\pages"):
            self.assertEqual(self.split(self.get(path))[2], b"pages\n", path)
        status, f, body = self.split(self.get(b"/app.js?v=3"))
        self.assertEqual((status, f["Content-Type"], body), ("HTTP/1.0 200 OK", "text/javascript", b"var a=1;\n"))
        self.assertEqual(self.split(self.get(b"/blob"))[1]["Content-Type"], "application/octet-stream")
        status, f, body = self.split(self.get(b"/nothing.htm"))
        self.assertEqual((status, f["Content-Length"], f["Content-Type"]),
                         ("HTTP/1.0 404 Not Found", "137", "text/html; charset=utf-8"))
        self.assertEqual(body, page(404, "Not Found", "/nothing.htm"))
        status, _, body = self.split(self.get(b"/pages/%2E%2E/x"))
        self.assertEqual(status, "HTTP/1.0 403 Forbidden - no .. allowed")
        self.assertEqual(self.split(self.get(b"/%00x"))[0], "HTTP/1.0 404 Not Found")
        # A compressed style sheet only for clients that take gzip.
        status, f, body = self.split(self.get(b"/style.css", b"Accept-Encoding: deflate, GZip\r\n"))
        self.assertEqual((status, f["Content-Encoding"], f["Content-Type"]), ("HTTP/1.0 200 OK", "gzip", "text/css"))
        self.assertEqual(body, b"\x1f\x8b\x08\x00rest-of-gzip")
        self.assertEqual(self.split(self.get(b"/style.css"))[0], "HTTP/1.0 406 Not acceptable (gzip)")
        # HEAD: GET's header, no body.
        head = self.raw(b"HEAD /app.js HTTP/1.0\r\n" + BASIC + b"\r\n")
        get = self.get(b"/app.js")
        strip = lambda a: [ln for ln in a.split(b"\r\n\r\n")[0].split(b"\r\n") if not ln.startswith(b"Date")]
        self.assertEqual(strip(head), strip(get))
        self.assertTrue(head.endswith(b"\r\n\r\n"))

        status, f, body = self.split(self.raw(b"DELETE /x HTTP/1.0\r\n\r\n"))
        self.assertEqual((status, len(body)), ("HTTP/1.0 500 Invalid method", 141))
        self.assertTrue(body.endswith(b"<p>Requested Entity: DELETE</p></body></html>"))
        status, _, body = self.split(self.raw(b"GO / HTTP/1.0\r\n\r\n"))
        self.assertEqual(status, "HTTP/1.0 500 No recognizable method found in request")
        self.assertEqual(body, page(500, "No recognizable method found in request", ""))
        body = self.split(self.raw(b"X<b>Y / HTTP/1.0\r\n\r\n"))[2]
        self.assertIn(b"Requested Entity: X&lt;b&gt;Y</p>", body)
        for length in (b"131073", b"-1"):
            self.assertEqual(self.raw(b"POST /tavIX/?Ping HTTP/1.0\r\nContent-Length: " + length + b"\r\n\r\n"), b"")
        # A request in three pieces; two requests in one write.
        answer = self.raw(b"GET /app", b".js HTTP/1.0\r\n" + BASIC + b"Acc", b"ept: */*\r\n\r\n", gap=0.25)
        self.assertEqual(self.split(answer)[2], b"var a=1;\n")
        both = self.raw(b"GET /blob HTTP/1.0\r\n" + BASIC + b"\r\nDELETE /y HTTP/1.0\r\n\r\n")
        self.assertTrue(both.startswith(b"HTTP/1.0 200 OK\r\n"), both)
        self.assertIn(b"\x00\x01\x02HTTP/1.0 500 Invalid method\r\n", both)
        # A simple request carries no header, so it only gets the challenge.
        self.assertTrue(self.raw(b"GET /blob\r\n").startswith(b"HTTP/1.0 401 "))
        # POST through Basic: the controller's ping, a method without session.
        self.assertEqual(self.split(self.post(b"Ping", BASIC))[2], b'{"Result":"OK"}')
        self.assertEqual(self.split(self.post(b"read", BASIC, b"address[]=R%31&address[]=R2"))[2],
                         b'{"error":454,"errorstring":"X-TavIX is missing"}')

    def test_status_bit_upload_restart_and_https(self):
        self.assertTrue(wait_for(lambda: self.c.read_reg(STATUS, 1)[0] & 1 == 1, 30))
        # An upload deletes wwwroot: the server stops and clears the bit.
        shutil.rmtree(self.www)
        self.assertTrue(wait_for(lambda: self.c.read_reg(STATUS, 1)[0] & 1 == 0, 30))
        self.assertTrue(wait_for(lambda: not self.listening(), 30))
        os.makedirs(self.www)
        with open(os.path.join(self.www, "index.htm"), "wb") as f:
            f.write(b"new index\n")
        # The certificate for the restart: a test CA signs the server's key.
        work = server_certificate(self.ctl)
        # The restart after an upload flushes the card (sync), which on a busy
        # machine takes seconds: each step has 30 s.
        marker = self.ctl.path("mnt", "USB0", "EndOfFTP.txt")
        open(marker, "w").close()
        self.assertTrue(wait_for(lambda: not os.path.exists(marker), 30))
        self.assertTrue(wait_for(self.listening, 30))
        self.assertEqual(self.split(self.get(b"/"))[2], b"new index\n")
        self.assertTrue(wait_for(lambda: self.c.read_reg(STATUS, 1)[0] & 1 == 1, 30))
        r = self.peer.run("curl", "-s", "--basic", "-u", "admin:secret1", "--cacert", os.path.join(work, "ca.pem"),
                          "https://%s/" % HOST, check=False)
        self.assertEqual((r.returncode, r.stdout), (0, "new index\n"))


if __name__ == "__main__":
    unittest.main()
