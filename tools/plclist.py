#!/usr/bin/python3
"""Turns an annotated listing into a file to download with tools/plcclient.py.

    tools/plclist.py ladder   examples/first_program.lst    examples/first_program.bin
    tools/plclist.py ethernet examples/ethernet_modbus.lst  examples/ethernet_modbus.bin

A listing is a stream of words written out: numbers (decimal or 0x
hexadecimal), register references and, in Ethernet listings, dotted IPv4
addresses, separated by blanks; ';' starts a comment that runs to the end of
the line. A reference is written as the controller names it and becomes its
bit address (16-bit register layout; the README's table of references):

    %IG n  1024 + n - 1 (256)        %QG n  1280 + n - 1 (256)
    %S n   1536 + n - 1 (256)        %K n   1792 + n - 1 (256)
    %AIG n 2048 + 16 (n - 1) (32)    %AQG n 2560 + 16 (n - 1) (32)
    %SR n  3072 + 16 (n - 1) (192)   %F n   6144 + 16 (n - 1) (128)
    %I n   8192 + n - 1 (2048)       %Q n   10240 + n - 1 (2048)
    %T n   12288 + n - 1 (2048)      %M n   14336 + n - 1 (2048)
    %AI n  16384 + 16 (n - 1) (512)  %AQ n  24576 + 16 (n - 1) (512)
    %R n   32768 + 16 (n - 1) (50240)
    %ET n  0x10008000 + n - 1 (16384)   %EM n  0x1001C000 + n - 1 (16384)
    %ESR n 0x10030000 + 16 (n - 1) (256)

A number past the type's count (in brackets) is an error, as is a reference
whose address does not fit the listing's word.

ladder: 16-bit words. A reference standing where an instruction is expected
is a contact, 38 followed by a bit reference is a coil (50 positive
transition, 51 negative transition, 52 set, 53 reset, 54 negated), 201 (up counter) takes
a bit reference (reset), a register (the counter's block) and a preset, 9 ends
the program and must be its last word; a line "features N" sets the editor
feature word (bit 1: the application has a messaging table). The file is what file type 0 holds:
the words little-endian, the editor features (bit 15 set: 16-bit layout) and
five trailer bytes.

ethernet: 32-bit words of the Ethernet configuration block: address and mask,
then tagged records, each followed by two words 0; a 0 where a record tag
would be ends the block and must be its last word. In the Modbus record (tag
0x01000000) with flag 0x40000 the mode and port follow the flags; the port
is at most 65535. A dotted address is the 32-bit number whose first byte is
the most significant. The file is an I/O configuration (file type 5) whose
slots 0 and 1 are empty (0xFFFF) and whose slot 2 (module id 0xFA00) holds
the block with its length word in front.

table: the bytes of any memory file (the messaging table, file type 21; the
MQTT table, file type 33; ...), laid out field by field:

    u8 / u16 / u32      the size of the numbers that follow (u32 at the start)
    NAME:               a label: the offset of the next byte in the file
    @NAME               a label's offset; @A-@B, @A+4 and the like: sums and
                        differences of labels and numbers
    "text"              the text's bytes (\\r \\n \\t \\" \\\\ escapes), no terminator
    zeros N             N bytes 0
    file PATH           the bytes of a file (PATH from the current folder)

Numbers must fit the size in force; a label used but not defined, or defined
twice, is an error.

Every error names the line of the listing it was found on.
"""

import re
import socket
import struct
import sys

# type: (bit address of number 1, bits per element, count)
BASES = {"IG": (1024, 1, 256), "QG": (1280, 1, 256), "S": (1536, 1, 256), "K": (1792, 1, 256),
         "AIG": (2048, 16, 32), "AQG": (2560, 16, 32), "SR": (3072, 16, 192), "F": (6144, 16, 128),
         "I": (8192, 1, 2048), "Q": (10240, 1, 2048), "T": (12288, 1, 2048), "M": (14336, 1, 2048),
         "AI": (16384, 16, 512), "AQ": (24576, 16, 512), "R": (32768, 16, 50240),
         "ET": (0x10008000, 1, 16384), "EM": (0x1001C000, 1, 16384), "ESR": (0x10030000, 16, 256)}
REFERENCE = re.compile(r"^%(" + "|".join(sorted(BASES, key=len, reverse=True)) + r")(\d+)$", re.IGNORECASE)
DOTTED = re.compile(r"^\d+\.\d+\.\d+\.\d+$")


def value_of(token, bits):
    m = REFERENCE.match(token)
    if m:
        kind = m.group(1).upper()
        base, step, count = BASES[kind]
        n = int(m.group(2))
        if n < 1:
            raise ValueError("register numbers start at 1: %s" % token)
        if n > count:
            raise ValueError("%s is past the end of %%%s (%%%s1 .. %%%s%d)" % (token, kind, kind, kind, count))
        v = base + step * (n - 1)
        if v >= (1 << bits):
            raise ValueError("%s is bit address 0x%X, which does not fit a %d-bit word" % (token, v, bits))
        return v
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


