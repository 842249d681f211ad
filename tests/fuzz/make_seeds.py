#!/usr/bin/env python3
"""Writes the seed corpus of the sampling_packet, fpga_report, transport and
notifications fuzz targets into corpus/<target>/ (committed; run again only when an input
layout changes). The layouts are described at the top of each target's source. The
scripted targets (handshake, stored_records, ppg_module, standalone) record the
emulator's own replies instead: fuzz_replay_<target> --seeds tests/fuzz/corpus/<target>."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
MODES = {1: 1, 2: 1, 3: 2, 4: 1, 5: 2, 8: 1, 10: 2, 12: 2, 15: 4}


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(bytes(data))


def sampling_header(model=0, module=0, ratio0=1.0, ratio1=1.0, callbacks=0x1F, skip=0, expected=None):
    head = bytes([model, module]) + struct.pack("<ff", ratio0, ratio1) + bytes([callbacks])
    head += struct.pack("<i", skip)
    for e in expected or [0] * 16:
        head += struct.pack(">H", e)
    return head


def packet(mode, length, seq, raw):
    fields = MODES.get(mode, 1)
    payload = b""
    while len(payload) < 56:
        for _ in range(fields):
            payload += struct.pack(">H", raw)
        payload += bytes([3])
    return bytes([0xAD, 0xFF, 0x00, 0xFF, mode, length]) + struct.pack(">H", seq) + payload[:56]


for mode in list(MODES) + [0, 9, 16]:
    write("sampling_packet", "mode-%d" % mode, sampling_header() + packet(mode, 54, 0, 500))
for length in (0, 54, 55, 56, 255):
    write("sampling_packet", "mode15-length-%d" % length, sampling_header() + packet(15, length, 1, 100))
for raw in (0, 1023, 0xFFFF):
    write("sampling_packet", "fpga-raw-%d" % raw, sampling_header(model=1, ratio0=2.0) + packet(3, 55, 7, raw))
write("sampling_packet", "module-7-nan-ratio",
      sampling_header(model=0, module=7, ratio0=float("nan"), ratio1=-1.0) + packet(5, 55, 65535, 2000))
write("sampling_packet", "tables-emptied", sampling_header(model=3, callbacks=0x2F, skip=5) + packet(10, 200, 4, 1023))
bad = bytearray(sampling_header() + packet(1, 3, 0, 1))
bad[len(bad) - 64 + 3] = 0x00
write("sampling_packet", "bad-status", bad)


def reply(bits, levels):
    r = bytearray(64)
    r[0], r[3], r[8] = 0xB0, 0xFF, bits
    for g, (l1, l2) in enumerate(levels):
        r[9 + 3 * g] = l1 >> 4
        r[10 + 3 * g] = ((l1 & 15) << 4) | (l2 >> 8)
        r[11 + 3 * g] = l2 & 0xFF
    return bytes(r)


ratios = struct.pack("<6f", 1.0, 1.0, 1.0, 0.5, 0.5, 0.5)
rows = {"111": 0x29, "100": 0x30, "011": 0x05, "101": 0x11, "110": 0x24, "001": 0x01, "010": 0x04, "000": 0x00}
for name, bits in rows.items():
    write("fpga_report", "row-" + name, ratios + reply(bits, [(100, 7), (300, 8), (100, 9)]) * 5)
write("fpga_report", "zero-levels", ratios + reply(0, [(0, 0)] * 3) * 5)
write("fpga_report", "full-levels", struct.pack("<6f", *([float("nan")] * 6)) + reply(0x3F, [(4095, 4095)] * 3) * 5)
write("fpga_report", "abcdef", ratios + bytes(9) + bytes([0xAB, 0xCD, 0xEF]))


# transport: [flags] then steps of [step][argument]; kinds 0xAD 01 FF B0 B8 CC are
# argument % 6, lengths 1 2 5 12 32 63 64 65 128 200 are argument / 6 % 10.
def stream(*packets):
    return b"".join(packets)


def send(data):
    out = b""
    while data:
        piece, data = data[:255], data[255:]
        out += bytes([0, len(piece)]) + piece
    return out


def read(kind, length_index, before=False):
    return bytes([2 if before else 1, kind + 6 * length_index])


SAMPLE = packet(15, 54, 3, 700)
NOTIFY = bytes([0x01, 0x55]) + bytes(62)
OTHER_NOTIFY = bytes([0x01, 0x22]) + bytes(62)
MEMORY = bytes([0x12, 0x55, 0xAA, 0x00, 0xFF]) + bytes(59)
B0 = reply(0x29, [(100, 7), (300, 8), (100, 9)])
CC = bytes([0xCC, 0x00, 0x01, 0xFF, 0x34]) + bytes(59)
B8 = bytes([0xB8, 0x00, 0x00, 0xFF, 0x12, 0x34]) + bytes(58)
SHORT = bytes([0x55, 0x00, 0x00, 0xFF]) + bytes(8)

write("transport", "reply-behind-stream",
      bytes([3]) + send(stream(SAMPLE, NOTIFY, SAMPLE, MEMORY)) + read(2, 6) + read(0, 6) + read(1, 6) + read(0, 6))
write("transport", "split-packets",
      bytes([3]) + send(SAMPLE[:10]) + read(0, 6) + send(SAMPLE[10:] + NOTIFY[:33]) + read(1, 6) +
      send(NOTIFY[33:]) + read(1, 6) + read(0, 6))
write("transport", "family-readers",
      bytes([0]) + send(stream(CC, B0, B8, MEMORY)) + read(3, 6) + read(5, 6) + read(4, 6) + read(2, 6))
write("transport", "short-and-long-readers",
      bytes([1]) + send(stream(SHORT, SAMPLE, MEMORY)) + read(2, 3) + read(0, 9) + read(2, 0) + read(2, 7))
write("transport", "discard-then-read",
      bytes([3]) + send(stream(MEMORY, NOTIFY, CC, SAMPLE)) + bytes([3, 0]) + read(1, 6) + read(0, 6) + read(2, 6, True))
write("transport", "pass-through",
      bytes([0]) + bytes([6, 3 + 8 * 6]) + bytes([0x12, 0x55, 0xAA, 0x00]) + send(MEMORY) + read(2, 6) +
      bytes([7, 0x38]))
write("transport", "readers-withdrawn",
      bytes([3]) + send(stream(SAMPLE, NOTIFY, OTHER_NOTIFY, SAMPLE)) + bytes([4, 1, 4, 0]) + read(2, 6) +
      bytes([4, 3, 5, 0]) + read(0, 6))
write("transport", "many-stream-packets",
      bytes([1]) + send(stream(*([SAMPLE] * 40), MEMORY)) + read(2, 6) + read(0, 8, True))


# notifications: [loop flag] then one piece [length][bytes] per batch the host writes.
def pieces(*items):
    return b"".join(bytes([len(i)]) + i for i in items)


write("notifications", "data-requests", bytes([0]) + pieces(*([NOTIFY] * 8)))
write("notifications", "looping", bytes([1]) + pieces(*([NOTIFY] * 12)))
write("notifications", "two-requests-together", bytes([0]) + pieces(NOTIFY + NOTIFY, NOTIFY, NOTIFY * 3))
write("notifications", "stray-notifications", bytes([0]) + pieces(OTHER_NOTIFY, NOTIFY, OTHER_NOTIFY + NOTIFY, NOTIFY))
write("notifications", "split-request", bytes([0]) + pieces(NOTIFY[:20], NOTIFY[20:], NOTIFY, NOTIFY))
write("notifications", "replies-and-samples", bytes([1]) + pieces(MEMORY + NOTIFY, SAMPLE + NOTIFY, CC, NOTIFY))
write("notifications", "silence", bytes([0]) + pieces(b"", b"", NOTIFY))
write("notifications", "ecg-and-ppg1", bytes([2]) + pieces(*([NOTIFY] * 6)))
write("notifications", "ecg-ppg1-ppg2-looping", bytes([5]) + pieces(*([NOTIFY] * 6)))
write("notifications", "ppg1", bytes([6]) + pieces(NOTIFY, OTHER_NOTIFY + NOTIFY, NOTIFY))
