#!/usr/bin/env python3
"""A virtual board on a Unix socket, for the USB bench while qolven-sim-board is
not built: the simulated bridge's own virtual board (libqolven_d2xx_sim), reached
through its FT_* functions, with the socket's bytes pumped to it and its answers
pumped back as they become due.  QEMU's emulated FTDI chip connects to the socket.

SIGUSR1 is a board power cycle: the connection and the listening socket close,
the virtual device is closed (its buffers go), and both come back after
--off-seconds.  SIGTERM ends it.

usage: standin_board.py --library LIBQOLVEN_D2XX_SIM --socket PATH --device DESCRIPTION [--off-seconds S]
"""
import argparse
import ctypes
import os
import select
import signal
import socket
import sys
import time

FT_OPEN_BY_SERIAL_NUMBER = 1


class PowerCycle(Exception):
    pass


class Board:
    def __init__(self, library, description):
        self.ft = ctypes.CDLL(library)
        error = ctypes.create_string_buffer(512)
        if self.ft.qolven_sim_configure(description.encode(), error, len(error)) != 0:
            raise SystemExit(f"standin_board: {description!r}: {error.value.decode(errors='replace')}")
        serial = ctypes.create_string_buffer(64)
        self.ft.qolven_sim_device_serial(0, serial, len(serial))
        self.serial = serial.value
        self.handle = None

    def open(self):
        handle = ctypes.c_void_p()
        status = self.ft.FT_OpenEx(ctypes.c_char_p(self.serial), FT_OPEN_BY_SERIAL_NUMBER, ctypes.byref(handle))
        if status != 0:
            raise SystemExit(f"standin_board: FT_OpenEx status {status}")
        self.handle = handle

    def close(self):
        if self.handle is not None:
            self.ft.FT_Close(self.handle)
            self.handle = None

    def write(self, data):
        written = ctypes.c_uint32()
        self.ft.FT_Write(self.handle, data, len(data), ctypes.byref(written))

    def due(self):
        rx, tx, events = ctypes.c_uint32(), ctypes.c_uint32(), ctypes.c_uint32()
        self.ft.FT_GetStatus(self.handle, ctypes.byref(rx), ctypes.byref(tx), ctypes.byref(events))
        if rx.value == 0:
            return b""
        buffer = ctypes.create_string_buffer(rx.value)
        got = ctypes.c_uint32()
        self.ft.FT_Read(self.handle, buffer, rx.value, ctypes.byref(got))
        return buffer.raw[: got.value]


def listen(path):
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass
    server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    server.bind(path)
    server.listen(1)
    return server


# After a request the board's answers become due on its own clock, some of them
# seconds later (a reset's completion): look every 0.1 ms for that long, then
# sleep until the next request.
POLL_SECONDS = 0.0001
ANSWERS_WITHIN_SECONDS = 10


def serve(board, server):
    connection, _ = server.accept()
    last_request = None
    try:
        while True:
            busy = last_request is not None and time.monotonic() - last_request < ANSWERS_WITHIN_SECONDS
            readable, _, _ = select.select([connection], [], [], POLL_SECONDS if busy else None)
            if readable:
                data = connection.recv(65536)
                if not data:
                    return
                board.write(data)
                last_request = time.monotonic()
            answer = board.due()
            if answer:
                connection.sendall(answer)
    finally:
        connection.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--library", required=True)
    parser.add_argument("--socket", required=True)
    parser.add_argument("--device", default="type=2,serial=BOARD1")
    parser.add_argument("--off-seconds", type=float, default=2.0)
    args = parser.parse_args()

    def power_cycle(signum, frame):
        raise PowerCycle()

    signal.signal(signal.SIGUSR1, power_cycle)
    signal.signal(signal.SIGTERM, lambda signum, frame: sys.exit(0))
    board = Board(args.library, args.device)
    board.open()
    server = listen(args.socket)
    while True:
        try:
            serve(board, server)
        except PowerCycle:
            server.close()
            os.unlink(args.socket)
            board.close()
            time.sleep(args.off_seconds)
            board.open()
            server = listen(args.socket)


if __name__ == "__main__":
    main()