class Word(int):
    """A listing word with the line and token it came from."""

    def __new__(cls, value, line, token):
        w = int.__new__(cls, value)
        w.line, w.token = line, token
        return w

    def is_bit_ref(self):
        m = REFERENCE.match(self.token)
        return m is not None and BASES[m.group(1).upper()][1] == 1

    def is_reg_ref(self):
        m = REFERENCE.match(self.token)
        return m is not None and BASES[m.group(1).upper()][1] == 16


def words_of(text, bits):
    out = []
    last = 0
    for number, line in enumerate(text.splitlines(), 1):
        last = number
        for token in line.split(";", 1)[0].split():
            try:
                out.append(Word(value_of(token, bits), number, token))
            except ValueError as e:
                raise ValueError("line %d: %s" % (number, e)) from None
    return out, last


# Instruction words a listing writes with their operands: what each operand is.
LADDER_OPERANDS = {38: ("coil", ["bit"]), 50: ("positive-transition coil", ["bit"]),
                   51: ("negative-transition coil", ["bit"]), 52: ("set coil", ["bit"]),
                   53: ("reset coil", ["bit"]), 54: ("negated coil", ["bit"]),
                   201: ("up counter", ["bit", "register", "value"])}
LADDER_END = 9


def check_ladder(words, last_line):
    i = 0
    while i < len(words):
        w = words[i]
        if w.is_bit_ref():          # a contact
            i += 1
            continue
        if w == LADDER_END and not REFERENCE.match(w.token):
            if i != len(words) - 1:
                raise ValueError("line %d: words after the end word %d (line %d): end the program last"
                                 % (words[i + 1].line, LADDER_END, w.line))
            return
        name, kinds = LADDER_OPERANDS.get(int(w), (None, []))
        for k, kind in enumerate(kinds):
            at = i + 1 + k
            if at >= len(words):
                raise ValueError("line %d: %d (%s) is missing operand %d (%s): the listing ends"
                                 % (w.line, w, name, k + 1, "a value" if kind == "value" else
                                    "a %s reference" % kind))
            op = words[at]
            if (kind == "bit" and not op.is_bit_ref()) or (kind == "register" and not op.is_reg_ref()):
                raise ValueError("line %d: %d (%s) is missing operand %d: %s where a %s reference belongs"
                                 % (op.line, w, name, k + 1, op.token, kind))
        i += 1 + len(kinds)
    raise ValueError("line %d: the program has no end word: write %d as its last word" % (last_line, LADDER_END))


MODBUS_TAG, MODBUS_MODE_PORT = 0x01000000, 0x40000


def check_ethernet(words, last_line):
    if len(words) < 2:
        raise ValueError("line %d: the block starts with the address and the mask" % last_line)
    i = 2
    while i < len(words):
        tag = words[i]
        if tag == 0:
            if i != len(words) - 1:
                raise ValueError("line %d: words after the end word 0 (line %d): end the block last"
                                 % (words[i + 1].line, tag.line))
            return
        if tag == MODBUS_TAG and i + 3 < len(words) and words[i + 1] & MODBUS_MODE_PORT:
            port = words[i + 3]
            if port > 0xFFFF:
                raise ValueError("line %d: port %d is over 65535" % (port.line, port))
        # The record runs to its two words 0.
        j = i + 1
        while j + 1 < len(words) and not (words[j] == 0 and words[j + 1] == 0):
            j += 1
        if j + 1 >= len(words):
            raise ValueError("line %d: the record of tag 0x%08X (line %d) has no end: write two words 0 after it"
                             % (last_line, tag, tag.line))
        i = j + 2
    raise ValueError("line %d: the block has no end word: write 0 where the next record tag would be"
                     % last_line)


TABLE_TOKEN = re.compile(r'"(?:[^"\\]|\\.)*"|[^\s"]+')
ESCAPES = {"r": "\r", "n": "\n", "t": "\t", '"': '"', "\\": "\\"}
TERM = re.compile(r"([+-]?)(@\w+|0x[0-9a-fA-F]+|\d+)")


