#!/usr/bin/env python3
"""A fleet on one machine: P `qolven publish` processes x B virtual boards x
1000 samples/s into one local mosquitto, and one subscriber that checks every
sequence number.  Reports samples lost on the way, the board-side losses the
stream announced, publisher CPU per board, broker CPU, and the latency from a
block's last sample to its arrival (median, p99).

    /usr/bin/python3 bench/publish_fleet.py --qolven build/default/bin/qolven [--seconds 300]

Needs mosquitto and python3-paho-mqtt (scripts/install-deps.sh).
"""
import argparse
import json
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples", "python"))
import mqtt_consumer  # noqa: E402  (the documented consumer's decoder and tally)
import paho.mqtt.client as mqtt  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS  # utime + stime


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--qolven", required=True)
    p.add_argument("--processes", type=int, default=8)
    p.add_argument("--boards", type=int, default=4)
    p.add_argument("--seconds", type=float, default=300)
    p.add_argument("--rate", type=int, default=15)
    a = p.parse_args()
    work = tempfile.mkdtemp(prefix="qolven-fleet-")
    port = free_port()
    with open(os.path.join(work, "mosquitto.conf"), "w") as f:
        f.write("user root\nmax_queued_messages 1000000\nlistener %d 127.0.0.1\nallow_anonymous true\n" % port)
    broker = subprocess.Popen(["mosquitto", "-c", os.path.join(work, "mosquitto.conf")],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(0.5)

    tally, states = mqtt_consumer.Tally(), {}

    def on_message(c, userdata, m):
        received = time.time()
        parts = m.topic.split("/")
        if parts[-1] == "fast":
            tally.add(parts[3], mqtt_consumer.decode_block(m.payload), received)
        elif parts[-1] == "state":
            states[parts[3]] = json.loads(m.payload)

    extra = (mqtt.CallbackAPIVersion.VERSION1,) if hasattr(mqtt, "CallbackAPIVersion") else ()
    sub = mqtt.Client(*extra, client_id="fleet-watch", clean_session=True)
    sub.on_message = on_message
    sub.connect("127.0.0.1", port)
    sub.subscribe("qolven/v1/fleet/+/#", qos=1)
    sub.loop_start()
    time.sleep(0.5)

    publishers = []
    for i in range(a.processes):
        boards = ";".join("type=2,serial=F%02dB%d" % (i, b) for b in range(a.boards))
        env = dict(os.environ, QOLVEN_SIM_STATE=os.path.join(work, "state%d" % i))
        publishers.append(subprocess.Popen(
            [a.qolven, "--simulate", boards, "publish", "--broker", "mqtt://127.0.0.1:%d" % port, "--all",
             "--rate", str(a.rate), "--site", "fleet", "--queue-dir", os.path.join(work, "queue%d" % i),
             "--seconds", str(a.seconds)],
            env=env, stdout=subprocess.DEVNULL, stderr=open(os.path.join(work, "publisher%d.err" % i), "w")))
    time.sleep(1)
    load_start = os.getloadavg()[0]
    broker_cpu0 = cpu_seconds(broker.pid)
    publisher_cpu = {q.pid: cpu_seconds(q.pid) for q in publishers}
    started = time.monotonic()
    # CPU is read while the publishers run (a process that ended has no /proc entry).
    time.sleep(max(0.0, a.seconds - 3))
    spent = time.monotonic() - started
    publisher_cpu = sum(cpu_seconds(q.pid) - publisher_cpu[q.pid] for q in publishers)
    broker_cpu = cpu_seconds(broker.pid) - broker_cpu0
    codes = [q.wait(timeout=120) for q in publishers]
    deadline = time.monotonic() + 30
    serials = ["F%02dB%d" % (i, b) for i in range(a.processes) for b in range(a.boards)]
    while time.monotonic() < deadline and not all(states.get(s, {}).get("state") == "offline" for s in serials):
        time.sleep(0.2)
    sub.loop_stop()
    broker.terminate()
    broker.wait()

    published = sum(states.get(s, {}).get("samples", 0) for s in serials)
    received = sum(tally.samples.values())
    gaps = sum(len(g) for g in tally.gaps.values())
    latency = sorted(tally.latency)
    result = {
        "processes": a.processes, "boards": a.processes * a.boards, "seconds": round(spent, 1),
        "nominal_rate": 1000 if a.rate == 15 else None,
        "exit_codes": sorted(set(codes)),
        "samples_published": published, "samples_received": received,
        "lost_on_the_way": published - received, "gaps": gaps,
        "board_side_lost": sum(tally.board_lost.values()),
        "publisher_cpu_percent_per_board": round(100 * publisher_cpu / spent / (a.processes * a.boards), 2),
        "broker_cpu_percent": round(100 * broker_cpu / spent, 2),
        "latency_median_ms": round(1000 * statistics.median(latency), 2) if latency else None,
        "latency_p99_ms": round(1000 * latency[int(0.99 * (len(latency) - 1))], 2) if latency else None,
        "blocks": len(latency),
        "load_average_1min": [round(load_start, 1), round(os.getloadavg()[0], 1)],
    }
    print(json.dumps(result, indent=1))
    shutil.rmtree(work, ignore_errors=True)
    return 0 if result["lost_on_the_way"] == 0 and gaps == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
