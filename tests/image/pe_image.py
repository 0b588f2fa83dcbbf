#!/usr/bin/env python3
"""PE image helper for check_image.sh.

  pe_image.py check IMAGE        check the message table resource and that the
                                 CheckSum is the image's; one line per fault, exit 1
  pe_image.py mutate KIND IN OUT write a copy of IN with one fault (self-test)

Only the standard library: the check must run wherever the host tests run.
"""
import struct
import sys

RT_MESSAGETABLE = 11
MESSAGE_TABLE_NAME = 1
LANG_EN_US = 1033
EXPECTED_MESSAGES = {0x60070001: "%2\r\n", 0xA0070002: "%2\r\n", 0xE0070003: "%2\r\n"}


class Malformed(Exception):
    pass


class Pe:
    def __init__(self, data):
        self.data = bytearray(data)
        d = self.data
        if len(d) < 0x40 or d[:2] != b"MZ":
            raise Malformed("no MZ header")
        self.nt = self.u32(0x3C)
        if d[self.nt:self.nt + 4] != b"PE\0\0":
            raise Malformed("no PE signature")
        self.fh = self.nt + 4
        self.nsections = self.u16(self.fh + 2)
        self.symtab = self.u32(self.fh + 8)
        self.nsymbols = self.u32(self.fh + 12)
        opt_size = self.u16(self.fh + 16)
        self.opt = self.fh + 20
        if self.u16(self.opt) != 0x20B:
            raise Malformed("not PE32+")
        self.checksum_off = self.opt + 64
        self.subsystem_off = self.opt + 68
        self.entry_off = self.opt + 16
        self.characteristics_off = self.fh + 18
        self.ndirs = self.u32(self.opt + 108)
        self.dirs_off = self.opt + 112
        self.sections = []
        sh = self.opt + opt_size
        for i in range(self.nsections):
            o = sh + 40 * i
            name = bytes(d[o:o + 8]).rstrip(b"\0").decode("ascii", "replace")
            vsize, va, rawsize, rawptr = struct.unpack_from("<IIII", d, o + 8)
            self.sections.append((name, va, max(vsize, rawsize), rawptr, rawsize))

    def u16(self, o):
        return self.read("<H", o)

    def u32(self, o):
        return self.read("<I", o)

    def read(self, fmt, o):
        try:
            return struct.unpack_from(fmt, self.data, o)[0]
        except struct.error:
            raise Malformed(f"read past the end of the file at {o:#x}")

    def put32(self, o, v):
        struct.pack_into("<I", self.data, o, v & 0xFFFFFFFF)

    def directory(self, index):
        if index >= self.ndirs:
            return 0, 0
        return self.u32(self.dirs_off + 8 * index), self.u32(self.dirs_off + 8 * index + 4)

    def section_of(self, rva):
        for s in self.sections:
            if s[1] <= rva < s[1] + s[2]:
                return s
        return None

    def offset(self, rva):
        s = self.section_of(rva)
        if s is None or rva - s[1] >= s[4]:
            raise Malformed(f"RVA {rva:#x} is not backed by file data")
        return s[3] + rva - s[1]

    def computed_checksum(self):
        d = self.data
        padded = bytes(d) + (b"\0" if len(d) % 2 else b"")
        words = struct.unpack(f"<{len(padded) // 2}H", padded)
        skip = self.checksum_off // 2
        total = sum(words) - words[skip] - words[skip + 1]
        while total >> 16:
            total = (total & 0xFFFF) + (total >> 16)
        return (total + len(d)) & 0xFFFFFFFF

    def fix_checksum(self):
        self.put32(self.checksum_off, self.computed_checksum())

    # --- resources ---------------------------------------------------------
    def resource_root(self):
        rva, size = self.directory(2)
        if rva == 0 or size == 0:
            raise Malformed("the image has no resource directory")
        s = self.section_of(rva)
        if s is None or s[0] != ".rsrc":
            raise Malformed("the resource directory is not in a .rsrc section")
        return rva

    def resource_entries(self, root, dir_rva):
        o = self.offset(dir_rva)
        named, ids = self.u16(o + 12), self.u16(o + 14)
        for i in range(named + ids):
            name, target = struct.unpack_from("<II", self.data, o + 16 + 8 * i)
            is_dir = bool(target & 0x80000000)
            yield (None if name & 0x80000000 else name), is_dir, root + (target & 0x7FFFFFFF), o + 16 + 8 * i

    def find_resource(self, type_id, name_id, lang):
        """Returns (data RVA, size, file offset of the language entry) or raises."""
        root = self.resource_root()
        path = [("type", type_id), ("name", name_id), ("language", lang)]
        level = root
        for depth, (what, want) in enumerate(path):
            for ident, is_dir, target, entry_off in self.resource_entries(root, level):
                if ident == want:
                    if is_dir != (depth < 2):
                        raise Malformed(f"resource {what} {want}: wrong entry kind")
                    level = target
                    break
            else:
                raise Malformed(f"no resource with {what} {want} (path {path[:depth + 1]})")
        o = self.offset(level)
        return self.u32(o), self.u32(o + 4), entry_off

    def message_table(self):
        rva, size, _ = self.find_resource(RT_MESSAGETABLE, MESSAGE_TABLE_NAME, LANG_EN_US)
        base = self.offset(rva)
        end = base + size
        if end > len(self.data):
            raise Malformed("message table runs past the end of the file")
        messages = {}
        blocks = []
        for i in range(self.u32(base)):
            low, high, entries = struct.unpack_from("<III", self.data, base + 4 + 12 * i)
            if high < low or high - low > 0xFFFF:
                raise Malformed(f"message block {low:#x}..{high:#x} is not a range")
            blocks.append((low, high, base + 4 + 12 * i))
            o = base + entries
            for msg_id in range(low, high + 1):
                if o + 4 > end:
                    raise Malformed(f"message {msg_id:#x} lies outside the table")
                length, flags = struct.unpack_from("<HH", self.data, o)
                if length < 4 or o + length > end:
                    raise Malformed(f"message {msg_id:#x} has a bad length {length}")
                messages[msg_id] = (flags, bytes(self.data[o + 4:o + length]), o)
                o += length
        return messages, blocks


