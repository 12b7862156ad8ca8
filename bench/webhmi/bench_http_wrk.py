#!/usr/bin/python3
"""The web HMI server against nginx, one run, with wrk from a peer namespace.

The controller runs a one-rung counter program and serves its card's web
project with Basic login; nginx (keepalive_timeout 0, so each request opens a
connection as with our HTTP/1.0 server) serves the same folder on port 8080
of the same address. wrk asks GET of a 1 KB and a 100 KB file and POST ?Ping,
1 and 16 connections, for SECONDS_EACH (4) seconds, ROUNDS (3) rounds
alternating between the two servers; then TLS handshakes with openssl
s_time -new against both. Prints requests/s, the ratio and p99 latency, and
the ladder counter's pace during the load against idle.

    PLC_CONTROLLER=build/controller tests/blackbox/run_in_netns.sh /usr/bin/python3 bench/webhmi/bench_http_wrk.py
"""

import base64
import os
import re
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "blackbox"))
from bbsupport import Controller, NetPeer, wait_for  # noqa: E402
from test_modbus import COUNTER, R, config_block, io_config  # noqa: E402
from test_webhmi import listening  # noqa: E402

HOST = "10.77.0.2"
SECONDS = int(os.environ.get("SECONDS_EACH", "4"))
ROUNDS = int(os.environ.get("ROUNDS", "3"))
AUTH = "Basic " + base64.b64encode(b"admin:secret1").decode()
SECURITY = b"tavIX\r\nadmin;a9866e24426444567e0b2446f9f8db75;Right0;Right3\r\n"
POST_LUA = 'wrk.method = "POST"\nwrk.body = ""\nwrk.headers["Content-Length"] = "0"\n'


def wrk(peer, url, conns, script=None):
    args = ["wrk", "-t", str(min(conns, 4)), "-c", str(conns), "-d", "%ds" % SECONDS, "--latency",
            "-H", "Authorization: " + AUTH, url]
    if script:
        args[1:1] = ["-s", script]
    out = peer.run(*args, check=False).stdout
    if os.environ.get("WRK_VERBOSE"):
        print(out)
    rps = re.search(r"Requests/sec:\s+([\d.]+)", out)
    p99 = re.search(r"99%\s+([\d.]+)(us|ms|s)", out)
    scale = {"us": 0.001, "ms": 1.0, "s": 1000.0}
    return (float(rps.group(1)) if rps else 0.0,
            float(p99.group(1)) * scale[p99.group(2)] if p99 else float("nan"))


