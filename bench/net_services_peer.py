"""Network services against outside peers, one run, inside a network namespace
of its own (run it through tests/blackbox/run_in_netns.sh):

  HTTP: sequential GETs for 10 s each of a 1 KB card file and of a register
        page from the veth peer, against `python3 -m http.server` on the peer
        serving the same file; requests/s (target ours : peer >= 1.0), p50 and
        p99, and the controller's pass time idle and under the GET load.
  FTP:  1 MB RETR and STOR (passive) against python3-pyftpdlib on the peer;
        the ratio of the times, and the bytes sent per main-loop pass during
        RETR (target: at least one MSS).

The pass time comes from a ladder program whose up counter counts every
second scan."""

import ftplib
import io
import os
import socket
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "blackbox"))
from bbsupport import Controller, NetPeer, ip_addr, wait_for  # noqa: E402
import test_net_services as svc  # noqa: E402


def R(n):
    return 32768 + 16 * (n - 1)


def M(n):
    return 14336 + n - 1


def percentile(values, q):
    v = sorted(values)
    return v[min(len(v) - 1, int(q * len(v)))] if v else float("nan")


def run_for(seconds, fn):
    lat = []
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        t0 = time.monotonic()
        fn()
        lat.append(time.monotonic() - t0)
    return len(lat) / seconds, lat


def http_get(sock_factory, host, port, path):
    s = sock_factory()
    s.settimeout(5)
    s.connect((host, port))
    s.sendall(b"GET " + path + b" HTTP/1.0\r\n\r\n")
    out = b""
    while True:
        c = s.recv(65536)
        if not c:
            break
        out += c
    s.close()
    if b" 200 " not in out[:16]:
        raise RuntimeError(out[:80])
    return out


