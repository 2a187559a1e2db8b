"""Writes the seed inputs of the fuzz targets: the values the formatting and unitarity rules
single out (boundaries of the positional range, subnormals, the ten-step windows, NaN, the
matrices whose acceptance hinges on the last bit), and circuit programs in both forms that
measure, reset and branch, whole and with one field broken."""
import math
import os
import struct
import sys

out = sys.argv[1]
h, h_low, h_far = 0.7071067811865476, 0.7071067811865475, 0.70710678
a, b, c = 0.8535533905932736, 0.3535533905932737, 0.14644660940672616

doubles = [0.0, -0.0, 1.0, -1.0, 1e16, math.nextafter(1e16, 0), 1e-4, math.nextafter(1e-4, 0),
           5e-324, 5e-323, 2.2250738585072014e-308, 1.7976931348623157e308, math.nan, -math.nan,
           math.inf, -math.inf, -5.551115123125783e-17, 0.9999999999999997, 123456.789, 0.1,
           1.0000000000000022, 0.9999999999999989, 9007199254740993.0, 2.0 ** -1074 * 3]
matrices = {
    "identity": [1, 0, 0, 0, 0, 0, 1, 0],
    "hadamard": [h, 0, h, 0, h, 0, -h, 0],
    "hadamard_low": [h_low, 0, h_low, 0, h_low, 0, -h_low, 0],
    "hadamard_far": [h_far, 0, h_far, 0, h_far, 0, -h_far, 0],
    "not_unitary": [1, 0, 1, 0, 0, 0, 0, 0],
    "hth": [a, b, c, -b, c, -b, a, b],
    "nan": [math.nan, 0, 0, 0, 0, 0, 1, 0],
    "pauli_y": [0, 0, 0, -1, 0, 1, 0, 0],
    "diag_edge": [1.0000000000000011, 0, 0, 0, 0, 0, 0.9999999999999994, 0],
    "tiny_off": [1, 0, 2.0 ** -52, 0, 0, 0, 1, 0],
}
# The edges of both tolerances: an off-diagonal part of k * 2^-52 (M01 real), and a diagonal of
# (1 + k ulp)^2 ~ 1 + 2k ulp above and below 1.0 (M00 real).
for k in (9, 10, 11):
    for sign in (1, -1):
        matrices["off_%+d" % (sign * k)] = [1, 0, sign * k * 2.0 ** -52, 0, 0, 0, 1, 0]
        matrices["offimag_%+d" % (sign * k)] = [1, 0, 0, sign * k * 2.0 ** -52, 0, 0, 1, 0]
for k in (4, 5, 6):
    matrices["diag_up_%d" % k] = [1 + k * 2.0 ** -52, 0, 0, 0, 0, 0, 1, 0]
    matrices["diag_down_%d" % k] = [1, 0, 0, 0, 0, 0, 1 - k * 2.0 ** -53, 0]

os.makedirs(os.path.join(out, "format_double"), exist_ok=True)
os.makedirs(os.path.join(out, "gate"), exist_ok=True)
for i, x in enumerate(doubles):
    with open(os.path.join(out, "format_double", "seed%02d" % i), "wb") as f:
        f.write(struct.pack("<d", x))
for name, values in matrices.items():
    blob = struct.pack("<8d", *values)
    with open(os.path.join(out, "gate", name), "wb") as f:
        f.write(blob)
    # The same values reshaped: no rows, one row, three rows, a short and a long row.
    for shape in (0x00, 0x29, 0x2B, 0x26, 0x2E):
        with open(os.path.join(out, "gate", "%s_shape%02x" % (name, shape)), "wb") as f:
            f.write(blob + bytes([shape]))

# Circuit programs: a 4-byte header (qubits, classical bits, gates-only flag, seed), then 104-byte
# step records (kind, target, controls, cond_mask, cond_value, clbit, reserved, 8 doubles).
def step(kind=0, target=0, controls=0, cond_mask=0, cond_value=0, clbit=0, reserved=0,
         matrix=(h, 0, h, 0, h, 0, -h, 0)):
    return struct.pack("<IIQQQII8d", kind, target, controls, cond_mask, cond_value, clbit,
                       reserved, *matrix)

x_gate = (0, 0, 1, 0, 1, 0, 0, 0)
programs = {
    "bell_measured": (2, 2, 0, [step(), step(target=1, controls=1, matrix=x_gate),
                                step(1, 0, clbit=0), step(1, 1, clbit=1)]),
    "reset_and_branch": (3, 3, 0, [step(), step(1, 0, clbit=2), step(2, 0),
                                   step(target=1, cond_mask=4, cond_value=4, matrix=x_gate),
                                   step(1, 1, clbit=0)]),
    "gates_only": (3, 0, 1, [step(target=q) for q in range(3)] + [step(target=2, controls=3)]),
    "zeroing": (1, 1, 0, [step(matrix=(0,) * 8), step(1, 0)]),
    "empty": (0, 0, 0, []),
}
os.makedirs(os.path.join(out, "program"), exist_ok=True)
for name, (qubits, clbits, gates_only, steps) in programs.items():
    header = bytes([qubits, clbits, gates_only, 7])
    with open(os.path.join(out, "program", name), "wb") as f:
        f.write(header + b"".join(steps))
    # Each field of the first record broken in turn: bytes written at an offset.
    for offset, patch in ((0, b"\x03"), (4, b"\x28"), (8, b"\xff"), (23, b"\x80"), (24, b"\x05"),
                          (32, b"\x46"), (36, b"\x01"), (46, b"\xf8\x7f")):
        if steps:
            first = bytearray(steps[0])
            first[offset:offset + len(patch)] = patch
            with open(os.path.join(out, "program", "%s_at%d" % (name, offset)), "wb") as f:
                f.write(header + bytes(first) + b"".join(steps[1:]))

