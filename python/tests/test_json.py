import json
import math
import os

import pytest
import zarvel

from conftest import shared_entries, shared_path

SUITE = ("conformance", "json-test-suite")
CASES = [n for n in shared_entries(*SUITE) if n[:2] in ("y_", "n_")]


def same(a, b):
    """Equality that counts NaN equal to NaN."""
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    return type(a) is type(b) and a == b


@pytest.mark.parametrize("name", CASES)
def test_json_test_suite(name):
    with open(shared_path(*SUITE, name), "rb") as f:
        data = f.read()
    if name.startswith("n_"):
        with pytest.raises(zarvel.Error):
            zarvel.loads_json(data)
    else:
        ours = zarvel.loads_json(data)
        try:
            theirs = json.loads(data)
        except ValueError:
            return  # json.loads refuses a few valid texts (such as a UTF-8 BOM-less oddity)
        assert ours == theirs or same(ours, theirs)


@pytest.mark.parametrize("name", ["twitter.json", "citm_catalog.json", "canada.json", "gsoc-2018.json"])
def test_benchmark_files_match_json_module(name):
    with open(shared_path("bench-data", name), "rb") as f:
        data = f.read()
    value = zarvel.loads_json(data)
    assert value == json.loads(data)
    assert json.loads(zarvel.dumps_json(value)) == value


VALUES = [
    ('{"a": [1, -0, 2.5, "x\\u00e9\\n", true, false, null]}', {"a": [1, 0, 2.5, "x\u00e9\n", True, False, None]}),
    ("123456789012345678901234567890", 123456789012345678901234567890),
    ("-9223372036854775809", -9223372036854775809),
    ("1E400", math.inf),
    ('"\\ud83d\\ude00"', "\U0001f600"),
    ('{"k": 1, "k": 2}', {"k": 2}),
    (" [ ] ", []),
]


@pytest.mark.parametrize("text,expected", VALUES)
def test_values(text, expected):
    assert zarvel.loads_json(text) == expected
    assert zarvel.loads_json(text.encode()) == expected


ERRORS = [
    # text, line, column, offset
    ("[1,]", 1, 4, 3),
    ('{"a": 1,\n "b" 2}', 2, 6, 14),
    ("", 1, 1, 0),
    ("[1] x", 1, 5, 4),
]


@pytest.mark.parametrize("text,line,column,offset", ERRORS)
def test_error_positions(text, line, column, offset):
    with pytest.raises(zarvel.Error) as info:
        zarvel.loads_json(text)
    assert (info.value.line, info.value.column, info.value.offset) == (line, column, offset)


DUMPS = [
    {"a": [1, 2.5, "x\n\"\\\x01"], "b": {"c": None, "d": True}, "e": []},
    [1e300, 5e-324, -0.0, 2 ** 80, "caf\u00e9 \U0001f600", {}],
    "plain",
]


@pytest.mark.parametrize("obj", DUMPS)
def test_dumps_json(obj):
    for indent in (None, 2, 0):
        assert zarvel.dumps_json(obj, indent=indent) == json.dumps(obj, indent=indent, ensure_ascii=False)
    assert zarvel.loads_json(zarvel.dumps_json(obj)) == obj


def test_dumps_json_conversions_and_refusals():
    assert zarvel.dumps_json({1: "a", None: "b", 2.5: "c"}) == '{"1": "a", "null": "b", "2.5": "c"}'
    assert zarvel.dumps_json(b"hi") == '"aGk="'
    for bad in (math.nan, math.inf, {(1, 2): 3}, object()):
        with pytest.raises((ValueError, TypeError)):
            zarvel.dumps_json(bad)