def main():
    with open("/proc/loadavg") as f:
        print("load average at start:", " ".join(f.read().split()[:3]), flush=True)
    peer = NetPeer()
    # wrk closes each connection first (it has read the whole answer), so
    # its ports wait out TIME_WAIT: without reuse the peer runs out of ports
    # after some 28,000 connections and both servers fall to the rate at
    # which ports come free (about 470/s). Settings of the peer's own
    # namespace only.
    peer.run("sysctl", "-q", "-w", "net.ipv4.tcp_tw_reuse=1", "net.ipv4.ip_local_port_range=1024 65000")
    ctl = Controller(prefix="plc-bench-web-")
    nginx = None
    try:
        www = ctl.path("mnt", "USB0", "tavIX", "wwwroot")
        cfg = ctl.path("mnt", "USB0", "tavIX", "config")
        os.makedirs(www)
        os.makedirs(cfg)
        with open(os.path.join(cfg, "security.cfg"), "wb") as f:
            f.write(SECURITY)
        with open(os.path.join(cfg, "tavIXGlobal.cfg"), "wb") as f:
            f.write(b"Authentication:Basic\r\n")
        # A self-signed certificate for HTTPS on 443 (ours) and 8443 (nginx).
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", ctl.path("srv.key"),
                        "-out", ctl.path("srv.pem"), "-days", "2", "-subj", "/CN=plc"], check=True, capture_output=True)
        with open(ctl.path("mnt", "USB0", "server.pem"), "wb") as out:
            for name in ("srv.pem", "srv.key"):
                with open(ctl.path(name), "rb") as f:
                    out.write(f.read())
        for name, size in (("1k.htm", 1024), ("100k.htm", 102400)):
            with open(os.path.join(www, name), "wb") as f:
                f.write(b"x" * size)
        c = ctl.start(port=True).client
        c.download(5, io_config(config_block()))
        c.comm_lock(0)
        c.set_mode(0)
        c.download(0, COUNTER)
        c.set_mode(2)

        if not wait_for(lambda: listening(peer), 20):
            print("the web server did not come up")
            return 1
        # nginx on the same folder and address, port 8080, one request per connection.
        conf = ctl.path("nginx.conf")
        with open(conf, "w") as f:
            f.write("daemon off; user root; worker_processes 1; pid %s; error_log %s;\n"
                    "events { worker_connections 256; }\n"
                    "http { access_log off; keepalive_timeout 0; server { listen %s:8080; root %s; }\n"
                    "  server { listen %s:8443 ssl; ssl_certificate %s; ssl_certificate_key %s; root %s; } }\n"
                    % (ctl.path("nginx.pid"), ctl.path("nginx.err"), HOST, www, HOST, ctl.path("srv.pem"),
                       ctl.path("srv.key"), www))
        nginx = subprocess.Popen(["nginx", "-c", conf, "-p", ctl.path("")], stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
        time.sleep(0.5)  # nginx binds before it answers; no assertion depends on this
        lua = ctl.path("post.lua")
        with open(lua, "w") as f:
            f.write(POST_LUA)

        def pace(seconds=3.0):
            a = int.from_bytes(c.read_reg(R(1), 16), "little")
            time.sleep(seconds)
            b = int.from_bytes(c.read_reg(R(1), 16), "little")
            return (b - a) % 65536 / seconds
        idle = pace()
        # The scan's pace while 16 connections ask for the 1 KB page, measured
        # first: the counter stops at its preset of 32000 (about 40 s).
        load = subprocess.Popen(["nsenter", "-t", str(peer.holder.pid), "-n", "wrk", "-t", "4", "-c", "16", "-d",
                                 "%ds" % SECONDS, "-H", "Authorization: " + AUTH, "http://%s/1k.htm" % HOST],
                                stdout=subprocess.DEVNULL)
        time.sleep(1)
        busy = pace()
        load.wait()
        print("ladder counter pace: idle %.0f/s, under 16 connections %.0f/s (%.0f %%)"
              % (idle, busy, 100.0 * busy / idle if idle else 0))
        print("%-26s %12s %12s %7s %10s  %s" % ("load", "ours req/s", "nginx req/s", "ratio", "p99 ms", "ratio by round"))
        for what, path, script in (("GET 1 KB", "/1k.htm", None), ("GET 100 KB", "/100k.htm", None),
                                   ("POST ?Ping", "/tavIX/?Ping", lua)):
            for conns in (1, 16):
                # Ours and nginx's in alternating rounds; the rates are the rounds' mean.
                ours = theirs = p99 = 0.0
                rounds = []
                for _ in range(ROUNDS):
                    r, q = wrk(peer, "http://%s%s" % (HOST, path), conns, script)
                    ours += r / ROUNDS
                    p99 = max(p99, q)
                    if script is None:
                        t = wrk(peer, "http://%s:8080%s" % (HOST, path), conns)[0]
                        theirs += t / ROUNDS
                        rounds.append("%.2f" % (r / t) if t else "nan")
                ratio = ours / theirs if theirs else float("nan")
                print("%-26s %12.0f %12.0f %7.2f %10.2f  %s" % ("%s, %d conn" % (what, conns), ours, theirs, ratio, p99,
                                                                " ".join(rounds)))
        # TLS handshakes: a new session for every connection.
        for name, port in (("ours", 443), ("nginx", 8443)):
            out = peer.run("openssl", "s_time", "-connect", "%s:%d" % (HOST, port), "-new", "-time", str(SECONDS),
                           check=False).stdout
            m = re.search(r"(\d+) connections in ([\d.]+)s", out)
            print("TLS handshakes/s, %s: %.0f" % (name, int(m.group(1)) / float(m.group(2)) if m else 0.0))
        return 0
    finally:
        if nginx is not None:
            nginx.send_signal(signal.SIGQUIT)
            nginx.wait()
        ctl.cleanup()
        peer.close()


if __name__ == "__main__":
    sys.exit(main())
