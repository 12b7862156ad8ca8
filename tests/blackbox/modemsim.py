"""A modem at the far end of a pseudo-terminal, for the black-box tests:
answers the AT command forms of 3GPP TS 27.007/27.005 and the Hayes set
(numeric "0"/"1" or verbose "OK"/"CONNECT" results), stores and lists SMS,
and carries the cellular module's socket commands (AT#SD, AT#SL, AT#SA,
AT#SS, AT#SSENDEXT, AT#SRECV, AT#SH) over real TCP connections. Python standard
library only; runs in a thread of the test, which ends it with stop()."""

import os
import select
import socket
import threading
import time


class ModemSim:
    def __init__(self, fd, verbose=True):
        self.fd = fd
        self.verbose = verbose
        self.log = []            # (monotonic time, command line or data)
        self.raw = bytearray()   # every byte received
        self.lock = threading.Lock()
        self.sms_sent = []       # (number, text)
        self.stored = {}         # index -> (status, sender, stamp, text)
        self.cmgs_error = False
        self.no_prompt = False
        self.csq = "21,0"
        # AT+COPS=? lists these (status, long name, short name, numeric code)
        self.operators = [(1, "other", "OT", "00202"), (2, "testnet", "TN", "00101")]
        self.answers = {}        # exact command -> answer bytes (overrides)
        self.silent = set()      # commands left unanswered
        self.on_line = None      # callback(line, t) before answering
        self.socks = {}          # connection id -> socket
        self.listeners = {}      # connection id -> listening socket (AT#SL)
        self.incoming = {}       # connection id -> accepted peer not yet taken (AT#SA)
        self.pending_recv = {}   # connection id -> bytes received from the peer
        self._buf = bytearray()
        self._send_wait = None   # (conn id, count) after a "> " prompt
        self._sms_number = None
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    # ---- helpers for the test ---------------------------------------------------
    def lines(self):
        with self.lock:
            return [l for _, l in self.log]

    def times(self, line):
        with self.lock:
            return [t for t, l in self.log if l == line]

    def write(self, data):
        if isinstance(data, str):
            data = data.encode("latin-1")
        os.write(self.fd, data)

    def stop(self):
        self._stop.set()
        self._thread.join(5)
        for d in (self.socks, self.listeners, self.incoming):
            for s in d.values():
                s.close()
            d.clear()

    def _ok(self):
        return "\r\nOK\r\n" if self.verbose else "0\r"

    # ---- the line side -------------------------------------------------------------
    def _run(self):
        while not self._stop.is_set():
            fds = [self.fd] + list(self.socks.values()) + list(self.listeners.values())
            try:
                r, _, _ = select.select(fds, [], [], 0.05)
            except (OSError, ValueError):
                return
            for f in r:
                if f == self.fd:
                    try:
                        data = os.read(self.fd, 4096)
                    except OSError:
                        return
                    with self.lock:
                        self.raw += data
                    self._feed(data)
                elif f in self.listeners.values():
                    cid = next(k for k, v in self.listeners.items() if v is f)
                    conn, _ = f.accept()
                    if cid in self.incoming or cid in self.socks:
                        conn.close()
                    else:
                        self.incoming[cid] = conn
                else:
                    self._peer_data(f)

    def _peer_data(self, s):
        cid = next((k for k, v in self.socks.items() if v is s), None)
        try:
            data = s.recv(4096)
        except OSError:
            data = b""
        if cid is None:
            return
        if not data:
            del self.socks[cid]
            s.close()
            return
        self.pending_recv[cid] = self.pending_recv.get(cid, b"") + data
        self.write("\r\nSRING: %d\r\n" % cid)

    def _feed(self, data):
        for b in data:
            if self._send_wait is not None:
                cid, left = self._send_wait
                self._buf.append(b)
                if len(self._buf) >= left:
                    payload = bytes(self._buf)
                    self._buf.clear()
                    self._send_wait = None
                    with self.lock:
                        self.log.append((time.monotonic(), "DATA:" + payload.decode("latin-1")))
                    if cid in self.socks:
                        self.socks[cid].sendall(payload)
                    self.write("\r\nOK\r\n")
                continue
            if self._sms_number is not None:
                if b == 0x1A:
                    text = bytes(self._buf).decode("latin-1")
                    self._buf.clear()
                    number, self._sms_number = self._sms_number, None
                    with self.lock:
                        self.log.append((time.monotonic(), "SMS:" + text))
                        self.sms_sent.append((number, text))
                    self.write("\r\nERROR\r\n" if self.cmgs_error == "after" else "\r\n+CMGS: 7\r\n\r\nOK\r\n")
                else:
                    self._buf.append(b)
                continue
            if b == 0x1A or b == 10:
                continue
            self._buf.append(b)
            if self._buf.endswith(b"+++"):
                del self._buf[-3:]
                self._line("+++")
                continue
            if b == 13:
                line = bytes(self._buf[:-1]).decode("latin-1")
                self._buf.clear()
                if line:
                    self._line(line)

    def _line(self, line):
        t = time.monotonic()
        with self.lock:
            self.log.append((t, line))
        if self.on_line:
            self.on_line(line, t)
        if line in self.silent:
            return
        if line in self.answers:
            self.write(self.answers[line])
            return
        self.write(self._answer(line))

    def _answer(self, line):
        up = line.upper()
        if line == "+++":
            return "" if not self.verbose else "\r\nOK\r\n"
        if up == "AT+CPIN?":
            return "\r\n+CPIN: READY\r\n\r\nOK\r\n"
        if up == "AT+CSQ":
            return "\r\n+CSQ: %s\r\n\r\nOK\r\n" % self.csq
        if up == "AT+COPS=?":
            ops = ",".join('(%d,"%s","%s","%s")' % o for o in self.operators)
            return "\r\n+COPS: %s,,(0-4),(0-2)\r\n\r\nOK\r\n" % ops
        if up == "AT+CREG?":
            return "\r\n+CREG: 0,1\r\n\r\nOK\r\n"
        if up == "AT#MONI":
            return "\r\n#MONI: Sim Op BSIC:12 RxQual:0 LAC:1 Id:2 ARFCN:3 PWR:-75dbm TA:0\r\n\r\nOK\r\n"
        if up == "AT+GMM":
            return "\r\nLE910-D\r\n\r\nOK\r\n"
        if up.startswith("AT#SGACT=1,1"):
            return "\r\n#SGACT: 10.0.0.2\r\n\r\nOK\r\n"
        if up.startswith("AT+CMGS="):
            if self.no_prompt:
                return ""
            if self.cmgs_error is True:
                return "\r\nERROR\r\n"
            self._sms_number = line[8:]
            return "\r\n> "
        if up.startswith("AT+CMGL"):
            out = ""
            for idx in sorted(self.stored):
                st, sender, stamp, text = self.stored[idx]
                out += '\r\n+CMGL: %d,"%s","%s",,"%s"\r\n%s\r\n' % (idx, st, sender, stamp, text)
            return out + "\r\nOK\r\n"
        if up.startswith("AT+CMGD="):
            self.stored.pop(int(line[8:] or "0"), None)
            return "\r\nOK\r\n"
        if up.startswith("AT#SD="):
            f = line[6:].split(",")
            cid, port, host = int(f[0]), int(f[2]), f[3].strip('"')
            try:
                s = socket.create_connection((host, port), timeout=3)
            except OSError:
                return "\r\nERROR\r\n"
            self.socks[cid] = s
            return "\r\nOK\r\n"
        if up.startswith("AT#SH="):
            s = self.socks.pop(int(line[6:]), None)
            if s:
                s.close()
            return "\r\nOK\r\n"
        if up.startswith("AT#SL="):
            cid, onoff, port = (int(x) for x in line[6:].split(","))
            old = self.listeners.pop(cid, None)
            if old:
                old.close()
            if onoff:
                ls = socket.socket()
                ls.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                try:
                    ls.bind(("127.0.0.1", port))
                except OSError:
                    ls.close()
                    return "\r\nERROR\r\n"
                ls.listen(1)
                self.listeners[cid] = ls
            return "\r\nOK\r\n"
        if up.startswith("AT#SA="):
            cid = int(line[6:].split(",")[0])
            conn = self.incoming.pop(cid, None)
            if conn is None:
                return "\r\nERROR\r\n"
            self.socks[cid] = conn
            return "\r\nOK\r\n"
        if up == "AT#SS":
            out = ""
            for cid in range(1, 7):
                if cid in self.incoming:
                    la, lp = self.incoming[cid].getsockname()[:2]
                    ra, rp = self.incoming[cid].getpeername()[:2]
                    out += "\r\n#SS: %d,5,%s,%d,%s,%d" % (cid, la, lp, ra, rp)
                elif cid in self.listeners and cid not in self.socks:
                    la, lp = self.listeners[cid].getsockname()[:2]
                    out += "\r\n#SS: %d,4,%s,%d" % (cid, la, lp)
                elif cid in self.socks:
                    state = 3 if self.pending_recv.get(cid) else 2
                    la, lp = self.socks[cid].getsockname()[:2]
                    ra, rp = self.socks[cid].getpeername()[:2]
                    out += "\r\n#SS: %d,%d,%s,%d,%s,%d" % (cid, state, la, lp, ra, rp)
                else:
                    out += "\r\n#SS: %d,0" % cid
            return out + "\r\n\r\nOK\r\n"
        if up.startswith("AT#SSENDEXT="):
            cid, n = (int(x) for x in line[12:].split(","))
            self._send_wait = (cid, n)
            return "\r\n> "
        if up.startswith("AT#SRECV="):
            cid, n = (int(x) for x in line[9:].split(","))
            data = self.pending_recv.pop(cid, b"")
            data, rest = data[:n], data[n:]
            if rest:
                self.pending_recv[cid] = rest
            return ("\r\n#SRECV: %d,%d\r\n" % (cid, len(data))).encode() + data + b"\r\n\r\nOK\r\n"
        if up.startswith("ATD"):
            return "\r\nCONNECT 9600\r\n" if self.verbose else "1\r"
        return self._ok()


