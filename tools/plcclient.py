#!/usr/bin/python3
"""Command-line client of the controller's programming protocol.

Speaks the byte protocol of the programming tool over a serial device (or any
file descriptor, such as the master side of a pseudo-terminal): get and set
the controller mode, download, upload and verify memory files, read and write
registers, version, network id, packet-size negotiation, port settings and
datagrams. Standard library only.

Frame: command byte, length (one byte 0..254, or 0xFF and a 16-bit
little-endian length), data, checksum; the 8-bit sum of the OEM seed and every
frame byte is 0. Data byte 0 is the target's network id. Answers are one byte
(0xA0 accepted, 0x09 refused, 0x0F checksum error, 0x60 port busy) or a frame
whose command byte is 0xFF.

Over Ethernet (TCP port 18501) each frame travels behind a 28-byte header
(see TcpPlcClient); "-H ADDRESS" selects it on the command line.

Usage as a module:

    from plcclient import PlcClient
    with PlcClient.open_device("/dev/ttyUSB0") as c:
        print(c.get_mode())
"""

import argparse
import errno
import os
import re
import select
import socket
import sys
import termios
import time

ACK, NAK, BADSUM, BUSY = 0xA0, 0x09, 0x0F, 0x60
DATA = 0xFF

CMD_GET_MODE, CMD_SET_MODE, CMD_VERIFY, CMD_DOWNLOAD, CMD_UPLOAD = 0x01, 0x02, 0x03, 0x04, 0x05
CMD_GET_VERSION, CMD_GET_ID, CMD_SET_ID = 0x08, 0x09, 0x0A
CMD_GET_REG, CMD_SET_REG, CMD_COMM_LOCK = 0x16, 0x18, 0x19
CMD_GET_BAUD, CMD_SET_BAUD = 0x1A, 0x1B
CMD_DG_DELETE, CMD_DG_CREATE, CMD_DG_WRITE, CMD_DG_READ = 0x1F, 0x20, 0x21, 0x22
CMD_NEGOTIATE = 0x23
CMD_FXP_LINE, CMD_FXP_WRITE, CMD_FXP_READ = 0x1C, 0x1D, 0x1E

BAUD_CODES = {300: 0, 600: 1, 1200: 2, 2400: 3, 4800: 4, 9600: 5, 19200: 6,
              38400: 7, 57600: 8, 115200: 9}
_SPEEDS = {0: termios.B300, 1: termios.B600, 2: termios.B1200, 3: termios.B2400,
           4: termios.B4800, 5: termios.B9600, 6: termios.B19200, 7: termios.B38400,
           8: termios.B57600, 9: termios.B115200}


class ProtocolError(Exception):
    """The controller answered something the operation does not accept."""

    def __init__(self, message, answer=None):
        super().__init__(message)
        self.answer = answer


class Timeout(ProtocolError):
    pass


def checksum(data, seed=0):
    """Checksum byte that makes seed + sum(data) + checksum == 0 (mod 256)."""
    return (-(seed + sum(data))) & 0xFF


def build_frame(cmd, data=b"", seed=0, long_form=False):
    data = bytes(data)
    n = len(data)
    if long_form or n > 254:
        head = bytes([cmd, 0xFF, n & 0xFF, n >> 8])
    else:
        head = bytes([cmd, n])
    body = head + data
    return body + bytes([checksum(body, seed)])


def reg_address(addr):
    """Data bytes 2.. of a register command naming bit address addr."""
    if 0 < addr < 0x10000 and addr not in (1776, 1777):
        return addr.to_bytes(2, "little")
    return (0).to_bytes(2, "little") + addr.to_bytes(4, "little")