def check_messages(pe):
    faults = []
    messages, _ = pe.message_table()
    for msg_id, text in sorted(EXPECTED_MESSAGES.items()):
        if msg_id not in messages:
            faults.append(f"message {msg_id:#010x} is missing")
            continue
        flags, raw, _ = messages[msg_id]
        if flags != 1:
            faults.append(f"message {msg_id:#010x} is not UTF-16 (flags {flags})")
            continue
        if len(raw) % 2:
            faults.append(f"message {msg_id:#010x} has an odd UTF-16 length")
            continue
        decoded = raw.decode("utf-16-le", "replace")
        body = decoded.rstrip("\0")
        if body != text:
            faults.append(f"message {msg_id:#010x} reads {body!r}, not {text!r}")
    extra = sorted(set(messages) - set(EXPECTED_MESSAGES))
    if extra:
        faults.append("unexpected messages " + ", ".join(f"{m:#010x}" for m in extra))
    return faults


# --- self-test faults --------------------------------------------------------
def rename_import(pe):
    rva, _ = pe.directory(1)
    o = pe.offset(rva)
    last = None
    while pe.u32(o + 12):
        last = pe.offset(pe.u32(o + 12))
        o += 20
    if last is None:
        raise Malformed("no imports to rename")
    pe.data[last] = ord("X")


def rename_symbol(pe, old, new):
    assert len(old) == len(new)
    strtab = pe.symtab + 18 * pe.nsymbols
    at = pe.data.find(old + b"\0", strtab)
    if pe.symtab == 0 or at < 0:
        raise Malformed(f"symbol {old!r} not in the string table")
    pe.data[at:at + len(new)] = new