# The self-describing form: a 16-byte header (magic, version, steps, entries), 64-byte records
# (kind, width, 8 target bytes, controls, cond_mask, cond_value, clbit, reserved, first matrix
# entry, reserved), then complex entries. Gates of each kind on scattered targets.
def wide_step(kind=0, targets=(0,), controls=0, cond_mask=0, cond_value=0, clbit=0, first=0):
    padded = list(targets) + [0] * (8 - len(targets))
    return struct.pack("<II8BQQQIIQQ", kind, len(targets), *padded, controls, cond_mask, cond_value,
                       clbit, 0, first, 0)


def wide_program(steps, entries):
    header = struct.pack("<IIII", 0x4C56524B, 2, len(steps), len(entries))
    return header + b"".join(steps) + b"".join(struct.pack("<2d", z.real, z.imag) for z in entries)


def flat(rows):
    return [complex(x) for row in rows for x in row]


dense4 = flat([[0.5, 0.5, 0.5, 0.5], [0.5, 0.5j, -0.5, -0.5j], [0.5, -0.5, 0.5, -0.5], [0.5, -0.5j, -0.5, 0.5j]])
phases8 = flat([[1 if r == c else 0 for c in range(8)] for r in range(8)])
phases8[7 * 8 + 7] = 1j
phases8[2 * 8 + 2] = 0
cycle32 = flat([[(1j if r == 3 else 1) if c == (r + 1) % 32 else 0 for c in range(32)] for r in range(32)])
swap4 = flat([[1, 0, 0, 0], [0, 0, 1, 0], [0, 1, 0, 0], [0, 0, 0, 1]])
entries = dense4 + phases8 + cycle32 + swap4 + [h, h, h, -h]
wide_programs = {
    "wide_mixed": (5, 2, 0, [wide_step(targets=(3, 0), first=0), wide_step(targets=(4, 1, 2), first=16),
                             wide_step(targets=(2, 0, 4, 1, 3), first=80),
                             wide_step(targets=(1, 4), controls=1, first=1104), wide_step(1, (3,), clbit=1),
                             wide_step(targets=(0,), cond_mask=2, cond_value=2, first=1120),
                             wide_step(2, (3,))]),
    "wide_gates_only": (4, 0, 1, [wide_step(targets=(0, 3), first=0), wide_step(targets=(3, 1, 2), first=16),
                                  wide_step(targets=(2, 0), controls=2, first=1104)]),
    # Repeat until success with a break: H, measure, leave when the bit reads 1, back to the H;
    # a jump is kind 3 of width 0, its loop in clbit and the step it continues at in first.
    "wide_loop": (2, 2, 0, [wide_step(targets=(0,), first=1120), wide_step(1, (0,), clbit=0),
                            wide_step(3, (), cond_mask=1, cond_value=1, clbit=0, first=4),
                            wide_step(3, (), clbit=0, first=0), wide_step(1, (1,), clbit=1)]),
    # The same loop keeping a flag by set steps (kind 4, width 0, the slot in clbit, the value in
    # first): bit 1 := 1 before the loop, := 0 where the measurement read 0, and an H where it holds.
    "wide_set_loop": (2, 2, 0, [wide_step(4, (), clbit=1, first=1), wide_step(targets=(0,), first=1120),
                                wide_step(1, (0,), clbit=0),
                                wide_step(4, (), cond_mask=1, cond_value=0, clbit=1, first=0),
                                wide_step(3, (), cond_mask=1, cond_value=1, clbit=0, first=6),
                                wide_step(3, (), clbit=0, first=1),
                                wide_step(targets=(1,), cond_mask=2, cond_value=2, first=1120)]),
}
for name, (qubits, clbits, gates_only, steps) in wide_programs.items():
    prefix = bytes([qubits, clbits, gates_only, 7])
    with open(os.path.join(out, "program", name), "wb") as f:
        f.write(prefix + wide_program(steps, entries))
    # The header's version and step count, fields of the first record (at 16 + its offset) and
    # the imaginary part of the last entry broken in turn: bytes written at an offset.
    whole = wide_program(steps, entries)
    for offset, patch in ((4, b"\x03"), (8, b"\x09"), (16, b"\x03"), (20, b"\x06"), (25, b"\x00"),
                          (24, b"\x09"), (31, b"\x01"), (32, b"\x05"), (43, b"\x80"), (48, b"\x05"),
                          (56, b"\x01"), (60, b"\x01"), (64, b"\xff\xff"), (72, b"\x01"),
                          (len(whole) - 2, b"\xf8\x7f")):
        broken = bytearray(whole)
        broken[offset:offset + len(patch)] = patch
        with open(os.path.join(out, "program", "%s_at%d" % (name, offset)), "wb") as f:
            f.write(prefix + bytes(broken))
