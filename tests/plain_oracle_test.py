#!/usr/bin/env python3
"""Plain JSON and plain CBOR against an independent loader: generated streams
with anchors, aliases, merge keys and tags, loaded by PyYAML's safe loader,
must equal what Python's json and cbor2 read from `zarvel convert --to json`
and `--to cbor`, document by document, under both schemas (the generated
scalars resolve alike in YAML 1.1 and the core schema). Skips (exit 77)
without PyYAML or cbor2.

Usage: plain_oracle_test.py ZARVEL-TOOL"""
import base64
import io
import json
import random
import subprocess
import sys

try:
    import cbor2
    import yaml
except ImportError:
    print("skipped: PyYAML or cbor2 absent")
    sys.exit(77)


class Loader(yaml.SafeLoader):
    pass


def plain_value(loader, suffix, node):
    """An application tag gives the value it tags, read as if untagged."""
    if isinstance(node, yaml.ScalarNode):
        tag = loader.resolve(yaml.ScalarNode, node.value, (node.style is None, False))
        return loader.yaml_constructors[tag](loader, yaml.ScalarNode(tag, node.value, style=node.style))
    if isinstance(node, yaml.SequenceNode):
        return loader.construct_sequence(node, deep=True)
    return loader.construct_mapping(node, deep=True)


Loader.add_multi_constructor("!", plain_value)

WORDS = ["alpha", "beta", "gamma", "delta", "kappa", "x y", "tab\there", "ünï", "a:b", ""]


class Generator:
    def __init__(self, rng):
        self.rng = rng
        self.anchors = []      # (name, is_mapping)
        self.count = 0

    def scalar(self):
        r = self.rng
        choice = r.randrange(16)
        if choice == 0:
            return str(r.randrange(-10**6, 10**6))
        if choice == 1:
            return hex(r.randrange(0, 1 << 40)).replace("0x", r.choice(["0x", "0x"]))
        if choice == 2:
            return r.choice(["1.5", "-2.25", "0.1", "3.0", "1.5e+3", "-0.0", "123456.789"])
        if choice == 3:
            return r.choice(["true", "false", "null", "~", "True", "FALSE"])
        if choice == 4:
            return '"' + r.choice(WORDS).replace("\t", "\\t") + '"'
        if choice == 5:
            return "'" + r.choice(["12", "true", "null", "it''s"]) + "'"
        if choice == 6:
            return "!!str " + r.choice(["42", "true", "1.5"])
        if choice == 7:
            return '!!int "' + str(r.randrange(-999, 999)) + '"'
        if choice == 8:
            return '!!float "' + r.choice(["1", "2.5", "-7"]) + '"'
        if choice == 9:
            return r.choice(["!Ref ", "!Sub ", "!GetAtt "]) + r.choice(["name", "42", "0x10", "true", "a.b"])
        if choice == 10:
            return "!!binary " + base64.b64encode(bytes(r.randrange(256) for _ in range(r.randrange(1, 9)))).decode()
        if choice == 11:
            return str(r.randrange(10**19, 10**25)) * 1
        if choice == 12:
            return "!!null ''"
        return r.choice(WORDS[:5])

    def key(self):
        r = self.rng
        return r.choice([r.choice(WORDS[:6]), str(r.randrange(5)), r.choice(["k1", "k2", "k3", "k4"])])

    def anchor(self, text, mapping):
        if self.rng.random() < 0.3:
            self.count += 1
            name = f"a{self.count}"
            # Defined after its own text, so that its aliases only follow it.
            return name, f"&{name} {text}"
        return None, text

    def node(self, depth):
        r = self.rng
        if depth > 3 or r.random() < 0.4:
            if self.anchors and r.random() < 0.15:
                return "*" + r.choice(self.anchors)[0]
            name, text = self.anchor(self.scalar(), False)
            if name:
                self.anchors.append((name, False))
            return text
        if r.random() < 0.5:
            items = [self.node(depth + 1) for _ in range(r.randrange(4))]
            name, text = self.anchor("[" + ", ".join(items) + "]", False)
            if name:
                self.anchors.append((name, False))
            return text
        pairs = []
        maps = [a for a in self.anchors if a[1]]
        for _ in range(r.randrange(5)):
            pairs.append(self.key() + ": " + self.node(depth + 1))
        if maps and r.random() < 0.5:  # anywhere among the pairs: it defines no anchor
            merge = ("<<: *" + r.choice(maps)[0] if r.random() < 0.5 else
                     "<<: [" + ", ".join("*" + r.choice(maps)[0] for _ in range(r.randrange(1, 4))) + "]")
            pairs.insert(r.randrange(len(pairs) + 1), merge)
        name, text = self.anchor("{" + ", ".join(pairs) + "}", True)
        if name:
            self.anchors.append((name, True))
        return text

    def document(self):
        self.anchors = []
        lines = []
        for _ in range(self.rng.randrange(1, 6)):
            lines.append(self.key() + ": " + self.node(1))
        return "\n".join(lines) + "\n"


def json_form(value):
    """What Python's json makes of a loaded value (binary as base64 text)."""
    if isinstance(value, bytes):
        return base64.b64encode(value).decode()
    if isinstance(value, list):
        return [json_form(v) for v in value]
    if isinstance(value, dict):
        return json.loads(json.dumps({k: json_form(v) for k, v in value.items()}))
    return value


def main():
    tool = sys.argv[1]
    rng = random.Random(20261209)
    gen = Generator(rng)
    documents = [gen.document() for _ in range(400)]
    stream = "".join("---\n" + d for d in documents)
    expected = list(yaml.load_all(stream, Loader=Loader))
    failures = 0
    for schema in ("yaml11", "core"):
        out = subprocess.run([tool, "convert", "--schema", schema, "--to", "json", "-"],
                             input=stream.encode(), capture_output=True)
        got = [json.loads(line) for line in out.stdout.decode().splitlines()]
        cb = subprocess.run([tool, "convert", "--schema", schema, "--to", "cbor", "-"],
                            input=stream.encode(), capture_output=True)
        items, f = [], io.BytesIO(cb.stdout)
        while f.tell() < len(cb.stdout):
            items.append(cbor2.load(f))
        if out.returncode or cb.returncode or len(got) != len(expected) or len(items) != len(expected):
            print(f"FAIL {schema}: rc {out.returncode}/{cb.returncode} {out.stderr[:300]!r} {cb.stderr[:300]!r}")
            failures += 1
            continue
        for i, value in enumerate(expected):
            if got[i] != json_form(value) or items[i] != value:
                failures += 1
                if failures < 6:
                    print(f"FAIL {schema} document {i}:\n{documents[i]}json {got[i]}\ncbor {items[i]}\npyyaml {value}")
    print(f"{len(documents)} generated documents, both schemas: {failures} differences")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