def main():
    peer = NetPeer(peer="10.77.0.3")
    ctl = Controller(prefix="plc-bench-svc-", dirs=("dev", "mnt/cfg", "mnt/USB0"))
    procs = []
    try:
        c = ctl.start(port=True).client
        c.download(5, svc.io_config(svc.config_block(http_account=False)))
        c.comm_lock(0)
        if not wait_for(lambda: ip_addr() == ["10.77.0.2/24"], 10):
            raise SystemExit("no address")
        # Ladder: %M1 toggles every scan, %R3 counts its rising edges.
        words = [M(1), 54, M(1), M(1), 201, M(3), R(3), 32000, 38, M(105), 9]
        c.set_mode(0)
        c.download(0, b"".join(struct.pack("<H", w) for w in words) + struct.pack("<I", 0x8000) + bytes(5))
        c.set_mode(2)

        def pass_us(window=2.0):
            a = int.from_bytes(c.read_reg(R(3), 16), "little")
            t0 = time.monotonic()
            time.sleep(window)
            b = int.from_bytes(c.read_reg(R(3), 16), "little")
            rate = 2 * ((b - a) & 0xFFFF) / (time.monotonic() - t0)
            return 1e6 / rate if rate else float("inf")

        card = ctl.path("mnt", "USB0")
        kb = bytes(range(256)) * 4
        with open(os.path.join(card, "k1.txt"), "wb") as f:
            f.write(kb)
        c.write_reg(R(100), 16, 123)
        peer_sock = lambda: peer.socket(socket.AF_INET, socket.SOCK_STREAM)  # noqa: E731
        def ours_up():
            try:
                return len(http_get(peer_sock, "10.77.0.2", 80, b"/k1.txt")) > 1024
            except (OSError, RuntimeError):
                return False
        if not wait_for(ours_up, 15):
            raise SystemExit("the HTTP server does not answer")
        idle = pass_us()
        ours_file, lat_file = run_for(10, lambda: http_get(peer_sock, "10.77.0.2", 80, b"/k1.txt"))
        ours_page, lat_page = run_for(10, lambda: http_get(peer_sock, "10.77.0.2", 80,
                                                          b"/readreg.htm;reg-R100;fmt-INT"))
        # Pass time while GETs run: measured in a second window of load.
        import threading
        stop = threading.Event()

        def load():
            while not stop.is_set():
                http_get(peer_sock, "10.77.0.2", 80, b"/k1.txt")
        t = threading.Thread(target=load)
        t.start()
        busy = pass_us()
        stop.set()
        t.join()

        www = os.path.join(ctl.root, "peer_www")
        os.makedirs(www, exist_ok=True)
        with open(os.path.join(www, "k1.txt"), "wb") as f:
            f.write(kb)
        hs = subprocess.Popen(["nsenter", "-t", str(peer.holder.pid), "-n", sys.executable, "-m", "http.server",
                               "8000", "--bind", "10.77.0.3", "--directory", www],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        procs.append(hs)
        own_sock = lambda: socket.socket(socket.AF_INET, socket.SOCK_STREAM)  # noqa: E731

        def up():
            try:
                return len(http_get(own_sock, "10.77.0.3", 8000, b"/k1.txt")) > 1024
            except (OSError, RuntimeError):
                return False
        wait_for(up, 10)
        peer_file, lat_peer = run_for(10, lambda: http_get(own_sock, "10.77.0.3", 8000, b"/k1.txt"))

        print("HTTP sequential GETs, 10 s each")
        for name, rate, lat in (("ours 1 KB file", ours_file, lat_file), ("ours register page", ours_page, lat_page),
                                ("peer http.server 1 KB file", peer_file, lat_peer)):
            print("  %-28s %7.0f req/s  p50 %6.2f ms  p99 %6.2f ms" % (name, rate, 1e3 * percentile(lat, .5),
                                                                      1e3 * percentile(lat, .99)))
        print("  ratio ours : peer (1 KB file)  %.2f (target >= 1.0)" % (ours_file / peer_file))
        print("  pass time idle %.0f us, under GET load %.0f us" % (idle, busy))

        # FTP: 1 MB each way, passive, ours from the peer and pyftpdlib's from here.
        mb = os.urandom(1 << 20)
        with open(os.path.join(card, "m1.bin"), "wb") as f:
            f.write(mb)

        def ftp_ours(op):
            s = peer.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.settimeout(10)
            s.connect(("10.77.0.2", 21))
            ftp = ftplib.FTP()
            ftp.sock = s
            ftp.af = socket.AF_INET
            ftp.file = s.makefile("r", encoding="latin-1")
            ftp.welcome = ftp.getresp()
            ftp.login("alice", "pw1")
            ftp.voidcmd("TYPE I")
            t0 = time.monotonic()
            resp = ftp.sendcmd("PASV")
            nums = resp[resp.index("(") + 1:resp.index(")")].split(",")
            port = int(nums[4]) * 256 + int(nums[5])
            d = peer.socket(socket.AF_INET, socket.SOCK_STREAM)
            d.settimeout(10)
            d.connect(("10.77.0.2", port))
            if op == "RETR":
                ftp.sendcmd("RETR m1.bin")
                got = io.BytesIO()
                while True:
                    b = d.recv(65536)
                    if not b:
                        break
                    got.write(b)
                d.close()
                ftp.voidresp()
                assert got.getvalue() == mb
            else:
                ftp.sendcmd("STOR s1.bin")
                d.sendall(mb)
                d.close()
                ftp.voidresp()
            dt = time.monotonic() - t0
            ftp.close()
            return dt

        t_retr = ftp_ours("RETR")
        # Bytes per pass during a RETR: the file's bytes over the passes it took.
        a = int.from_bytes(c.read_reg(R(3), 16), "little")
        t_retr2 = ftp_ours("RETR")
        b = int.from_bytes(c.read_reg(R(3), 16), "little")
        passes = 2 * ((b - a) & 0xFFFF)
        t_stor = ftp_ours("STOR")

        pdir = os.path.join(ctl.root, "peer_ftp")
        os.makedirs(pdir, exist_ok=True)
        with open(os.path.join(pdir, "m1.bin"), "wb") as f:
            f.write(mb)
        pf = subprocess.Popen(["nsenter", "-t", str(peer.holder.pid), "-n", sys.executable, "-m", "pyftpdlib",
                               "-p", "2121", "-i", "10.77.0.3", "-w", "-d", pdir, "-u", "alice", "-P", "pw1"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        procs.append(pf)

        def ftp_peer(op):
            ftp = ftplib.FTP()
            deadline = time.monotonic() + 10
            while True:
                try:
                    ftp.connect("10.77.0.3", 2121, timeout=10)
                    break
                except OSError:
                    if time.monotonic() > deadline:
                        raise
                    time.sleep(0.2)
            ftp.login("alice", "pw1")
            t0 = time.monotonic()
            if op == "RETR":
                got = io.BytesIO()
                ftp.retrbinary("RETR m1.bin", got.write)
                assert got.getvalue() == mb
            else:
                ftp.storbinary("STOR s1.bin", io.BytesIO(mb))
            dt = time.monotonic() - t0
            ftp.quit()
            return dt

        p_retr, p_stor = ftp_peer("RETR"), ftp_peer("STOR")
        print("FTP 1 MB, passive")
        print("  RETR ours %.3f s, pyftpdlib %.3f s: peer/ours speed ratio %.2f" % (t_retr, p_retr, p_retr / t_retr))
        print("  STOR ours %.3f s, pyftpdlib %.3f s: peer/ours speed ratio %.2f" % (t_stor, p_stor, p_stor / t_stor))
        print("  RETR bytes per pass: %.0f (%d passes in %.3f s; one MSS is 1448)" % (
            len(mb) / passes if passes else float("nan"), passes, t_retr2))
    finally:
        for p in procs:
            p.terminate()
            p.wait()
        ctl.cleanup()
        peer.close()


if __name__ == "__main__":
    main()