def main(argv):
    """Attaches a simulated modem to a controller's cellular line: makes a
    pseudo-terminal, links its far end at PATH (e.g. data/dev/ttySP2, before
    the controller starts) and prints every SMS the controller sends, until
    Ctrl-C."""
    import pty
    import sys
    import termios
    import tty
    if len(argv) != 2:
        print("usage: %s PATH   (e.g. data/dev/ttySP2)" % argv[0], file=sys.stderr)
        return 2
    master, slave = pty.openpty()
    for fd in (master, slave):
        tty.setraw(fd)
        attrs = termios.tcgetattr(fd)
        attrs[3] &= ~termios.ECHO
        termios.tcsetattr(fd, termios.TCSANOW, attrs)
    if os.path.lexists(argv[1]):
        os.unlink(argv[1])
    os.symlink(os.ttyname(slave), argv[1])
    sim = ModemSim(master, verbose=True)
    print("modem on %s" % argv[1], flush=True)
    shown = 0
    try:
        while True:
            with sim.lock:
                new = sim.sms_sent[shown:]
            for number, text in new:
                print("SMS to %s: %s" % (number, text), flush=True)
            shown += len(new)
            time.sleep(0.2)
    except KeyboardInterrupt:
        pass
    finally:
        sim.stop()
        os.unlink(argv[1])
    return 0


if __name__ == "__main__":
    import sys
    sys.exit(main(sys.argv))
