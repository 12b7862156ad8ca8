#!/usr/bin/python3
"""Turns an annotated listing into a file to download with tools/plcclient.py.

    tools/plclist.py ladder   examples/first_program.lst    examples/first_program.bin
    tools/plclist.py ethernet examples/ethernet_modbus.lst  examples/ethernet_modbus.bin

A listing is a stream of words written out: numbers (decimal or 0x
hexadecimal), register references and, in Ethernet listings, dotted IPv4
addresses, separated by blanks; ';' starts a comment that runs to the end of
the line. A reference is written as the controller names it and becomes its
bit address (16-bit register layout):

    %I n   8192 + n - 1        %Q n   10240 + n - 1       %T n  12288 + n - 1
    %M n   14336 + n - 1       %S n   1536 + n - 1        %R n  32768 + 16 (n - 1)
    %AI n  16384 + 16 (n - 1)  %AQ n  24576 + 16 (n - 1)  %SR n 3072 + 16 (n - 1)

ladder: 16-bit words. A reference standing where an instruction is expected
is a contact, 38 followed by a reference is a coil, 9 ends the program. The
file is what file type 0 holds: the words little-endian, the editor features
(bit 15 set: 16-bit layout) and five trailer bytes.

ethernet: 32-bit words of the Ethernet configuration block: address and mask,
then tagged records, each followed by two words 0; a 0 where a record tag
would be ends the block. A dotted address is the 32-bit number whose first
byte is the most significant. The file is an I/O configuration (file type 5)
whose slots 0 and 1 are empty (0xFFFF) and whose slot 2 (module id 0xFA00)
holds the block with its length word in front.
"""

import re
import socket
import struct
import sys

BASES = {"I": (8192, 1), "Q": (10240, 1), "T": (12288, 1), "M": (14336, 1), "S": (1536, 1),
         "R": (32768, 16), "AI": (16384, 16), "AQ": (24576, 16), "SR": (3072, 16)}
REFERENCE = re.compile(r"^%(AI|AQ|SR|I|Q|T|M|S|R)(\d+)$", re.IGNORECASE)
DOTTED = re.compile(r"^\d+\.\d+\.\d+\.\d+$")


def value_of(token, bits):
    m = REFERENCE.match(token)
    if m:
        base, step = BASES[m.group(1).upper()]
        n = int(m.group(2))
        if n < 1:
            raise ValueError("register numbers start at 1: %s" % token)
        return base + step * (n - 1)
    if bits == 32 and DOTTED.match(token):
        try:
            return struct.unpack(">I", socket.inet_aton(token))[0]
        except OSError:
            raise ValueError("not an address: %s" % token) from None
    try:
        v = int(token, 0)
    except ValueError:
        raise ValueError("not a number or a reference: %s" % token) from None
    if not 0 <= v < (1 << bits):
        raise ValueError("not a %d-bit word: %s" % (bits, token))
    return v


def words_of(text, bits):
    out = []
    for number, line in enumerate(text.splitlines(), 1):
        for token in line.split(";", 1)[0].split():
            try:
                out.append(value_of(token, bits))
            except ValueError as e:
                raise ValueError("line %d: %s" % (number, e)) from None
    return out


def ladder_file(text):
    words = words_of(text, 16)
    return b"".join(struct.pack("<H", w) for w in words) + struct.pack("<I", 0x8000) + bytes(5)


def ethernet_file(text):
    words = words_of(text, 32)
    body = b"".join(struct.pack("<I", w) for w in words)
    block = struct.pack("<I", 4 + len(body)) + body
    if len(block) > 0xFFFF:
        raise ValueError("the block is longer than a slot holds")
    data = b"\xff\xff\xff\xff" + struct.pack("<HH", 0xFA00, len(block)) + block
    return data + bytes(-len(data) % 4)


def main(argv):
    kinds = {"ladder": ladder_file, "ethernet": ethernet_file}
    if len(argv) != 4 or argv[1] not in kinds:
        print("usage: %s ladder|ethernet LISTING OUTPUT" % argv[0], file=sys.stderr)
        return 2
    try:
        with open(argv[2]) as f:
            data = kinds[argv[1]](f.read())
        with open(argv[3], "wb") as f:
            f.write(data)
    except (OSError, ValueError) as e:
        print("plclist: %s" % e, file=sys.stderr)
        return 1
    print("%d bytes" % len(data))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
