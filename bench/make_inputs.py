#!/usr/bin/env python3
"""Writes the generated benchmark inputs into a directory (deterministic).

block.yaml    block YAML, a sequence of nested records
flow.yaml     the same records as one flow sequence (also valid JSON)
flow.json     a copy of flow.yaml under a JSON name
block.cbor    the same records as CBOR
literal.yaml  large literal block scalars
nested.yaml   deeply nested flow and block collections
anchors.yaml  many anchors and aliases
"""
import json
import os
import struct
import sys


def records(target):
    out, size, i = [], 0, 0
    while size < target:
        rec = {
            "id": i,
            "name": "item %d" % i,
            "price": (i % 997) + 0.25,
            "active": i % 3 != 0,
            "tags": ["a%d" % i, "b", "c"],
            "owner": {"login": "user%d" % (i % 101), "level": i % 7,
                      "note": "plain text with spaces, number %d" % (i * 7919 % 100003)},
        }
        out.append(rec)
        size += 190
        i += 1
    return out


def scalar(v):
    if isinstance(v, bool):
        return "true" if v else "false"
    return str(v)


def block(recs):
    lines = []
    for r in recs:
        lines.append("- id: %d" % r["id"])
        lines.append("  name: %s" % r["name"])
        lines.append("  price: %s" % scalar(r["price"]))
        lines.append("  active: %s" % scalar(r["active"]))
        lines.append("  tags:")
        for t in r["tags"]:
            lines.append("    - %s" % t)
        lines.append("  owner:")
        for k, v in r["owner"].items():
            lines.append("    %s: %s" % (k, scalar(v)))
    return "\n".join(lines) + "\n"


def cbor_head(major, n):
    if n < 24:
        return bytes([major << 5 | n])
    if n < 256:
        return bytes([major << 5 | 24, n])
    if n < 65536:
        return bytes([major << 5 | 25]) + struct.pack(">H", n)
    if n < 2**32:
        return bytes([major << 5 | 26]) + struct.pack(">I", n)
    return bytes([major << 5 | 27]) + struct.pack(">Q", n)


def cbor(v, out):
    if isinstance(v, bool):
        out.append(b"\xf5" if v else b"\xf4")
    elif isinstance(v, int):
        out.append(cbor_head(0, v) if v >= 0 else cbor_head(1, -1 - v))
    elif isinstance(v, float):
        out.append(b"\xfb" + struct.pack(">d", v))
    elif isinstance(v, str):
        b = v.encode()
        out.append(cbor_head(3, len(b)) + b)
    elif isinstance(v, list):
        out.append(cbor_head(4, len(v)))
        for x in v:
            cbor(x, out)
    elif isinstance(v, dict):
        out.append(cbor_head(5, len(v)))
        for k, x in v.items():
            cbor(k, out)
            cbor(x, out)
    else:
        raise TypeError(type(v))


def literal(target):
    parts, size, i = [], 0, 0
    while size < target:
        body = "".join("    line %d of block %d: some literal text that stays as it is\n" % (j, i)
                       for j in range(200))
        parts.append("doc%d: |\n%s" % (i, body))
        size += len(parts[-1])
        i += 1
    return "".join(parts)


def nested(depth, copies):
    # Deep block nesting, then deep flow nesting.
    out = []
    for c in range(copies):
        out.append("n%d:\n" % c)
        for d in range(depth):
            out.append("  " * (d + 1) + "k%d:\n" % d)
        out.append("  " * (depth + 1) + "leaf: %d\n" % c)
    out.append("flow: " + "[" * 60 + "1" + "]" * 60 + "\n")
    return "".join(out)


def anchors(count):
    out = ["defs:\n"]
    for i in range(count):
        out.append("  - &a%d {id: %d, name: anchored %d}\n" % (i, i, i))
    out.append("uses:\n")
    for i in range(count * 3):
        out.append("  - *a%d\n" % ((i * 7) % count))
    return "".join(out)


def main():
    dest = sys.argv[1]
    mb = float(sys.argv[2]) if len(sys.argv) > 2 else 8.0
    os.makedirs(dest, exist_ok=True)
    recs = records(int(mb * 1e6))
    with open(os.path.join(dest, "block.yaml"), "w") as f:
        f.write(block(recs))
    flow = "[\n" + ",\n".join(json.dumps(r) for r in recs) + "\n]\n"
    for name in ("flow.yaml", "flow.json"):
        with open(os.path.join(dest, name), "w") as f:
            f.write(flow)
    out = []
    cbor(recs, out)
    with open(os.path.join(dest, "block.cbor"), "wb") as f:
        f.write(b"".join(out))
    with open(os.path.join(dest, "literal.yaml"), "w") as f:
        f.write(literal(int(mb * 1e6)))
    with open(os.path.join(dest, "nested.yaml"), "w") as f:
        f.write(nested(60, 1000))
    with open(os.path.join(dest, "anchors.yaml"), "w") as f:
        f.write(anchors(5000))


if __name__ == "__main__":
    main()
