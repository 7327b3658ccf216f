import datetime
import json
import math
import os
import threading

import pytest
import zarvel

from conftest import SHARED, shared_entries, shared_path

SUITE = ("conformance", "yaml-test-suite")


def json_values(text):
    """The JSON values written one after another in an in.json file."""
    decoder, values, pos = json.JSONDecoder(), [], 0
    while True:
        while pos < len(text) and text[pos].isspace():
            pos += 1
        if pos == len(text):
            return values
        value, pos = decoder.raw_decode(text, pos)
        values.append(value)


def suite_cases_with(name):
    """Cases of the YAML suite that hold the given file."""
    return [c for c in shared_entries(*SUITE) if os.path.exists(os.path.join(SHARED, *SUITE, c, name))]


SUITE_CASES = suite_cases_with("in.json")


@pytest.mark.parametrize("case", SUITE_CASES)
def test_suite_case_loads_as_its_json(case):
    folder = shared_path(*SUITE, case)
    with open(os.path.join(folder, "in.yaml"), "rb") as f:
        data = f.read()
    with open(os.path.join(folder, "in.json"), encoding="utf-8") as f:
        expected = json_values(f.read())
    assert zarvel.load_all(data) == expected


ERROR_CASES = suite_cases_with("error")


@pytest.mark.parametrize("case", ERROR_CASES)
def test_suite_error_case_raises_with_a_position(case):
    with open(os.path.join(shared_path(*SUITE, case), "in.yaml"), "rb") as f:
        data = f.read()
    with pytest.raises(zarvel.Error) as info:
        zarvel.load_all(data)
    assert info.value.line >= 1 and 0 <= info.value.offset <= len(data)


VALUES = [
    # text, expected (core schema, merge keys on)
    ("", None),
    ("a: 1\nb: -0x1F\nc: 0o17\nd: 1.5e3\ne: .inf\nf: ~\ng: True\nh: yes", dict(a=1, b=-31, c=15, d=1500.0, e=math.inf, f=None, g=True, h="yes")),
    ("1: one\n2.5: two\nnull: three\ntrue: four", {1: "one", 2.5: "two", None: "three", True: "four"}),
    ("- !!str 42\n- !!int '42'\n- !!float 1\n- ! 12\n- !Ref x\n- !custom [1]", ["42", 42, 1.0, "12", "x", [1]]),
    ("- !port 80\n- !on true\n- !n ~\n- !q '80'\n- !f 0x1F\n- !x a b", [80, True, None, "80", 31, "a b"]),
    ("x: !!binary aGVsbG8=", {"x": b"hello"}),
    ("x: 123456789012345678901234567890", {"x": 123456789012345678901234567890}),
    ("x: -9223372036854775809", {"x": -9223372036854775809}),
    ("base: &b {a: 1, b: 2}\nm:\n  <<: *b\n  b: 3", {"base": {"a": 1, "b": 2}, "m": {"a": 1, "b": 3}}),
    ("- &p {a: 1}\n- &q {a: 2, b: 2}\n- {<<: [*p, *q], c: 3}", [{"a": 1}, {"a": 2, "b": 2}, {"a": 1, "b": 2, "c": 3}]),
    ("m: {b: 0, <<: {a: 1, b: 1}}", {"m": {"a": 1, "b": 0}}),
    ("[a, b]: c", {("a", "b"): "c"}),
    ("t: 2001-12-14", {"t": "2001-12-14"}),
    ("s: |\n  line\n  two\n", {"s": "line\ntwo\n"}),
]


@pytest.mark.parametrize("text,expected", VALUES)
def test_values(text, expected):
    assert zarvel.load(text) == expected


YAML11 = [
    ("a: yes\nb: off\nc: 017\nd: 1:30\ne: 0o17", {"a": True, "b": False, "c": 15, "d": 5400, "e": "0o17"}),
    ("d: 2001-12-14", {"d": datetime.date(2001, 12, 14)}),
    ("t: 2001-12-14t21:59:43.10-05:00", {"t": datetime.datetime(2001, 12, 14, 21, 59, 43, 100000,
                                                                 datetime.timezone(datetime.timedelta(hours=-5)))}),
]


@pytest.mark.parametrize("text,expected", YAML11)
def test_yaml11_schema(text, expected):
    assert zarvel.load(text, schema="yaml11") == expected


def test_merge_off_keeps_the_pair():
    assert zarvel.load("a: &x {k: 1}\nb: {<<: *x}", merge=False) == {"a": {"k": 1}, "b": {"<<": {"k": 1}}}


def test_inputs():
    text = "a: [1, 2]\n"
    expected = {"a": [1, 2]}
    import io
    for data in (text, text.encode(), bytearray(text.encode()), io.StringIO(text), io.BytesIO(text.encode()),
                 "\ufeff".encode("utf-16-le") + text.encode("utf-16-le")):
        assert zarvel.load(data) == expected
    assert zarvel.load_all("") == []
    assert zarvel.load_all("--- 1\n--- [2]\n") == [1, [2]]
    with pytest.raises(ValueError):
        zarvel.load("a: 1", schema="json5")