def long_symbol(pe, min_len):
    strtab = pe.symtab + 18 * pe.nsymbols
    size = pe.u32(strtab)
    for name in bytes(pe.data[strtab + 4:strtab + size]).split(b"\0"):
        if len(name) >= min_len and name != b"DriverEntry":
            return name
    raise Malformed("no long symbol name to rename")


def mutate(kind, pe):
    fix = True
    if kind == "import":
        rename_import(pe)
    elif kind == "file-import":
        pe.data[:] = bytes(pe.data).replace(b"ZwReadFile\0", b"ZwReadFilf\0")
    elif kind == "subsystem":
        pe.data[pe.subsystem_off] = 2  # Windows GUI
    elif kind == "entry":
        pe.put32(pe.entry_off, pe.u32(pe.entry_off) + 1)
    elif kind == "relocs-stripped":
        pe.data[pe.characteristics_off] |= 0x01
    elif kind == "checksum-zero":
        pe.put32(pe.checksum_off, 0)
        fix = False
    elif kind == "checksum-stale":
        pe.put32(pe.checksum_off, pe.computed_checksum() + 1)
        fix = False
    elif kind == "no-driverentry":
        rename_symbol(pe, b"DriverEntry", b"DriverEntrx")
    elif kind == "static-ctor":
        name = long_symbol(pe, 16)
        rename_symbol(pe, name, b"_GLOBAL__sub_I_" + name[15:])
    elif kind == "rsrc-dir":
        pe.put32(pe.dirs_off + 8 * 2, 0)
        pe.put32(pe.dirs_off + 8 * 2 + 4, 0)
    elif kind == "msg-lang":
        _, _, entry = pe.find_resource(RT_MESSAGETABLE, MESSAGE_TABLE_NAME, LANG_EN_US)
        pe.put32(entry, 1031)
    elif kind == "msg-id":
        _, blocks = pe.message_table()
        low, high, o = blocks[-1]
        pe.put32(o, low + 0x10)
        pe.put32(o + 4, high + 0x10)
    elif kind == "msg-text":
        messages, _ = pe.message_table()
        _, raw, o = messages[max(messages)]
        pe.data[o + 4 + 2] = ord("1")  # "%2" -> "%1"
    elif kind == "msg-tail":
        messages, _ = pe.message_table()
        _, raw, o = messages[min(messages)]
        tail = len(raw.decode("utf-16-le").rstrip("\0")) * 2
        if tail + 2 > len(raw):
            raise Malformed("no padding to write into")
        pe.data[o + 4 + tail] = ord(" ")  # "%2\r\n" -> "%2\r\n "
    elif kind == "msg-ansi":
        messages, _ = pe.message_table()
        pe.data[messages[min(messages)][2] + 2] = 0
    else:
        raise SystemExit(f"unknown fault {kind}")
    if fix:
        pe.fix_checksum()


def main(argv):
    if len(argv) == 3 and argv[1] == "check":
        faults = []
        try:
            pe = Pe(open(argv[2], "rb").read())
            stored, computed = pe.u32(pe.checksum_off), pe.computed_checksum()
            if stored not in (0, computed):  # 0 is the caller's to report
                faults.append(f"CheckSum {stored:#010x} does not match the image ({computed:#010x})")
            try:
                faults += ["message table: " + f for f in check_messages(pe)]
            except Malformed as e:
                faults.append(f"message table: {e}")
        except (Malformed, OSError) as e:
            faults.append(str(e))
        for f in faults:
            print(f)
        return 1 if faults else 0
    if len(argv) == 5 and argv[1] == "mutate":
        pe = Pe(open(argv[3], "rb").read())
        mutate(argv[2], pe)
        open(argv[4], "wb").write(pe.data)
        return 0
    print(__doc__.strip(), file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
