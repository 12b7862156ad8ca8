#!/usr/bin/python3
"""A remote web server stand-in for the forwarding tests: HTTP/1.0 on
127.0.0.1 (port printed on the first line), Digest login of op:pw in realm
"tavIX" checked with hashlib, "info" with a fresh RSA key, "createsession"
decrypting the session key with pow(), and other methods checking the
X-TavIX digest. Every request is appended to the log file as one JSON line.

    remote_standin.py MODE LOG
MODE: digest (the server above), refuse (every request 401), drop (closes
without answering), short (a status line cut short), bigkey (an info
modulus of 600 bytes), huge (an info answer larger than the work buffer),
empty (an info answer of {}), form (info reports the form login, and "login"
checks the password cipher and the digest of its session, answering {}),
minus and toolarge (an answer of {} whose Content-Length is -1 or 131073)."""

import hashlib
import json
import random
import re
import socket
import sys
import urllib.parse

MODE, LOG = sys.argv[1], sys.argv[2]


def md5(text):
    return hashlib.md5(text.encode()).hexdigest()


def prime(bits):
    rng = random.SystemRandom()
    while True:
        n = rng.getrandbits(bits) | (1 << (bits - 1)) | 1
        if all(pow(rng.randrange(2, n - 1), n - 1, n) == 1 for _ in range(20)):
            return n


E = 65537
while True:
    P, Q = prime(512), prime(512)
    PHI = (P - 1) * (Q - 1)
    if PHI % E and (P * Q).bit_length() == 1024:
        break
N, D = P * Q, pow(E, -1, (P - 1) * (Q - 1))
HA1 = md5("op:tavIX:pw")
NONCE = "0123abcd"
keys = {}


def answer(c, status, extra, body):
    c.sendall(("HTTP/1.0 %s\r\n%sContent-Length: %d\r\n\r\n" % (status, extra, len(body))).encode() + body)
    c.close()


def serve(c):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = c.recv(4096)
        if not chunk:
            return
        data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    lines = head.decode().split("\r\n")
    fields = {}
    for line in lines[1:]:
        name, _, value = line.partition(": ")
        fields[name.lower()] = value
    while len(body) < int(fields.get("content-length", "0")):
        body += c.recv(4096)
    with open(LOG, "a") as log:
        log.write(json.dumps({"line": lines[0], "lines": lines[1:], "body": body.decode()}) + "\n")
    if MODE == "drop":
        c.close()
        return
    if MODE == "short":
        c.sendall(b"HTTP/1.0 20\r\n\r\n")
        c.close()
        return
    if MODE in ("minus", "toolarge"):
        length = b"-1" if MODE == "minus" else b"131073"
        c.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: " + length + b"\r\n\r\n{}")
        c.close()
        return
    uri = lines[0].split(" ")[1]
    auth = fields.get("authorization", "")
    good = False
    if MODE != "refuse" and auth.startswith("Digest "):
        p = dict(re.findall(r'(\w+)="?([^",]*)"?', auth[7:]))
        want = md5(":".join([HA1, p.get("nonce", ""), p.get("nc", ""), p.get("cnonce", ""), "auth",
                             md5("POST:" + p.get("uri", ""))]))
        good = (p.get("username"), p.get("realm"), p.get("nonce"), p.get("uri"), p.get("response")) == \
            ("op", "tavIX", NONCE, uri, want)
    if not good:
        answer(c, "401 Unauthorized",
               'WWW-Authenticate: Digest realm="tavIX", nonce="%s", algorithm=MD5, qop="auth"\r\n' % NONCE, b"")
        return
    form = urllib.parse.parse_qs(body.decode())
    method = uri.split("?", 1)[1]
    if method == "info":
        modulus = "%x" % N if MODE != "bigkey" else "c" * 1200
        obj = {"loginmethod": "form" if MODE == "form" else "http", "encryptionmodulus": modulus,
               "encryptionexponent": "010001", "certificationlevel": "scada", "features": ["session", "read"],
               "longpollsupport": True, "securitysupport": True, "maxtimeout": 60, "vendorinfo": "stand-in",
               "servername": "remote"}
        if MODE == "huge":
            obj["vendorinfo"] = "v" * 5000
        if MODE == "empty":
            obj = {}
    elif method == "login" and MODE == "form":
        x = dict(re.findall(r'(\w+)="([^"]*)"', fields.get("x-tavix", "")))
        sid = x.get("sessionid", "")
        block = pow(int(form.get("passwordcipher", ["0"])[0], 16), D, N).to_bytes(128, "big")
        password = block[block.index(b"\0", 2) + 1:].decode() if block[:2] == b"\0\2" else ""
        good = sid in keys and form.get("username") == ["op"] and password == "pw" and \
            form.get("passworddigest") == [md5("%s:%s:%s" % (sid, keys[sid], password))]
        obj = {} if good else {"error": 403}
    elif method == "createsession":
        block = pow(int(form["cipher"][0], 16), D, N).to_bytes(128, "big")
        key = block[block.index(b"\0", 2) + 1:].decode() if block[:2] == b"\0\2" else ""
        keys["0000002a"] = key
        obj = {"sessionid": "0000002a", "keyseen": key, "timeout": form.get("timeout", [""])[0]}
    else:
        x = dict(re.findall(r'(\w+)="([^"]*)"', fields.get("x-tavix", "")))
        sid, cnonce = x.get("sessionid", ""), x.get("cnonce", "")
        if sid not in keys or x.get("digest") != md5("%s:%s:%s" % (sid, keys[sid], cnonce)):
            obj = {"error": 403}
        else:
            obj = {"result": [{"value": 4660, "error": 0}], "cnonce": cnonce, "form": form}
    answer(c, "200 OK", "Content-Type: application/json\r\n", json.dumps(obj).encode())


srv = socket.socket()
srv.bind(("127.0.0.1", 0))
srv.listen(8)
print(srv.getsockname()[1], flush=True)
while True:
    conn, _ = srv.accept()
    with conn:
        serve(conn)
