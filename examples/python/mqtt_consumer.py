#!/usr/bin/env python3
"""Reads what `qolven publish` sends to an MQTT broker -- identity, state,
readings, events and fast-data blocks -- and proves from the sequence numbers
that no sample went missing.

    python3 mqtt_consumer.py --host 127.0.0.1 [--port 1883] [--site SITE] [--seconds S]

Needs only Debian's python3-paho-mqtt.  --client-id gives a persistent session:
the broker then keeps the blocks that arrive while this program is away.
"""
import argparse
import json
import statistics
import struct
import sys
import time

import paho.mqtt.client as mqtt

# The fast-data block, version 1 (docs/mqtt.md): little-endian header of 40 bytes.
HEADER = struct.Struct("<2sBBHBxqddIf")


def decode_block(payload):
    (magic, version, flags, n, rate_code, first, stream_start, first_time, lost_before,
     rate) = HEADER.unpack_from(payload)
    if magic != b"QF" or version != 1:
        raise ValueError("not a version-1 fast-data block")
    at = HEADER.size
    offsets = struct.unpack_from("<%dI" % n, payload, at)
    at += 4 * n
    counts = struct.unpack_from("<%di" % n, payload, at)
    at += 4 * n
    loads = None
    if flags & 2:
        loads = struct.unpack_from("<%df" % n, payload, at)  # NaN where the board has no load
        at += 4 * n
    channels = payload[at:at + n] if flags & 1 else None
    return {"first": first, "n": n, "stream_start": stream_start, "rate_code": rate_code, "rate": rate,
            "lost_before": lost_before, "tared": bool(flags & 4), "counts": counts, "loads": loads,
            "channels": channels, "times": [first_time + o * 1e-6 for o in offsets]}


class Tally:
    """Samples per board.  A block's lost_before says how many samples the
    board lost just before it (a request came too late); any other skipped
    sequence number is a gap on the way here.  A duplicate is a block sent
    again after a reconnection (QoS 1 delivers at least once)."""

    def __init__(self):
        self.next = {}  # (serial, stream start) -> the sequence number expected next
        self.samples, self.gaps, self.board_lost, self.duplicates, self.latency = {}, {}, {}, {}, []

    def add(self, serial, block, received):
        key = (serial, block["stream_start"])
        expected = self.next.get(key, block["first"])
        end = block["first"] + block["n"]
        self.samples.setdefault(serial, 0)
        self.gaps.setdefault(serial, [])
        if end <= expected:
            self.duplicates[serial] = self.duplicates.get(serial, 0) + 1
            return
        if block["first"] > expected and block["lost_before"] == block["first"] - expected:
            self.board_lost[serial] = self.board_lost.get(serial, 0) + block["lost_before"]
        elif block["first"] > expected:
            self.gaps[serial].append((expected, block["first"] - 1))
        self.samples[serial] += end - max(expected, block["first"])
        self.next[key] = end
        # From the board's last sample of the block to its arrival here.
        self.latency.append(received - (block["stream_start"] + block["times"][-1]))


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, default=1883)
    p.add_argument("--site", default="+")
    p.add_argument("--seconds", type=float, default=0, help="stop after S seconds (0: at Ctrl-C)")
    p.add_argument("--client-id", default="", help="a persistent session under this name")
    p.add_argument("--user", default="")
    p.add_argument("--password-file", default="")
    p.add_argument("--ca-file", default="", help="TLS with this CA certificate")
    p.add_argument("--quiet", action="store_true", help="print only the summary")
    a = p.parse_args()

    tally, states = Tally(), {}
    persistent = bool(a.client_id)
    # paho-mqtt 2 asks which callback interface the program uses.
    extra = (mqtt.CallbackAPIVersion.VERSION1,) if hasattr(mqtt, "CallbackAPIVersion") else ()
    client = mqtt.Client(*extra, client_id=a.client_id, clean_session=not persistent)
    if a.user:
        password = open(a.password_file).readline().rstrip("\r\n") if a.password_file else None
        client.username_pw_set(a.user, password)
    if a.ca_file:
        client.tls_set(ca_certs=a.ca_file)

    def on_connect(c, userdata, flags, rc):
        c.subscribe("qolven/v1/%s/+/#" % a.site, qos=1)

    def on_message(c, userdata, m):
        received = time.time()
        parts = m.topic.split("/")  # qolven, v1, site, serial, kind[, result]
        if len(parts) < 5:
            return
        serial, kind = parts[3], "/".join(parts[4:])
        if kind == "fast":
            tally.add(serial, decode_block(m.payload), received)
            return
        message = json.loads(m.payload)
        if kind == "state":
            states[serial] = message
        if not a.quiet:
            print(serial, kind, json.dumps(message), flush=True)

    client.on_connect, client.on_message = on_connect, on_message
    client.connect(a.host, a.port, keepalive=10)
    client.loop_start()
    try:
        until = time.monotonic() + a.seconds if a.seconds > 0 else None
        while until is None or time.monotonic() < until:
            time.sleep(0.1)
    except KeyboardInterrupt:
        pass
    client.loop_stop()
    client.disconnect()
    latency = sorted(tally.latency)
    print(json.dumps({
        "samples": tally.samples, "gaps": tally.gaps, "board_lost": tally.board_lost,
        "duplicate_blocks": tally.duplicates,
        "states": {s: m.get("state") for s, m in states.items()},
        "latency_median_ms": 1000 * statistics.median(latency) if latency else None,
        "latency_p99_ms": 1000 * latency[int(0.99 * (len(latency) - 1))] if latency else None}))
    return 1 if any(tally.gaps.values()) else 0


if __name__ == "__main__":
    sys.exit(main())