def table_file(text):
    """Two passes over the fields: labels first, then the bytes."""
    items = []   # (line, kind, value)
    for number, line in enumerate(text.splitlines(), 1):
        body = line
        # A ';' inside a quoted text is text.
        out, quoted, i = "", False, 0
        while i < len(body):
            c = body[i]
            if c == "\\" and quoted and i + 1 < len(body):
                out += body[i:i + 2]
                i += 2
                continue
            if c == '"':
                quoted = not quoted
            elif c == ";" and not quoted:
                break
            out += c
            i += 1
        if quoted:
            raise ValueError("line %d: a text without its closing quote" % number)
        for tok in TABLE_TOKEN.findall(out):
            items.append((number, tok))
    # A listing of another kind parses as a table of bare numbers: a table
    # without any table field that is a whole ladder or Ethernet listing is
    # refused, naming the kind it is.
    if not any(tok in ("u8", "u16", "u32", "zeros", "file") or tok.endswith(":") or tok.startswith('"')
               for _, tok in items):
        for kind, name, build in (("ladder", "a ladder", ladder_file), ("ethernet", "an Ethernet", ethernet_file)):
            try:
                build(text)
            except ValueError:
                continue
            raise ValueError("line 1: this is %s listing, not a table (it has no u8/u16/u32, label, text, "
                             "zeros or file field): use tools/plclist.py %s" % (name, kind))
    labels, size, pos, layout = {}, 4, 0, []
    it = iter(range(len(items)))
    for k in it:
        number, tok = items[k]

        def operand():
            nxt = next(it, None)
            if nxt is None or items[nxt][0] != number:
                raise ValueError("line %d: %s needs an operand" % (number, tok))
            return items[nxt][1]
        if tok in ("u8", "u16", "u32"):
            size = int(tok[1:]) // 8
        elif tok.endswith(":") and re.fullmatch(r"\w+:", tok):
            name = tok[:-1]
            if name in labels:
                raise ValueError("line %d: label %s defined twice" % (number, name))
            labels[name] = pos
        elif tok.startswith('"'):
            raw = tok[1:-1]
            textout = re.sub(r"\\(.)", lambda m: ESCAPES.get(m.group(1), m.group(0)), raw)
            data = textout.encode("latin-1")
            layout.append((number, "bytes", data))
            pos += len(data)
        elif tok == "zeros":
            arg = operand()
            try:
                n = int(arg, 0)
            except ValueError:
                raise ValueError("line %d: zeros takes a count, not %s" % (number, arg)) from None
            layout.append((number, "bytes", bytes(n)))
            pos += n
        elif tok == "file":
            path = operand()
            try:
                with open(path, "rb") as f:
                    data = f.read()
            except OSError as e:
                raise ValueError("line %d: %s: %s" % (number, path, e.strerror)) from None
            layout.append((number, "bytes", data))
            pos += len(data)
        else:
            layout.append((number, "value", (tok, size)))
            pos += size
    out = bytearray()
    for number, kind, v in layout:
        if kind == "bytes":
            out += v
            continue
        tok, size = v
        if "@" in tok:
            if not re.fullmatch(r"(%s)+" % TERM.pattern, tok) or tok[0] in "+-":
                raise ValueError("line %d: not a sum of labels and numbers: %s" % (number, tok))
            value = 0
            for sign, term in TERM.findall(tok):
                if term.startswith("@"):
                    if term[1:] not in labels:
                        raise ValueError("line %d: label %s is not defined" % (number, term[1:]))
                    t = labels[term[1:]]
                else:
                    t = int(term, 0)
                value += -t if sign == "-" else t
        else:
            try:
                value = value_of(tok, 32)
            except ValueError as e:
                raise ValueError("line %d: %s" % (number, e)) from None
        if not 0 <= value < (1 << (8 * size)):
            raise ValueError("line %d: %s does not fit u%d" % (number, tok, 8 * size))
        out += value.to_bytes(size, "little")
    return bytes(out)


FEATURES_16BIT = 0x8000   # editor feature bit 15: the 16-bit register layout


def ladder_file(text):
    # A line "features N" sets the editor feature word (bit 1: a messaging
    # table is part of the application; bit 15, the 16-bit layout, is always set).
    features = FEATURES_16BIT
    lines = text.splitlines()
    for number, line in enumerate(lines, 1):
        tokens = line.split(";", 1)[0].split()
        if tokens[:1] == ["features"]:
            if len(tokens) != 2:
                raise ValueError("line %d: features takes one number" % number)
            try:
                features = int(tokens[1], 0) | FEATURES_16BIT
            except ValueError:
                raise ValueError("line %d: not a number: %s" % (number, tokens[1])) from None
            if features >= 1 << 32:
                raise ValueError("line %d: the feature word has 32 bits: %s" % (number, tokens[1]))
            lines[number - 1] = ""
    words, last = words_of("\n".join(lines), 16)
    check_ladder(words, last)
    return b"".join(struct.pack("<H", w) for w in words) + struct.pack("<I", features) + bytes(5)


def ethernet_file(text):
    words, last = words_of(text, 32)
    check_ethernet(words, last)
    body = b"".join(struct.pack("<I", w) for w in words)
    block = struct.pack("<I", 4 + len(body)) + body
    if len(block) > 0xFFFF:
        raise ValueError("the block is longer than a slot holds")
    data = b"\xff\xff\xff\xff" + struct.pack("<HH", 0xFA00, len(block)) + block
    return data + bytes(-len(data) % 4)


def main(argv):
    kinds = {"ladder": ladder_file, "ethernet": ethernet_file, "table": table_file}
    if len(argv) == 2 and argv[1] in ("-h", "--help"):
        print("usage: %s ladder|ethernet|table LISTING OUTPUT\n%s" % (argv[0], __doc__))
        return 0
    if len(argv) != 4 or argv[1] not in kinds:
        print("usage: %s ladder|ethernet|table LISTING OUTPUT" % argv[0], file=sys.stderr)
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
