#!/usr/bin/env python3
"""Writes the fuzz target's seed corpus: one input per message form of the
tool and per edge of the platform's answers, in the layout that decode.cpp
reads. Run it from anywhere; it rewrites tests/fuzz/corpus/."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, 'corpus')

INSTALL, STARTUP, MAP, UNMAP, STATUS = range(5)


def word(n):
    return struct.pack('<I', n & 0xFFFFFFFF)


class Repeat:
    """A text of one byte repeated: decoded from 0xF8, the byte, a u16 count."""

    def __init__(self, char, count):
        self.char, self.count = char.encode('latin-1'), count


def text(data):
    if isinstance(data, Repeat):
        return b'\xf8' + data.char + struct.pack('<H', data.count)
    if isinstance(data, str):
        data = data.encode('latin-1')
    if len(data) < 0xF0:
        return bytes([len(data)]) + data
    return b'\xf0' + struct.pack('<H', len(data)) + data


def command(index, case_mask=0):
    return bytes([0x80 | index, case_mask])


def literal(data):
    return b'\x00' + text(data)


def case(args=(), absent=False, cut_terminated=False, no_file=False, adds=(), cancels=(),
         answers=(), windows=r'C:\WINDOWS', module=r'C:\QUELT\QUELTMAP.EXE',
         registry=(0, 0, 0, 0), profile=()):
    out = bytes([len(args)]) + b''.join(args)
    out += bytes([absent | cut_terminated << 1 | no_file << 2])
    out += bytes([len(adds)]) + b''.join(map(word, adds))
    out += bytes([len(cancels)]) + b''.join(map(word, cancels))
    out += bytes([len(answers)])
    for result, returned, reply in answers:
        out += word(result) + word(returned) + text(reply)
    out += text(windows) + text(module)
    out += b''.join(map(word, registry))
    # A profile value: a letter names the section "Drive.<letter>", a longer
    # name is written out; the key is 0 "Local", 1 "Remote" or a name.
    out += bytes([len(profile)])
    for section, key, value, lower in profile:
        named = isinstance(key, str)
        letter = ord(section) - ord('A') if len(section) == 1 else 26
        out += bytes([letter | (0 if named else key << 5) | lower << 6 | named << 7])
        out += (text(section) if len(section) > 1 else b'') + (text(key) if named else b'')
        out += text(value)
    return out


def mapping_reply(local, remote, server, export, size=908):
    record = bytearray(size)
    for offset, value in ((8, local), (72, remote), (520, server), (648, export)):
        record[offset:offset + len(value)] = value
    return bytes(record)


def status_reply(count, total, flags):
    return word(0xDEADBEEF) + word(count) + word(total) + word(flags)


SEEDS = {
    'usage-no-arguments': b'',
    'usage-map-one-operand': case([command(MAP), literal('R:')]),
    'usage-unknown-word': case([literal('/mapx'), literal('R:'), literal(r'\\s\e')]),
    'map-mapped': case([command(MAP, 0x05), literal('r:'), literal(r'\\QueltNFS\server\*?')]),
    'map-failed-high-bit': case([command(MAP), literal('R:'), literal(r'\\s\e')],
                                adds=[0x80000000]),
    'map-empty-and-long-names': case([command(MAP), literal(''), literal('\xe9' * 600)]),
    'unmap-unmapped': case([command(UNMAP, 0xFF), literal('R:'), literal('extra')]),
    'unmap-failed-all-bits': case([command(UNMAP), literal('R:')], cancels=[0xFFFFFFFF]),
    'status-not-loaded': case([command(STATUS)], absent=True),
    'status-query-failed': case([command(STATUS)], answers=[(0, 16, status_reply(1, 2, 3))]),
    'status-loaded': case([command(STATUS)],
                          answers=[(1, 99, status_reply(0xFFFFFFFF, 7, 0xFFFFFFFE))]),
    'status-loaded-ready': case([command(STATUS)], answers=[(1, 16, status_reply(3, 3, 1))]),
    'status-loaded-short-reply': case([command(STATUS, 0x3F)], answers=[(-1, 0, b'\x01\x02')]),
    'mapping-not-loaded': case([command(STATUS), literal('R:')], absent=True),
    'mapping-not-mapped-long-name': case([command(STATUS), literal(Repeat('N', 70))],
                                         answers=[(0, 908, Repeat('\xff', 908))]),
    'mapping-reply': case([command(STATUS), literal('R:')],
                          answers=[(1, 908, mapping_reply(b'R:', b'\\\\QueltNFS\\srv\\exp',
                                                          b'srv', b'/exp'))]),
    'mapping-reply-unterminated': case([command(STATUS), literal('')],
                                       answers=[(1, 908, b'A' * 2000)]),
    'startup-entries': case(
        [command(STARTUP, 0x81)], adds=[0, 53],
        profile=[('R', 0, 'R:', 0), ('R', 1, r'\\QueltNFS\srv\r', 0),
                 ('F', 0, 'f:', 1), ('F', 1, r'\\QueltNFS\srv\f', 1),
                 ('A', 0, 'R:' + 'x' * 20, 0), ('A', 1, 'r' * 300, 0),
                 ('B', 0, 'B:', 0), ('C', 1, r'\\only\remote', 0),
                 ('Z', 0, '', 0), ('Z', 1, r'\\empty\local', 0)]),
    # Profile names match as strcasecmp does: a soft hyphen counts, so
    # neither A (section) nor B (key) has both values and nothing is mapped.
    'startup-soft-hyphen-in-names': case(
        [command(STARTUP)],
        profile=[('A', 0, 'R:', 0), ('Drive.\xadA', 1, r'\\QueltNFS\srv\a', 0),
                 ('B', 0, 'B:', 0), ('B', 'Re\xadmote', r'\\QueltNFS\srv\b', 0)]),
    'startup-no-file': case([command(STARTUP)], no_file=True,
                            profile=[('D', 0, 'D:', 0), ('D', 1, r'\\s\d', 0)]),
    'startup-longest-windows-directory': case(
        [command(STARTUP)], windows='C:\\' + 'W' * 235,
        profile=[('Q', 0, 'Q:', 0), ('Q', 1, r'\\s\q', 0)]),
    'startup-windows-directory-too-long': case([command(STARTUP)], windows='C:\\' + 'W' * 236),
    'startup-windows-directory-full-buffer': case([command(STARTUP)], windows='W' * 259),
    'startup-no-windows-directory': case([command(STARTUP)], windows=''),
    'install-startup': case([command(INSTALL, 0x30)],
                            module=r'C:\Program Files\Quelt NFS\queltmap95.exe'),
    'install-startup-create-key': case([command(INSTALL)], registry=(2, 0, 0, 0)),
    'install-startup-no-key': case([command(INSTALL)], registry=(5, 5, 0, 0)),
    'install-startup-longest-path': case([command(INSTALL)], module='C:\\' + 'p' * 256),
    'install-startup-path-of-one-byte': case([command(INSTALL)], module=Repeat('\x80', 1)),
}

# The tool's own guards of /install-startup: no Run value naming a wrong
# program, and a failed write reported as a failure.
GUARDS = {
    'install-startup-set-value-fails': case([command(INSTALL)], registry=(0, 0, 5, 0)),
    'install-startup-path-fills-buffer': case([command(INSTALL)], module='C:\\' + 'p' * 257),
    'install-startup-path-cut-terminated': case([command(INSTALL)], cut_terminated=True,
                                                module='M' * 300),
    'install-startup-no-path': case([command(INSTALL)], module=''),
}


def main():
    os.makedirs(CORPUS, exist_ok=True)
    for name in os.listdir(CORPUS):
        os.remove(os.path.join(CORPUS, name))
    for name, data in {**SEEDS, **GUARDS}.items():
        with open(os.path.join(CORPUS, name), 'wb') as f:
            f.write(data)


if __name__ == '__main__':
    main()
