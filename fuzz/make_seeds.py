#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets into fuzz/corpus/<target>/.

Each seed is one healthy conversation in the input format of fuzz/harness.h:
the board answers its identification by itself (bit 7 of byte 0) and every
later exchange gets a well-formed answer, so the fuzzer starts from inputs
that reach the end of each method and mutates them from there.  A few seeds
add the faults of the script: raw bytes, bridge statuses, an unplugged device.
"""
import os
import sys

TYPES = [0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 255]
IDLE, ANSWER, ACK_THEN_SECOND, FAST = 0xF3, 0x40, 0x42, 0x50
ROWS = {"response": 34, "additional": 3, "fast": 1, "parameters": 75}


def board(t, auto=True):
    return (0x80 if auto else 0) | TYPES.index(t)


def exchange(data_bytes, op=ANSWER):
    # the write's own status poll, then the answer with its data bytes
    return [IDLE, op] + data_bytes


def identification():
    return [IDLE, IDLE]


def seed(t, calls, script):
    head = [board(t), len(calls) - 1]
    for row, arg in calls:
        head += [row, arg]
    return bytes(head + script)


def seeds_for(target):
    rows = ROWS[target]
    out = {}
    if target == "response":
        for row in range(0, rows, 2):
            t = [2, 9, 0, 13][row // 2 % 4]
            answer = identification() + exchange([2, 0x12, 0x34, 0x56] + [0x20] * 129) * 2
            out[f"rows{row:02d}_type{t}"] = seed(t, [(row, 1), (row + 1, 1)], answer * 2)
        out["leading_ff"] = seed(2, [(0, 5)], [IDLE, 0x41, 1, 2, 3])
        out["raw_garbage"] = seed(2, [(4, 1), (4, 2)], [IDLE, 7, 1, 7, 0x80, 0, 0, 0, 0xAA, 0xEE])
        out["status_failures"] = seed(2, [(0, 1), (2, 1), (4, 1)], [0x84, IDLE, 0xA4, 0x40, 1, 2, 3, 0xCA])
        out["unplugged"] = seed(2, [(0, 1), (1, 1)], [IDLE, 0xF2])
    elif target == "additional":
        for row in range(rows):
            for t in (16, 2, 9):
                out[f"row{row}_type{t}_together"] = seed(t, [(row, 1)], identification() + exchange([], ACK_THEN_SECOND))
                out[f"row{row}_type{t}_apart"] = seed(t, [(row, 1)], identification() + exchange([]) + [0x6F, 0x45] * 3)
        out["ack_with_ff"] = seed(16, [(1, 1)], identification() + [IDLE, 0x47])
        out["board_error"] = seed(16, [(2, 1)], identification() + [IDLE, 0x48, 1, 0])
    elif target == "fast":
        for t in (1, 2, 4, 8, 9, 13, 14, 16):
            for rate in (0, 0x20, 0x30):  # rate codes 0, 14, 15 through the argument byte
                samples = 3 * (4 if t == 9 else 3)
                out[f"type{t}_rate{rate >> 4}"] = seed(t, [(0, rate)], [IDLE] + [0x6F] * 3 + [FAST, samples] + list(range(samples)))
        out["two_pieces"] = seed(2, [(0, 0)], [IDLE, 0x6F, 8, 1, 13, 0x43, 1, 2, 3, 4, 5, 6, 7, 0x6F, 5, 8, 9, 10, 11, 12, 0xAA])
        out["empty"] = seed(2, [(0, 0), (0, 0)], [IDLE, 0x6F, FAST, 0, IDLE, 0x6F, 3, 0, 0, 0x43, 0xAA])
        out["refused"] = seed(9, [(0, 0)], [IDLE, 0x6F, 3, 0, 4, 0x4D, 0xAA])
    else:
        for row in range(0, rows, 2):
            t = [2, 9, 0, 13, 14, 16, 5][row // 2 % 7]
            answer = (identification() + exchange([0xFF, 1, 2, 3, 4, 5, 6, 7])) * 4
            out[f"rows{row:02d}_type{t}"] = seed(t, [(row, 1), (row + 1, 1)], answer * 2)
    return out


def main():
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
    targets = sys.argv[1:] or list(ROWS)
    for target in targets:
        folder = os.path.join(root, target)
        os.makedirs(folder, exist_ok=True)
        for name, data in seeds_for(target).items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
