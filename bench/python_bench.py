#!/usr/bin/env python3
"""zarvel's Python package against the loaders Python users have: PyYAML's
libyaml-based CSafeLoader/CSafeDumper, the json module and cbor2. Everything
runs in this one process; the figures are best-of-N wall times and their
ratios (peer time / zarvel time, so above 1 means zarvel is faster).

    python3 bench/python_bench.py [--data DIR] [--repeat N]
"""

import argparse
import gc
import json
import os
import sys
import time

import zarvel

HERE = os.path.dirname(os.path.abspath(__file__))
YAML_FILES = ["k8s-argocd-install.yaml", "openapi-twilio-api-v2010.yaml", "i18n-faker-hy.yaml"]
JSON_FILES = ["twitter.json", "citm_catalog.json", "canada.json"]


def timed(fn):
    gc.collect()
    gc.disable()
    start = time.perf_counter()
    fn()
    elapsed = time.perf_counter() - start
    gc.enable()
    return elapsed


def best_pair(ours, peer, repeat):
    """Best wall times of both over repeat runs, taken in turn so that a busy
    moment of the machine weighs on both alike."""
    ours()
    peer()
    ours_times, peer_times = [], []
    for _ in range(repeat):
        ours_times.append(timed(ours))
        peer_times.append(timed(peer))
    return min(ours_times), min(peer_times)


def row(label, size, ours, peer, goal):
    ratio = peer / ours
    mark = "ok" if ratio >= goal else "BELOW GOAL"
    print(f"{label:46s} {size / 1e6:6.2f} MB  zarvel {ours * 1e3:8.2f} ms  peer {peer * 1e3:8.2f} ms"
          f"  x{ratio:6.2f}  (goal x{goal:g}, {mark})")
    return ratio >= goal


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", default=os.path.join(HERE, "..", "..", "shared", "bench-data"))
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    if not os.path.isdir(args.data):
        print(f"no benchmark data in {args.data}", file=sys.stderr)
        return 2
    import yaml
    import cbor2

    def read(name):
        with open(os.path.join(args.data, name), "rb") as f:
            return f.read()

    met = True
    print("load_all vs yaml.load_all(Loader=CSafeLoader)")
    for name in YAML_FILES:
        data = read(name)
        ours, peer = best_pair(lambda: zarvel.load_all(data),
                               lambda: list(yaml.load_all(data, Loader=yaml.CSafeLoader)), args.repeat)
        met &= row(f"  {name}", len(data), ours, peer, 10)

    print("loads_json vs json.loads")
    for name in JSON_FILES:
        data = read(name)
        text = data.decode("utf-8")
        # Both read the same str (zarvel encodes it to UTF-8 first).
        ours, peer = best_pair(lambda: zarvel.loads_json(text), lambda: json.loads(text), args.repeat * 2)
        met &= row(f"  {name}", len(data), ours, peer, 1)

    print("loads_cbor vs cbor2.loads (the JSON files as CBOR)")
    for name in JSON_FILES:
        blob = cbor2.dumps(json.loads(read(name)))
        ours, peer = best_pair(lambda: zarvel.loads_cbor(blob), lambda: cbor2.loads(blob), args.repeat * 2)
        met &= row(f"  {name} as CBOR", len(blob), ours, peer, 2)

    print("dumps_cbor vs cbor2.dumps (the JSON files' values)")
    for name in JSON_FILES:
        value = json.loads(read(name))
        size = len(zarvel.dumps_cbor(value))
        ours, peer = best_pair(lambda: zarvel.dumps_cbor(value), lambda: cbor2.dumps(value), args.repeat * 2)
        met &= row(f"  {name} values", size, ours, peer, 2)

    print("dump vs yaml.dump(Dumper=CSafeDumper)")
    for name in YAML_FILES:
        docs = list(yaml.load_all(read(name), Loader=yaml.CSafeLoader))
        size = len(zarvel.dump_all(docs).encode("utf-8"))
        ours, peer = best_pair(lambda: zarvel.dump_all(docs),
                               lambda: yaml.dump_all(docs, Dumper=yaml.CSafeDumper, sort_keys=False),
                               args.repeat)
        met &= row(f"  {name}", size, ours, peer, 10)
    print("all goals met" if met else "some goals not met")
    return 0


if __name__ == "__main__":
    sys.exit(main())