class PlcClient:
    # Checked exchanges (set for a port opened by name, which other programs
    # may have left bytes on): the port is emptied before each request, an
    # answer must have its request's shape and be followed by silence for
    # this long, and a request whose answer does not is asked once more
    # after the controller's frame time-out.
    SETTLE = 0.03
    RESYNC = 0.7      # above the controller's frame time-out (500 ms by default)

    def __init__(self, fd, seed=0, target=None, timeout=3.0, own_fd=False, checked=False):
        self.fd = fd
        self.seed = seed & 0x7F
        self.timeout = timeout
        self.own_fd = own_fd
        self.checked = checked
        self.long_frames = False   # send long-form frames (after negotiation)
        self.frame_size = 64       # data bytes per download/verify frame
        self._target = target
        self.progress = None       # progress(done, total or None) during long transfers
        self.download_open = False   # a download answered and its frames under way

    # ---- opening ---------------------------------------------------------------
    @classmethod
    def open_device(cls, path, baud=9600, **kw):
        fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            set_raw(fd, BAUD_CODES.get(baud, 5))
        except termios.error:
            os.close(fd)
            raise
        kw.setdefault("checked", True)
        c = cls(fd, own_fd=True, **kw)
        # Bytes left by an earlier client (stopped half-way, or on the wrong
        # end of a pseudo-terminal pair) are no answer to anything of ours.
        c.flush_input()
        return c

    def close(self):
        if self.own_fd and self.fd is not None:
            os.close(self.fd)
        self.fd = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # ---- bytes -------------------------------------------------------------------
    def write(self, data):
        data = bytes(data)
        while data:
            try:
                n = os.write(self.fd, data)
                data = data[n:]
            except BlockingIOError:
                select.select([], [self.fd], [], 0.05)

    def read_exact(self, n, timeout=None):
        timeout = self.timeout if timeout is None else timeout
        deadline = time.monotonic() + timeout
        out = bytearray()
        while len(out) < n:
            left = deadline - time.monotonic()
            if left <= 0:
                raise Timeout("no answer (%d of %d bytes)" % (len(out), n))
            r, _, _ = select.select([self.fd], [], [], left)
            if not r:
                continue
            try:
                chunk = os.read(self.fd, n - len(out))
            except BlockingIOError:
                continue
            except OSError as e:  # EIO: the other side is closed for now
                if e.errno == 5:
                    time.sleep(0.01)
                    continue
                raise
            out += chunk
        return bytes(out)

    def flush_input(self):
        while True:
            r, _, _ = select.select([self.fd], [], [], 0)
            if not r:
                return
            try:
                if not os.read(self.fd, 4096):
                    return
            except (BlockingIOError, OSError):
                return

    def silent_for(self, seconds):
        """True when nothing arrives within the given time."""
        r, _, _ = select.select([self.fd], [], [], seconds)
        return not r

    # ---- frames --------------------------------------------------------------------
    def send(self, cmd, data=b"", long_form=None):
        lf = self.long_frames if long_form is None else long_form
        self.write(build_frame(cmd, data, self.seed, lf))

    def read_answer(self, timeout=None):
        """('byte', b) or ('frame', data); a frame with a bad checksum raises."""
        b = self.read_exact(1, timeout)[0]
        if b != DATA:
            return ("byte", b)
        ln = self.read_exact(1)[0]
        head = bytes([DATA, ln])
        if ln == 0xFF:
            lo_hi = self.read_exact(2)
            head += lo_hi
            ln = lo_hi[0] | lo_hi[1] << 8
        data = self.read_exact(ln) if ln else b""
        cs = self.read_exact(1)
        if (self.seed + sum(head) + sum(data) + cs[0]) & 0xFF:
            raise ProtocolError("answer frame with a bad checksum", head + data + cs)
        return ("frame", data)

    def transact(self, cmd, data=b"", timeout=None):
        self.send(cmd, data)
        return self.read_answer(timeout)

    @staticmethod
    def _fits(answer, frames):
        """Whether answer can be the answer to a request whose answer frame
        has one of the lengths in frames (None: any; () for requests
        answered by a byte). 0x0F is left to the caller."""
        kind, v = answer
        if kind == "byte":
            return v in (ACK, NAK, BUSY, BADSUM)
        return frames is None or len(v) in frames

    def ask(self, cmd, data, frames=(), timeout=None):
        """One request and its answer: a byte, or a frame whose length is in
        frames. On a checked port an answer that cannot be this request's
        (another shape, a bad checksum, more bytes behind it, 0x0F, nothing
        in time) empties the port and asks once more; a second such answer
        ends with ProtocolError. A lone 0x0F twice is the controller's answer."""
        if not self.checked:
            ans = self.transact(cmd, data, timeout)
            if not self._fits(ans, frames):
                raise ProtocolError("command 0x%02X: an answer of another shape: %r" % (cmd, ans), ("other", ans))
            return ans
        seen = []
        for attempt in (0, 1):
            if attempt:
                self.resync()
            self.flush_input()
            self.send(cmd, data)
            try:
                ans = self.read_answer(timeout)
            except Timeout:
                if attempt:
                    raise
                seen.append("nothing in time")
                continue
            except ProtocolError as e:
                seen.append(str(e))
                continue
            if not self._fits(ans, frames):
                seen.append("%r, another shape" % (ans,))
                continue
            if not self.silent_for(self.SETTLE):
                seen.append("%r with more bytes behind it" % (ans,))
                continue
            if ans == ("byte", BADSUM) and attempt == 0:
                seen.append("0x0F")
                continue
            return ans
        raise ProtocolError("the answers on the port do not belong to the requests (stray bytes, or another "
                            "client on the same port?): got %s" % "; then ".join(seen), ("other", seen))

    def resync(self):
        """Empties the port and waits until the controller has dropped any
        frame it took our bytes for (its frame time-out)."""
        deadline = time.monotonic() + self.RESYNC
        while time.monotonic() < deadline:
            self.flush_input()
            self.silent_for(min(0.05, max(deadline - time.monotonic(), 0)))
        self.flush_input()

    def expect_byte(self, answer, want=ACK, what="command"):
        if answer != ("byte", want):
            raise ProtocolError("%s answered %r" % (what, answer), answer)

    def expect_frame(self, answer, what="command"):
        if answer[0] != "frame":
            raise ProtocolError("%s answered %r" % (what, answer), answer)
        return answer[1]

    # ---- identity --------------------------------------------------------------------
    @property
    def target(self):
        if self._target is None:
            self._target = self.get_local_id()
        return self._target

    @target.setter
    def target(self, value):
        self._target = value

    def get_local_id(self):
        return self.expect_frame(self.ask(CMD_GET_ID, b"\x00", (1,)), "get_local_id")[0]

    def set_local_id(self, new_id):
        self.expect_byte(self.ask(CMD_SET_ID, bytes([new_id])), what="set_local_id")
        self._target = new_id

    def get_version(self):
        """(firmware number, version number as 'major.minor' text)."""
        d = self.expect_frame(self.ask(CMD_GET_VERSION, bytes([self.target]), (3, 5)), "get_version")
        if len(d) == 3:
            return d[0], "%d.%02d" % (d[1], d[2])
        if len(d) == 5 and d[0] == 0xFF:
            return d[3] | d[4] << 8, "%d.%02d" % (d[1], d[2])
        raise ProtocolError("get_version answered %r" % (d,))

    # ---- mode -------------------------------------------------------------------------
    def get_mode(self):
        return self.expect_frame(self.ask(CMD_GET_MODE, bytes([self.target]), (1,)), "get_mode")[0]

    def set_mode(self, mode):
        self.expect_byte(self.ask(CMD_SET_MODE, bytes([self.target, mode])), what="set_mode")

    # ---- registers ----------------------------------------------------------------------
    def read_reg(self, addr, width=16):
        """Raw bytes of width bits at bit address addr (1 byte for width 1)."""
        d = bytes([self.target, width]) + reg_address(addr)
        return self.expect_frame(self.ask(CMD_GET_REG, d, (1 if width == 1 else width // 8,)), "get_plc_reg")

    def read_word(self, word):
        return int.from_bytes(self.read_reg(1024 + 16 * word, 16), "little")

    def write_reg(self, addr, width, value):
        """value: int (little-endian over width bits) or bytes."""
        if isinstance(value, int):
            value = value.to_bytes(1 if width == 1 else max(1, width // 8), "little")
        d = bytes([self.target, width]) + reg_address(addr) + bytes(value)
        self.expect_byte(self.ask(CMD_SET_REG, d), what="set_plc_reg")

    def write_word(self, word, value):
        self.write_reg(1024 + 16 * word, 16, value & 0xFFFF)

    # ---- port ------------------------------------------------------------------------------
    def negotiate(self, size):
        self.expect_byte(self.ask(CMD_NEGOTIATE, bytes([self.target]) + size.to_bytes(2, "little")),
                         what="negotiation")
        self.frame_size = size
        self.long_frames = size != 64

    def comm_lock(self, lock, lock_ms=None, frame_ms=None):
        d = bytes([self.target, lock])
        if lock_ms is not None:
            d += lock_ms.to_bytes(2, "little")
            if frame_ms is not None:
                d += frame_ms.to_bytes(2, "little")
        self.expect_byte(self.ask(CMD_COMM_LOCK, d), what="set_comm_lock")

    def get_baud_rate(self):
        return self.expect_frame(self.transact(CMD_GET_BAUD, bytes([self.target])), "get_baud_rate")[0]

    def set_baud_rate(self, code):
        self.expect_byte(self.transact(CMD_SET_BAUD, bytes([self.target, code])), what="set_baud_rate")

    # ---- memory files ----------------------------------------------------------------------
    def _progress(self, done, total):
        if self.progress is not None:
            self.progress(done, total)

    def _data_frames(self, cmd, ftype, data, frame_size, what):
        size = frame_size or self.frame_size
        self.download_open = False
        self.expect_byte(self.ask(cmd, bytes([self.target, ftype])), what=what)
        self.download_open = cmd == CMD_DOWNLOAD   # from here a failure cuts the download off
        pos = 0
        data = bytes(data)
        while True:
            self._progress(pos, len(data))
            chunk = data[pos:pos + size]
            for _ in range(5):
                ans = self.transact(DATA, chunk)
                if ans != ("byte", BADSUM):
                    break
            if ans != ("byte", ACK):
                raise ProtocolError("%s: frame at offset %d answered %r" % (what, pos, ans), ans)
            if not chunk:
                # An empty frame ends the file and the long frames with it.
                self.long_frames = False
                self.frame_size = 64
                return
            pos += len(chunk)

    def download(self, ftype, data, frame_size=None):
        self._data_frames(CMD_DOWNLOAD, ftype, data, frame_size, "download")

    def verify(self, ftype, data, frame_size=None):
        """True when the file equals data; False when the controller finds a difference."""
        try:
            self._data_frames(CMD_VERIFY, ftype, data, frame_size, "verify")
            return True
        except ProtocolError as e:
            if e.answer == ("byte", NAK) and "offset" in str(e):
                return False
            raise

    def upload(self, ftype, header=False):
        """The file's data, or (crc, length) of its header."""
        d = bytes([self.target, ftype, 1 if header else 0])
        self.expect_byte(self.ask(CMD_UPLOAD, d), what="upload")
        out = bytearray()
        while True:
            try:
                kind, chunk = self.read_answer(self.timeout + 1.0)
            except ProtocolError as e:
                if isinstance(e, Timeout):
                    raise
                self.flush_input()
                self.write(bytes([BADSUM]))
                continue
            if kind != "frame":
                raise ProtocolError("upload: got byte 0x%02X" % chunk, (kind, chunk))
            self.write(bytes([ACK]))
            if not chunk:
                self.long_frames = False
                break
            out += chunk
            self._progress(len(out), None)
        if header:
            if len(out) != 8:
                raise ProtocolError("header upload gave %d bytes" % len(out))
            return int.from_bytes(out[0:4], "little"), int.from_bytes(out[4:8], "little")
        return bytes(out)

    # ---- file transfer -----------------------------------------------------------------------
    def fxp(self, line, timeout=None):
        """Sends a file command line; (reply code, extra value or None)."""
        ans = self.ask(CMD_FXP_LINE, bytes([self.target]) + line.encode("latin-1"), (2, 6), timeout)
        data = self.expect_frame(ans, what="file command")
        if len(data) not in (2, 6):
            raise ProtocolError("file command answered %d bytes" % len(data), ans)
        extra = int.from_bytes(data[2:6], "little") if len(data) == 6 else None
        return int.from_bytes(data[0:2], "little"), extra

    def fxp_write(self, data, block=None):
        """File data after "stor", in blocks, then the closing empty block."""
        size = block or (self.frame_size - 1)
        data = bytes(data)
        for pos in range(0, len(data), size):
            self._progress(pos, len(data))
            self.expect_byte(self.transact(CMD_FXP_WRITE, bytes([self.target]) + data[pos:pos + size]),
                             what="file data at offset %d" % pos)
        self.expect_byte(self.transact(CMD_FXP_WRITE, bytes([self.target]), self.timeout + 30.0),
                         what="end of file data")

    def fxp_read(self):
        """File or listing data after "retr" or "list", up to the empty frame."""
        out = bytearray()
        while True:
            chunk = self.expect_frame(self.transact(CMD_FXP_READ, bytes([self.target])), what="file read")
            if not chunk:
                return bytes(out)
            out += chunk
            self._progress(len(out), None)

    # ---- datagrams -----------------------------------------------------------------------------
    def _dg(self, cmd, b1, key, words=b""):
        return bytes([self.target, b1]) + key.to_bytes(2, "little") + bytes(words)

    def dg_create(self, refs, key=0x1234, timeout=0):
        """refs: list of 16-bit words (0 is an escape); the id, or 255."""
        words = b"".join(int(r).to_bytes(2, "little") for r in refs)
        return self.expect_frame(self.transact(CMD_DG_CREATE, self._dg(CMD_DG_CREATE, timeout, key, words)),
                                 "datagram create")[0]

    def dg_read(self, dg_id, key=0x1234):
        ans = self.transact(CMD_DG_READ, self._dg(CMD_DG_READ, dg_id, key))
        if ans == ("byte", NAK):
            return None
        return self.expect_frame(ans, "datagram read")

    def dg_write(self, dg_id, values, key=0x1234):
        words = b"".join(int(v & 0xFFFF).to_bytes(2, "little") for v in values)
        return self.transact(CMD_DG_WRITE, self._dg(CMD_DG_WRITE, dg_id, key, words)) == ("byte", ACK)

    def dg_delete(self, dg_id, key=0x1234):
        return self.transact(CMD_DG_DELETE, self._dg(CMD_DG_DELETE, dg_id, key)) == ("byte", ACK)


QNCAN_PORT = 18501
QNCAN_HDR = 28


class TcpPlcClient(PlcClient):
    """The same protocol over TCP port 18501: every frame sent goes out as
    one request of a 28-byte header (u32 access word, u16 level, two u16
    words echoed in replies, u16 command, six u16 clock words, u16 spare,
    u16 payload length; little-endian) and the frame as payload. Replies
    carry the same header; their payloads form the answer byte stream.
    last_header holds the header of the last reply (status at bytes 10-11,
    the controller's clock words at 12-23)."""

    def __init__(self, sock, level=0, words=(0, 0), access=0, **kw):
        sock.setblocking(False)
        super().__init__(sock.fileno(), **kw)
        self.sock = sock
        self.level = level
        self.words = words
        self.access = access
        self.rx = bytearray()
        self.last_header = None

    @classmethod
    def open_tcp(cls, host, port=QNCAN_PORT, timeout=3.0, **kw):
        s = socket.create_connection((host, port), timeout=timeout)
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return cls(s, timeout=timeout, **kw)

    def close(self):
        if self.sock is not None:
            self.sock.close()
        self.sock = None
        self.fd = None

    def header(self, length, command=0, level=None):
        import struct
        lv = self.level if level is None else level
        return struct.pack("<IHHHH12sHH", self.access, lv, self.words[0], self.words[1], command,
                           bytes(12), 0, length)

    def request(self, payload, command=0, level=None):
        """Sends one request with the given payload."""
        self.sock.sendall(self.header(len(payload), command, level) + bytes(payload))

    def write(self, data):
        self.request(bytes(data))

    def _recv(self, n, deadline):
        out = bytearray()
        while len(out) < n:
            left = deadline - time.monotonic()
            if left <= 0:
                raise Timeout("no answer (%d of %d bytes)" % (len(out), n))
            r, _, _ = select.select([self.sock], [], [], left)
            if not r:
                continue
            try:
                chunk = self.sock.recv(n - len(out))
            except BlockingIOError:
                continue
            if not chunk:
                raise ProtocolError("connection closed")
            out += chunk
        return bytes(out)

    def reply(self, timeout=None):
        """(header, payload) of the next reply."""
        deadline = time.monotonic() + (self.timeout if timeout is None else timeout)
        head = self._recv(QNCAN_HDR, deadline)
        n = head[26] | head[27] << 8
        self.last_header = head
        return head, self._recv(n, deadline)

    def read_exact(self, n, timeout=None):
        timeout = self.timeout if timeout is None else timeout
        deadline = time.monotonic() + timeout
        while len(self.rx) < n:
            _, payload = self.reply(max(deadline - time.monotonic(), 0.001))
            self.rx += payload
        out = bytes(self.rx[:n])
        del self.rx[:n]
        return out

    def flush_input(self):
        self.rx.clear()
        while True:
            r, _, _ = select.select([self.sock], [], [], 0)
            if not r:
                return
            try:
                if not self.sock.recv(4096):
                    return
            except (BlockingIOError, OSError):
                return

    def silent_for(self, seconds):
        if self.rx:
            return False
        r, _, _ = select.select([self.sock], [], [], seconds)
        return not r


def set_raw(fd, code=5):
    attrs = termios.tcgetattr(fd)
    attrs[0] = termios.IGNPAR
    attrs[1] = 0
    attrs[2] = termios.CS8 | termios.CLOCAL | termios.CREAD
    attrs[3] = 0
    attrs[4] = attrs[5] = _SPEEDS.get(code, termios.B9600)
    attrs[6][termios.VMIN] = 1
    attrs[6][termios.VTIME] = 0
    termios.tcsetattr(fd, termios.TCSANOW, attrs)


def _int(text):
    try:
        return int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError("%r is not a number (decimal, or hex with 0x)" % text) from None


def _address(text):
    """A bit address, or a reference such as %R1 or %I1: (bit address, the
    reference's width or None)."""
    from plclist import BASES, REFERENCE
    m = REFERENCE.match(text)
    if m is None:
        if text.startswith("%"):
            raise argparse.ArgumentTypeError("%r is not a reference: write the type and number, e.g. %%R1, %%I1, "
                                             "%%SR5 (see the README's table)" % text)
        try:
            return int(text, 0), None
        except ValueError:
            raise argparse.ArgumentTypeError("%r is not a number (decimal, or hex with 0x) or a reference such as "
                                             "%%R1" % text) from None
    base, bits, count = BASES[m.group(1).upper()]
    n = int(m.group(2))
    if n < 1:
        raise argparse.ArgumentTypeError("register numbers start at 1: %s" % text)
    if n > count:
        raise argparse.ArgumentTypeError("%s is past the end of %%%s (%%%s1 .. %%%s%d)"
                                         % (text, m.group(1).upper(), m.group(1).upper(), m.group(1).upper(), count))
    return base + bits * (n - 1), bits


class UsageError(Exception):
    """A command line the client will not send: one line saying what to try."""


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        raise UsageError("%s (see %s --help)" % (message, self.prog))


def check_options(ap, argv):
    """An option the client does not know, named as typed (argparse would
    blame the word after it), with the one it looks like."""
    import difflib
    known = ap._option_string_actions
    i = 0
    while i < len(argv):
        a = argv[i]
        if a in SUBCOMMANDS:
            return
        if a.startswith("-") and not re.match(r"^-\d", a):
            name = a.split("=", 1)[0]
            if name not in known:
                near = difflib.get_close_matches(name, [o for o in known if o.startswith("--")] if name.startswith("--")
                                                 else list(known), 1)
                raise UsageError("unknown option %s%s (see %s --help)"
                                 % (name, ", did you mean %s?" % near[0] if near else "", ap.prog))
            if known[name].nargs != 0 and "=" not in a:
                i += 1
        i += 1


def check_card_name(name):
    """A drive name whose folder separators a shell took away (A:\\LOGS\\X.BIN
    unquoted arrives as A:LOGSX.BIN) would land elsewhere without a word."""
    if re.match(r"^[A-Za-z]:[^\\/]", name):
        raise UsageError("%s has no folder separator after the drive: did the shell take a backslash away? Quote "
                         "the name ('%s\\...'), or write %s\\%s for the top folder"
                         % (name, name[:2], name[:2], name[2:]))


# Answer bytes of the controller and what they mean.
ANSWERS = {
    NAK: "0x09 refused: the controller cannot do this now or with these values (a mode above 4, run while a "
         "fault forces stop, an address outside the register image, a read-only or out-of-range register, "
         "a file type it does not keep)",
    BADSUM: "0x0F checksum error: the frame arrived damaged, or the OEM checksum seed (-s) is wrong",
    BUSY: "0x60 busy: another tool owns the controller's command channel (another TCP connection, "
          "or a clone lent the port); try again when it is done",
}

# Fault bits of word 131 and what they mean.
FAULT_BITS = [
    (0x0004, "no valid program (the file was not a program, or a download was abandoned)"),
    (0x0100, "invalid instruction: the program holds a word the controller cannot execute "
             "(its offset is in words 180-181); was the file a program?"),
]
FAULT_FORCE = 0x90F              # fault bits of word 131 that keep the controller stopped
W_FAULT_BIT = 1024 + 16 * 131    # bit address of word 131

# Store-failure bits of the storage-fault word 54278 (%ESR7) and what they mean.
STORE_BITS = [
    (0x0020, "the program file could not be written"),
    (0x0080, "the configuration or register file could not be written"),
]
W_STORE_BIT = 0x10030000 + 16 * 6   # bit address of word 54278


def fault_text(word):
    """The set fault bits of word 131 that keep the controller stopped, with their meanings."""
    word &= FAULT_FORCE
    known = [t for bit, t in FAULT_BITS if word & bit]
    rest = word & ~sum(b for b, _ in FAULT_BITS)
    if rest:
        known.append("other fault bits 0x%04X" % rest)
    return "; ".join(known)


# Memory files: name, and the system words that mirror their CRC and length
# (None where the controller keeps no mirror: the header is uploaded).
FILES = {0: ("program", 150, 138), 2: ("forces", 152, 142), 4: ("register set-up", 155, 148),
         5: ("I/O configuration", 153, 144), 6: ("network configuration", 154, 146),
         20: ("protocol-manager table", 257, 250), 21: ("messaging table", 274, 270),
         22: ("data-log table", None, None), 23: ("CANopen table", None, None), 26: ("on-line change", None, None),
         33: ("MQTT table", None, None)}
PROGRAM_TYPES = (0, 26)
# What the controller checks at its start besides the program: the register
# set-up and the I/O configuration always, a table when the program's editor
# feature word names it.
START_FILES = (0, 4, 5)
FEATURE_TABLES = ((0x01, 20), (0x02, 21), (0x04, 22), (0x90, 33))


def crc16(data):
    """CRC-16/MODBUS, the check of every memory file."""
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def is_text(data):
    """Whether the bytes are a text (a README, a listing): every memory file
    holds bytes no text has (a zero byte at least, or a control character)."""
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        return False
    return all(ch.isprintable() or ch in "\n\r\t" for ch in text)


def io_slot_records(data):
    """The I/O configuration's three slot records as the controller reads
    them: an empty slot is its id 0xFFFF alone, any other u16 id, u16 length
    and that many data bytes (padded to 4). Gives the ids, or None when a
    record runs past the end of the bytes (the controller would then take
    that slot and the later ones as not configured)."""
    pos, ids = 0, []
    for _ in range(3):
        if pos + 2 > len(data):
            return None
        kind = int.from_bytes(data[pos:pos + 2], "little")
        if kind == 0xFFFF:
            pos += 2
        else:
            if pos + 4 > len(data):
                return None
            n = int.from_bytes(data[pos + 2:pos + 4], "little")
            if pos + 4 + n > len(data):
                return None
            pos += 4 + ((n + 3) & ~3)
        ids.append(kind)
    return ids


ETHERNET_MODULE = 0xFA00   # slot 2's module id when it carries the Ethernet configuration


def wrong_kind(ftype, data, name):
    """A line refusing a file whose bytes plainly say it is of another kind,
    or None. Only what the bytes show for certain is refused: an I/O
    configuration (type 5) whose slot records do not fit the file, and a
    program (type 0) that is an I/O configuration carrying the Ethernet
    module's record."""
    ids = io_slot_records(data)
    if ftype == 5 and ids is None:
        return ("%s is not an I/O configuration: its slot records (u16 id, u16 length, data, for slots 0, 1 and 2; "
                "0xFFFF alone for an empty slot) do not fit its %d bytes, so the controller would take the slots as "
                "not configured and drop the Ethernet configuration; was it a program (download 0)? Nothing was "
                "sent" % (name, len(data)))
    if ftype == 0 and ids is not None and ids[2] == ETHERNET_MODULE:
        return ("%s is an I/O configuration (slot 2 holds the Ethernet module's record, id 0xFA00), not a program: "
                "download it as type 5 (download 5 %s); nothing was sent" % (name, name))
    return None


def program_features(data):
    """The editor feature word a program carries 9 bytes before its end."""
    n = len(data)
    return int.from_bytes(data[n - 9:n - 5], "little") if n >= 9 and data[-1] < 254 else 0


def file_header(c, ftype):
    """(CRC, length) of a memory file as the controller holds it now."""
    name, crc_word, len_word = FILES.get(ftype, (None, None, None))
    if crc_word is None:
        crc, length = c.upload(ftype, header=True)
        return crc & 0xFFFF, length
    return (int.from_bytes(c.read_reg(1024 + 16 * crc_word, 16), "little"),
            int.from_bytes(c.read_reg(1024 + 16 * len_word, 32), "little"))


def file_label(ftype):
    return "%d (%s)" % (ftype, FILES[ftype][0]) if ftype in FILES else "%d" % ftype


def store_word(c):
    return int.from_bytes(c.read_reg(W_STORE_BIT, 16), "little")


def download_state(c):
    """What a download is judged against: mode, word 131 and the storage-fault word."""
    return {"mode": c.get_mode(), "fault": c.read_word(131), "store": store_word(c)}


def judge_download(c, ftype, data, before):
    """What a download did, judged by what changed: the file's header in the
    controller against the file, the fault bits it set (a program judged as a
    program, other files not blamed for a fault from before), whether the
    controller stored it, and files still invalid since a download was
    abandoned. Answers (status, lines for the output, lines for errors)."""
    out, err = [], []
    mode = c.get_mode()
    fault = c.read_word(131)
    armed = mode == 3 or before["mode"] == 3       # an on-line change takes a program download
    status = 0
    crc, length = file_header(c, ftype)
    if (crc, length) != (crc16(data), len(data)):
        if ftype == 0 and armed and file_header(c, 26) == (crc16(data), len(data)):
            # set-mode 3 armed an on-line change: the program went to the
            # change buffer (file 26), and the stored program is what it was.
            err.append("error: not stored as the program: set-mode 3 armed an on-line change, so the file went "
                       "into the change buffer (file 26) and the program is unchanged. The change is applied to "
                       "a running program: in mode 2, write-reg 0x10030000 16 3 makes it the running program "
                       "and set-mode 2 then stores it; any other set-mode drops it. To replace the program "
                       "instead: set-mode 0, then download it again")
        else:
            err.append("error: the controller holds %d bytes (CRC 0x%04X) as file %s, not the file's %d bytes "
                       "(CRC 0x%04X): download it again" % (length, crc, file_label(ftype), len(data), crc16(data)))
        status = 1
    # A program's download clears the invalid-program and invalid-instruction
    # bits: set after it, they are the new program's.
    kept = before["fault"] & ~(0x0104 if ftype == 0 else 0)
    new = fault & ~kept & FAULT_FORCE
    if new:
        text = fault_text(new)
        if ftype not in PROGRAM_TYPES:
            text = text.replace("; was the file a program?", "")
        err.append("error: the controller did not accept it: word 131 = 0x%04X: %s" % (fault, text))
        status = 1
    # The storage-fault bits collect until the register file is deleted: a
    # store that failed is one that set a new bit.
    store = store_word(c)
    failed = store & ~before["store"] & sum(b for b, _ in STORE_BITS)
    if failed:
        err.append("error: the controller could not store it, a restart loses it: word 54278 = 0x%04X: %s; is the "
                   "configuration flash (mnt/cfg) full or read-only?"
                   % (store, "; ".join(t for b, t in STORE_BITS if failed & b)))
        status = 1
    line = "%d bytes; controller in mode %d" % (len(data), mode)
    # The force table lives in the register image, which is saved in any mode.
    if mode == 2 and ftype not in PROGRAM_TYPES and ftype != 2:
        line += ("; taken, not stored: in run mode the controller keeps a download in memory only and a restart "
                 "loses it; to store it, set-mode 0, download it again, then set-mode 2")
    out.append(line)
    # Files the next start would refuse (with the program) since a download
    # was abandoned or a stored file was damaged.
    need = set(START_FILES)
    features = program_features(data) if ftype == 0 else None
    if features is not None:
        need |= {table for bits, table in FEATURE_TABLES if features & bits}
    invalid = [f for f in sorted(need) if file_header(c, f)[1] == 0]
    if invalid:
        tables = "" if features is not None else ", and the tables the program uses"
        err.append("note: invalid since a download was abandoned (or a stored file was damaged): %s; download "
                   "%s again%s, or the controller discards the program at its next start (see \"After an "
                   "abandoned download\" in the README)"
                   % (", ".join(file_label(f) for f in invalid), "it" if len(invalid) == 1 else "each", tables))
    return status, out, err


def answer_text(e, op=None):
    """A refusal as the code and its meaning, or the error's own text."""
    ans = getattr(e, "answer", None)
    if isinstance(ans, tuple) and len(ans) == 2 and ans[0] == "byte" and ans[1] in ANSWERS:
        if ans[1] == BADSUM and op in ("read-reg", "write-reg"):
            # Register commands answer a checksum error for an address outside the image.
            return ("0x0F: no register at this address (the controller answers a register address outside "
                    "its image like a damaged frame): check it against the README's table")
        return ANSWERS[ans[1]]
    if isinstance(ans, tuple) and len(ans) == 2 and ans[0] == "byte":
        return "answer byte 0x%02X" % ans[1]
    return str(e)


def register_at(addr):
    """(the reference of the word register holding bit address addr, the bit
    within it), or (None, 0) outside the word registers' windows."""
    from plclist import BASES
    for kind, (base, bits, count) in BASES.items():
        if bits == 16 and base <= addr < base + 16 * count:
            return "%%%s%d" % (kind, (addr - base) // 16 + 1), (addr - base) % 16
    return None, 0


def write_refused(args):
    """What a refused register write most likely ran into, for its address."""
    ref, _ = register_at(args.address)
    if ref is not None and ref.startswith("%SR") and args.width > 16:
        return ("%s is a 16-bit system register: the controller takes at most 16 bits there (write-reg %d 16 "
                "VALUE)" % (ref, args.address))
    if ref is not None and ref.startswith("%SR"):
        return ("%s refused the value: most system registers are read-only, and the others take only values "
                "within their range (%%SR5, the mode, 0..4)" % ref)
    return None


def check_args(args):
    """Values that cannot travel in their frame fields: one line each."""
    if not 64 <= args.frame <= 1024:
        raise UsageError("-f %d is not a frame size: give 64..1024 data bytes per frame" % args.frame)
    if args.device is not None and args.baud not in BAUD_CODES:
        raise UsageError("-b %d is not a baud rate the port takes: give %s (default 9600)"
                         % (args.baud, ", ".join(str(b) for b in sorted(BAUD_CODES))))
    if not args.timeout > 0:
        raise UsageError("-t %g is not a time-out: give the seconds to wait for an answer, above 0 (default 3)"
                         % args.timeout)
    if args.op in ("read-reg", "write-reg"):
        args.address, ref_width = args.address
        if args.op == "read-reg" and args.width is None:
            args.width = ref_width or 16
    if args.op in ("file-put", "file-get"):
        check_card_name(args.remote)
    # A file to be written into a folder that does not exist: said before
    # anything is asked of the controller.
    out = args.file if args.op in ("upload", "file-get") and args.file != "-" else None
    if out is not None and os.path.dirname(out) and not os.path.isdir(os.path.dirname(out)):
        raise UsageError("the folder %s does not exist: create it, or give %s a path in a folder that exists; "
                         "nothing was asked of the controller" % (os.path.dirname(out), args.op))
    if args.op == "set-mode" and not 0 <= args.mode <= 4:
        raise UsageError("mode %d is not a mode: give 0 (stop), 1, 2 (run), 3 or 4" % args.mode)
    if hasattr(args, "type") and not 0 <= args.type <= 255:
        raise UsageError("file type %d does not exist: give 0 (program), 5 (I/O configuration), ... "
                         "(see the README)" % args.type)
    if args.op == "comm-lock" and args.lock not in (0, 1):
        raise UsageError("comm-lock takes 1 (lock) or 0 (release), not %d" % args.lock)
    if args.op in ("read-reg", "write-reg"):
        if args.address < 0:
            raise UsageError("address %d is negative: a register is named by the bit address of its first bit, "
                             "e.g. 32768 for %%R1 (see the README's table)" % args.address)
        if args.address > 0xFFFFFFFF:
            raise UsageError("address %d is past 0xFFFFFFFF: bit addresses are 32 bits "
                             "(see the README's table)" % args.address)
        # One rule for every width: a bit, or whole bytes (a width between
        # would be cut to its whole bytes by the controller, or refused).
        if not 1 <= args.width <= 255 or (args.width != 1 and args.width % 8 != 0):
            raise UsageError("width %d is not a register width: give 1 for a bit, 16 for a word, 32 for two "
                             "(or another multiple of 8)" % args.width)
    if args.op == "write-reg" and not args.unaligned:
        ref, bit = register_at(args.address)
        if ref is not None and bit != 0:
            first = args.address - bit
            raise UsageError("%d is bit %d of %s, not the first bit of a register: give %d (%s) or %d (%s), or "
                             "add --unaligned to write %d bits from the byte that holds it, as the controller "
                             "takes such an address" % (args.address, bit, ref, first, ref, first + 16,
                                                       register_at(first + 16)[0], args.width))
    if args.op == "write-reg":
        bits = 1 if args.width == 1 else max(8, args.width // 8 * 8)
        top = (1 << bits) - 1
        if args.value < 0 and args.width == 1:
            raise UsageError("value %d is negative: a bit is 0 or 1" % args.value)
        if args.value < 0:
            raise UsageError("value %d is negative: the client writes the register's %d bits as they are; give "
                             "a negative value as its two's complement (%d for %d)"
                             % (args.value, bits, args.value & top, args.value))
        if args.value > top:
            raise UsageError("value %d does not fit %s: give 0..%d" %
                             (args.value, "a bit" if args.width == 1 else "%d bits" % bits, top))


# File-transfer replies and what they mean.
FXP_REPLIES = {
    150: "ready to receive the file",
    200: "done",
    250: "done",
    257: "directory made",
    450: "file busy, or not a file",
    452: "no space left on the drive",
    500: "command not known",
    501: "bad name or argument",
    550: "not found or not accessible",
    611: "failed (is the card or stick in?)",
    612: "another command was still pending",
    614: "already exists",
    615: "no command pending",
    616: "could not go back to the working directory",
    617: "directory not empty",
    618: "already at the root",
    619: "transfer opened",
    651: "accepted",
    653: "no read transfer active",
}


def fxp_text(code):
    """A reply code with its meaning, e.g. "550 (not found or not accessible)"."""
    meaning = FXP_REPLIES.get(code)
    return "%d (%s)" % (code, meaning) if meaning else "%d" % code


def _refused(code, remote=None):
    text = "refused: %s" % fxp_text(code)
    if code == 550 and remote is not None and remote[:2].upper() == "Z:":
        # The controller upper-cases names, and the configuration flash keeps
        # lower-case ones ("ladder.pgm"): read those with upload instead.
        text += "; names are upper-cased and Z: is case-sensitive: read ladder.pgm with 'upload 0'"
    print(text, file=sys.stderr)
    return 1


SUBCOMMANDS = ("get-mode", "set-mode", "version", "get-id", "download", "upload", "verify", "read-reg", "write-reg",
               "comm-lock", "file-cmd", "file-put", "file-get", "file-list")


def parse_args(argv):
    """The command line as the client takes it (UsageError when it would not)."""
    ap = _Parser(description=__doc__.split("\n\n")[0])
    ap.add_argument("-d", "--device", help="serial device, e.g. /dev/ttyUSB0")
    ap.add_argument("-H", "--host", help="controller's address: the protocol over TCP port 18501")
    ap.add_argument("-b", "--baud", type=int, default=9600, help="baud rate of a serial device (default 9600)")
    ap.add_argument("-s", "--seed", type=_int, default=0, help="OEM checksum seed (default 0)")
    ap.add_argument("-i", "--id", type=_int, default=None, help="target network id (default: ask)")
    ap.add_argument("-f", "--frame", type=_int, default=64,
                    help="data bytes per frame for download/verify/upload (64..1024, negotiated)")
    ap.add_argument("-t", "--timeout", type=float, default=3.0, help="seconds to wait for an answer (default 3)")
    sub = ap.add_subparsers(dest="op", required=True)
    sub.add_parser("get-mode", help="print the controller's mode (0 stop, 2 run)")
    p = sub.add_parser("set-mode", help="change the mode: 0 stop, 1, 2 run, 3, 4")
    p.add_argument("mode", type=_int)
    sub.add_parser("version", help="print the firmware number and version")
    sub.add_parser("get-id", help="print the controller's network id")
    p = sub.add_parser("download", help="write a memory file: 0 program, 4 register set-up, 5 I/O configuration, "
                                        "21 messaging table, 33 MQTT table, ...")
    p.add_argument("type", type=_int)
    p.add_argument("file")
    p = sub.add_parser("upload", help="read a memory file into a local file")
    p.add_argument("type", type=_int)
    p.add_argument("file", help="output file ('-' prints the header)")
    p.add_argument("--header", action="store_true", help="CRC and length only")
    p = sub.add_parser("verify", help="compare a memory file with a local file (status 1 when different)")
    p.add_argument("type", type=_int)
    p.add_argument("file")
    p = sub.add_parser("read-reg", help="print a register: a bit address (32768) or a reference (%%R1)")
    p.add_argument("address", type=_address, help="bit address (e.g. 3136 for %%SR5) or reference (%%SR5)")
    p.add_argument("width", type=_int, nargs="?", default=None,
                   help="bits: 1 for a bit, 16 for a word, 32 for two (default: the reference's, or 16)")
    p = sub.add_parser("write-reg", help="write a register: address, width in bits, value")
    p.add_argument("address", type=_address)
    p.add_argument("width", type=_int)
    p.add_argument("value", type=_int)
    p.add_argument("--unaligned", action="store_true",
                   help="write at a bit address inside a word register (from the byte that holds it)")
    p = sub.add_parser("comm-lock", help="lock (1) or release (0) the port; 0 also applies a new configuration")
    p.add_argument("lock", type=_int)
    p = sub.add_parser("file-cmd", help='a file command line, e.g. "mkd A:\\LOGS"')
    p.add_argument("line")
    p = sub.add_parser("file-put", help="copy a local file to the controller's drives")
    p.add_argument("file")
    p.add_argument("remote", help="e.g. A:\\DATA.BIN")
    p = sub.add_parser("file-get", help="copy a file from the controller's drives")
    p.add_argument("remote")
    p.add_argument("file")
    p = sub.add_parser("file-list", help="list a folder of the controller's drives (default: the working "
                                         "directory, A:\\ until a file-cmd cwd moves it)")
    p.add_argument("pattern", nargs="?", default="",
                   help="a folder (A:\\LOGS) or names in it (A:\\LOGS\\*.CSV); default: the working directory")
    check_options(ap, argv)
    args = ap.parse_args(argv)
    if args.device is not None and args.host is not None:
        raise UsageError("-d %s and -H %s name two ways to the controller: give a serial device (-d) or a host "
                         "(-H), not both" % (args.device, args.host))
    if (args.device is None) == (args.host is None):
        ap.error("give a serial device (-d) or a host (-H)")
    check_args(args)
    return args


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    data = None
    if args.op in ("download", "verify", "file-put"):
        # Read before anything is sent: a file that cannot be read, or an
        # empty one as a memory file, leaves the controller untouched.
        with open(args.file, "rb") as f:
            data = f.read()
        if args.op == "download" and not data:
            raise UsageError("%s is empty: a memory file holds at least one byte; nothing was sent" % args.file)
        if args.op == "download" and is_text(data):
            raise UsageError("%s is text, not a memory file: memory files are binary, written by "
                             "tools/plclist.py (a listing goes through it first) or build/iec_program_writer; "
                             "nothing was sent" % args.file)
        if args.op == "download" and wrong_kind(args.type, data, args.file):
            raise UsageError(wrong_kind(args.type, data, args.file))
    if args.device is not None and os.path.isdir(args.device):
        raise UsageError("%s is a folder, not a serial device: give the programming port, e.g. -d data/sim/port"
                         % args.device)

    if args.host is not None:
        client = TcpPlcClient.open_tcp(args.host, seed=args.seed, target=args.id, timeout=args.timeout)
    else:
        client = PlcClient.open_device(args.device, args.baud, seed=args.seed, target=args.id,
                                       timeout=args.timeout)
    with client as c:
        if sys.stderr.isatty():
            c.progress = _Progress(sys.stderr)

        def negotiate():
            if args.frame != 64:
                c.negotiate(args.frame)
        if args.op == "get-mode":
            print(c.get_mode())
        elif args.op == "set-mode":
            try:
                c.set_mode(args.mode)
            except ProtocolError as e:
                fault = c.read_word(131) & FAULT_FORCE if e.answer == ("byte", NAK) and args.mode else 0
                if not fault:
                    raise
                # A fault keeps the controller stopped: say which.
                print("error: set-mode %d refused: word 131 = 0x%04X: %s" % (args.mode, c.read_word(131),
                                                                            fault_text(fault)), file=sys.stderr)
                return 2
            # A program that cannot run stops the controller at its first
            # scans: look for that before saying nothing.
            deadline = time.monotonic() + 0.5
            mode = c.get_mode()
            while mode == args.mode and 0 < mode <= 4 and time.monotonic() < deadline:
                time.sleep(0.05)
                mode = c.get_mode()
            if mode != args.mode and args.mode <= 4:
                fault = int.from_bytes(c.read_reg(W_FAULT_BIT, 16), "little")
                print("error: set-mode %d acknowledged, but the controller is in mode %d: word 131 = 0x%04X: %s"
                      % (args.mode, mode, fault, fault_text(fault) or "no fault bit set"), file=sys.stderr)
                return 1
        elif args.op == "version":
            num, ver = c.get_version()
            print("firmware %d version %s" % (num, ver))
        elif args.op == "get-id":
            print(c.get_local_id())
        elif args.op == "download":
            before = download_state(c)
            negotiate()
            t0 = time.monotonic()
            _Interrupted.download = args.type
            try:
                c.download(args.type, data, args.frame)
            except ProtocolError as e:
                if not c.download_open:
                    raise
                # Frames went and the controller gave no answer, or a wrong
                # one (another client on the port): the download is cut off.
                plain = _plain(e, sys.argv[1:])
                print("%s: %s" % (plain if plain.startswith("error: download") else
                                  "error: download: " + plain[len("error: "):], cut_off_text(args.type)),
                      file=sys.stderr)
                return 2
            _Interrupted.download = None
            dt = time.monotonic() - t0
            if c.progress is not None:
                c.progress.done()
            status, out, err = judge_download(c, args.type, data, before)
            out[0] = out[0].replace(" bytes;", " bytes in %.2f s;" % dt, 1)
            for ln in out:
                print(ln)
            for ln in err:
                print(ln, file=sys.stderr)
            return status
        elif args.op == "upload":
            negotiate()
            if args.header:
                crc, ln = c.upload(args.type, header=True)
                print("crc 0x%04X length %d" % (crc & 0xFFFF, ln))
            else:
                data = c.upload(args.type)
                if c.progress is not None:
                    c.progress.done()
                with open(args.file, "wb") as f:
                    f.write(data)
                print("%d bytes" % len(data))
        elif args.op == "verify":
            negotiate()
            same = c.verify(args.type, data, args.frame)
            print("same" if same else "different")
            return 0 if same else 1
        elif args.op == "read-reg":
            v = c.read_reg(args.address, args.width)
            print(int.from_bytes(v, "little"))
        elif args.op == "write-reg":
            try:
                c.write_reg(args.address, args.width, args.value)
            except ProtocolError as e:
                why = write_refused(args) if e.answer == ("byte", NAK) else None
                if why is None:
                    raise
                print("error: write-reg: 0x09 refused: %s" % why, file=sys.stderr)
                return 2
        elif args.op == "comm-lock":
            c.comm_lock(args.lock)
            if args.lock == 0:
                # The release applies the I/O configuration the controller
                # holds (file 5): one without the Ethernet module's record
                # leaves the controller without an Ethernet configuration,
                # which is worth a line.
                ids = io_slot_records(c.upload(5))
                if ids is None or ids[2] != ETHERNET_MODULE:
                    print("released; the I/O configuration the controller applied (file 5) holds no Ethernet "
                          "configuration (no record of module 0xFA00 in slot 2), so its Ethernet services (Modbus "
                          "TCP and the others) are off; download one (download 5 FILE), then comm-lock 0 again")
        elif args.op == "file-cmd":
            code, extra = c.fxp(args.line)
            print(fxp_text(code) if extra is None else "%s %d" % (fxp_text(code), extra))
            return 0 if code < 500 or code == 619 else 1
        elif args.op in ("file-put", "file-get", "file-list"):
            negotiate()
            if args.op == "file-put":
                code, _ = c.fxp('stor "%s"' % args.remote)
                if code != 150:
                    return _refused(code)
                c.fxp_write(data)
                if c.progress is not None:
                    c.progress.done()
                print("%d bytes" % len(data))
            else:
                if args.op == "file-list":
                    # A listing of a folder that does not exist is as empty as
                    # that of an empty one: the folder is looked for in its
                    # parent's listing first (a cwd would move the working
                    # directory, which the controller keeps between calls).
                    folder = listed_folder(args.pattern)
                    if not folder_exists(c, folder):
                        print("error: %s: no such folder on the controller's drives" % folder, file=sys.stderr)
                        return 1
                line = 'retr "%s"' % args.remote if args.op == "file-get" else "list %s" % args.pattern
                code, extra = c.fxp(line.strip())
                if code != 619:
                    return _refused(code, args.remote if args.op == "file-get" else None)
                data = c.fxp_read()
                if c.progress is not None:
                    c.progress.done()
                if args.op == "file-get":
                    with open(args.file, "wb") as f:
                        f.write(data)
                    print("%d bytes" % len(data))
                else:
                    sys.stdout.write(data.decode("latin-1"))
                    if not data:
                        print("%s holds no files" % (listed_folder(args.pattern) or "the working directory"),
                              file=sys.stderr)
    return 0


def listed_folder(pattern):
    """The folder a file-list pattern names: itself, or the part before the
    last separator when the last part has a wildcard; "" for the default."""
    if not pattern:
        return ""
    last = re.split(r"[\\/]", pattern)[-1]
    if "*" in last or "?" in last:
        return pattern[:len(pattern) - len(last)] or ""
    return pattern


def folder_exists(c, folder):
    """True when the folder (or a file of that name) is in its parent's
    listing; a drive's top folder and the working directory always are."""
    name = folder.rstrip("\\/")
    if name == "" or re.fullmatch(r"[A-Za-z]:", name):
        return True
    cut = max(name.rfind("\\"), name.rfind("/"))
    parent, last = (name[:cut + 1], name[cut + 1:]) if cut >= 0 else \
        ((name[:2], name[2:]) if re.match(r"[A-Za-z]:", name) else ("", name))
    code, _ = c.fxp(("list %s" % parent).strip())
    if code != 619:
        return False
    # Listing lines: type letter, name, size, time, date, attributes.
    folders = re.findall(r"^[DF] (.+) \d+ \S+ \S+ \S+\r?$", c.fxp_read().decode("latin-1"), re.M)
    return last.upper() in (f.upper() for f in folders)


class _Interrupted:
    download = None   # the file type of a download under way


class _Progress:
    """Bytes moved so far, on one line of a terminal, at most ten times a second."""

    def __init__(self, out):
        self.out = out
        self.last = 0.0
        self.shown = False

    active = None   # the one showing a line now

    def __call__(self, done, total):
        now = time.monotonic()
        if now - self.last < 0.1 or done == 0:
            return
        self.last = now
        self.shown = True
        _Progress.active = self
        if total:
            self.out.write("\r%d of %d bytes (%d%%)   " % (done, total, 100 * done // total))
        else:
            self.out.write("\r%d bytes   " % done)
        self.out.flush()

    def done(self):
        if self.shown:
            self.out.write("\r\033[K")
            self.out.flush()
            self.shown = False


def cut_off_text(ftype):
    """What the controller holds after a download cut off half-way."""
    return ("the download of file %s was cut off half-way; the controller gives it up after its frame time-out "
            "and holds what it held before: its stored files, unchanged (in run mode, what the file was "
            "replacing); download the file again" % file_label(ftype))


def _plain(e, argv):
    """One line for a failure, saying what to try."""
    where = "the controller"
    op = next((a for a in argv if a in SUBCOMMANDS), "the request")
    for i, a in enumerate(argv):
        if a in ("-d", "--device", "-H", "--host") and i + 1 < len(argv):
            where = argv[i + 1]
    if isinstance(e, UsageError):
        return "error: %s" % e
    if where.rstrip("/").endswith("dev/ttySP0") and isinstance(e, ProtocolError):
        # The run command's pair: the controller holds dev/ttySP0, tools the other end.
        return "error: no answer on %s, the controller's own end of the port's pair: give the other end, " \
               "-d %s" % (where, where.rstrip("/")[:-len("dev/ttySP0")] + "sim/port")
    if isinstance(e, Timeout):
        given = next((argv[i + 1] for i, a in enumerate(argv[:-1]) if a in ("-i", "--id")), None)
        if given is not None:
            return ("error: no answer from %s (%s): is the controller running, the port right, and its network "
                    "id %s? Leave -i out to ask the controller for its id" % (where, e, given))
        return "error: no answer from %s (%s): is the controller running and the port right?" % (where, e)
    if isinstance(e, ProtocolError):
        ans = getattr(e, "answer", None)
        if isinstance(ans, tuple) and len(ans) == 2 and ans[0] == "byte":
            return "error: %s: %s" % (op, answer_text(e, op))
        return "error: %s" % e
    if isinstance(e, ConnectionRefusedError):
        return "error: %s refused the connection: is the controller running, and listening there? (a controller " \
               "whose console says \"Ethernet: the network side did not start\" has its network side off)" % where
    if isinstance(e, FileNotFoundError) and e.filename is not None and e.filename == where:
        return "error: %s does not exist: the controller may not be running (./tools/setup.sh run makes " \
               "$PLC_ROOT/sim/port and prints it), or the path is wrong" % e.filename
    if isinstance(e, FileNotFoundError) and e.filename is not None:
        return "error: %s does not exist: check the file name" % e.filename
    if isinstance(e, socket.gaierror):
        return "error: %s is not an address or a host name this machine knows (%s): give the controller's " \
               "address, e.g. -H 10.77.0.2" % (where, e.strerror or e)
    if isinstance(e, OSError) and e.errno == errno.ENETUNREACH:
        return ("error: %s: network is unreachable: this machine has no route to that address; is it the "
                "controller's, and is the controller in a network namespace (run the client there with ip netns "
                "exec)?" % where)
    if isinstance(e, (socket.timeout, TimeoutError)):
        return "error: %s did not answer in time: is the controller running, and the address right?" % where
    return "error: %s" % (e.strerror or e) if isinstance(e, OSError) else "error: %s" % e


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (ProtocolError, OSError, UsageError) as e:
        if _Progress.active is not None:
            _Progress.active.done()   # the error on a line of its own
        print(_plain(e, sys.argv[1:]), file=sys.stderr)
        sys.exit(2)
    except termios.error:
        print("error: %s is not a serial device or pseudo-terminal: check the path" % (sys.argv[sys.argv.index("-d") + 1]
              if "-d" in sys.argv[:-1] else "the device"), file=sys.stderr)
        sys.exit(2)
    except KeyboardInterrupt:
        if _Progress.active is not None:
            _Progress.active.done()
        if _Interrupted.download is not None:
            print("interrupted: " + cut_off_text(_Interrupted.download), file=sys.stderr)
        else:
            print("interrupted", file=sys.stderr)
        sys.exit(130)
    except Exception as e:  # noqa: BLE001 - never a traceback for a user
        print("error: %s: %s" % (type(e).__name__, e), file=sys.stderr)
        sys.exit(2)