def test_aliases_share_the_object():
    doc = zarvel.load("a: &x [1, {k: v}]\nb: *x\nc: [*x, *x]\nd: &s text\ne: *s")
    assert doc["a"] is doc["b"] is doc["c"][0] is doc["c"][1]
    doc["a"].append(2)
    assert doc["b"] == [1, {"k": "v"}, 2]
    # A billion-laughs text costs one object per level.
    levels = ["a0: &a0 [x, x, x, x, x, x, x, x, x]"]
    levels += [f"a{i}: &a{i} [{', '.join([f'*a{i - 1}'] * 9)}]" for i in range(1, 10)]
    bomb = zarvel.load("\n".join(levels))
    assert bomb["a9"][0] is bomb["a8"] and len(bomb["a9"]) == 9


def test_recursive_alias():
    doc = zarvel.load("&r [1, *r]")
    assert doc[1] is doc


ERRORS = [
    # text, line, column, offset of the reported position
    ("a: [1, 2\n", None, None, None),
    ("a: 1\n b: 2\n", 2, None, None),
    ("key: \"unterminated\n", None, None, None),
    ("a: *nowhere\n", 1, None, None),
    ("- a\n\t- b\n", 2, None, None),
]


@pytest.mark.parametrize("text,line,column,offset", ERRORS)
def test_error_positions(text, line, column, offset):
    with pytest.raises(zarvel.Error) as info:
        zarvel.load(text)
    error = info.value
    assert isinstance(error, ValueError) and error.message
    assert error.line >= 1 and error.column >= 1
    assert 0 <= error.offset <= len(text.encode())
    if line is not None:
        assert error.line == line
    # The offset and the line/column name the same place.
    data = text.encode()
    assert data[:error.offset].count(b"\n") + 1 == error.line


ROUND_TRIPS = [
    {"a": 1, "b": [1.5, -2, "x"], "c": {"d": None, "e": True}},
    ["", " lead", "trail ", "a: b", "# c", "- d", "---", "yes", "No", "0x1F", "1e3", "~", "null", "=", "<<"],
    {"multi": "one\ntwo\n", "keep": "x\n\n", "strip": "a\nb", "spaces": "  indented\nx\n", "tab": "a\tb"},
    {"ctl": "\x00\x07\x1b\x7f", "uni": "caf\u00e9 \u2028 \U0001f600", "quote": "it's \"q\""},
    {1: "int key", 2.5: "float key", None: "null key", True: "bool key", "": "empty key"},
    [float("inf"), float("-inf"), 1e300, 5e-324, 0.1, -0.0, 2 ** 70, -(2 ** 64)],
    {"bin": b"\x00\xffbytes", "empty": [], "empty_map": {}, "nested": [[[]], [{}]]},
    {"date": datetime.date(2020, 1, 2), "at": datetime.datetime(2020, 1, 2, 3, 4, 5, tzinfo=datetime.timezone.utc)},
    "just a scalar",
    None,
]


@pytest.mark.parametrize("obj", ROUND_TRIPS)
def test_dump_load_round_trip(obj):
    text = zarvel.dump(obj)
    assert zarvel.load(text, schema="yaml11" if "date" in str(obj) else "core") == obj
    assert zarvel.load_all(zarvel.dump_all([obj, obj])) == [obj, obj]


def test_dump_reads_back_in_pyyaml():
    yaml = pytest.importorskip("yaml")
    for obj in ROUND_TRIPS[:6]:
        text = zarvel.dump(obj)
        assert yaml.load(text, Loader=yaml.SafeLoader) == obj, text


def test_dump_options():
    assert zarvel.dump({"b": 1, "a": [1, 2]}) == "b: 1\na:\n- 1\n- 2\n"
    assert zarvel.dump({"b": 1, "a": 2}, sort_keys=True) == "a: 2\nb: 1\n"
    assert zarvel.dump_all([1, [2]]) == "---\n1\n---\n- 2\n"
    assert zarvel.dump(1, explicit_start=True) == "--- 1\n"
    assert zarvel.dump_all([]) == ""
    assert zarvel.dump({"a": {"b": [1]}}, indent=4) == "a:\n    b:\n    - 1\n"
    with pytest.raises(ValueError):
        zarvel.dump({}, indent=0)
    loop = []
    loop.append(loop)
    with pytest.raises(ValueError):
        zarvel.dump(loop)
    with pytest.raises(TypeError):
        zarvel.dump({"x": object()})


@pytest.mark.parametrize("name", ["k8s-argocd-install.yaml", "openapi-twilio-api-v2010.yaml", "i18n-faker-hy.yaml"])
def test_real_files_match_pyyaml_and_round_trip(name):
    yaml = pytest.importorskip("yaml")
    with open(shared_path("bench-data", name), "rb") as f:
        data = f.read()
    ours = zarvel.load_all(data)
    assert ours == list(yaml.load_all(data, Loader=yaml.CSafeLoader))
    assert zarvel.load_all(zarvel.dump_all(ours)) == ours


def test_threads_load_in_parallel():
    text = ("- {id: %d, name: item, tags: [a, b, c]}\n" * 2000) % tuple(range(2000))
    expected = zarvel.load(text)
    results = [None] * 4

    def work(i):
        results[i] = zarvel.load(text.encode())

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(r == expected for r in results)
