import base64
import datetime
import json
import math

import pytest
import zarvel

from conftest import SHARED, shared_path

cbor2 = pytest.importorskip("cbor2")


def appendix_vectors():
    try:
        with open(f"{SHARED}/conformance/cbor/appendix_a.json") as f:
            return json.load(f)
    except OSError:
        return []


VECTORS = appendix_vectors()


@pytest.mark.parametrize("vector", VECTORS, ids=[v["hex"] for v in VECTORS])
def test_appendix_a_decodes_as_cbor2_does(vector):
    data = bytes.fromhex(vector["hex"])
    if vector["hex"] == "f818":
        with pytest.raises(zarvel.Error):
            zarvel.loads_cbor(data)
        return
    ours = zarvel.loads_cbor(data)
    theirs = cbor2.loads(data)
    if isinstance(theirs, float) and math.isnan(theirs):
        assert math.isnan(ours)
    elif isinstance(theirs, cbor2.CBORTag):
        assert ours == zarvel.Tagged(theirs.tag, theirs.value)
    elif isinstance(theirs, cbor2.CBORSimpleValue):
        assert ours == zarvel.Simple(theirs.value)
    elif theirs is cbor2.undefined:
        assert ours is None
    else:
        assert ours == theirs and type(ours) is type(theirs)


ROUND_TRIPS = [
    0, 23, 24, 255, 256, 65536, 2 ** 32, 2 ** 63 - 1, 2 ** 63, 2 ** 64 - 1, 2 ** 64, 2 ** 100,
    -1, -24, -25, -(2 ** 63), -(2 ** 63) - 1, -(2 ** 64), -(2 ** 64) - 1, -(2 ** 100),
    0.0, -0.0, 1.5, 0.1, 65504.0, 100000.0, 5.960464477539063e-08, 1e300, math.inf, -math.inf,
    "", "caf\u00e9", b"", b"\x00\xff", [], [1, [2, [3]]], {}, {"a": 1, 2: "b", 1.5: None, True: False},
    {b"key": [1.0, 1e19]}, [9223372036854775808.0, 18446744073709551616.0],
    datetime.datetime(2013, 3, 21, 20, 4, tzinfo=datetime.timezone.utc),
    zarvel.Tagged(1234, [1, "x"]),
]


@pytest.mark.parametrize("value", ROUND_TRIPS, ids=repr)
def test_round_trips_against_cbor2(value):
    theirs_value = cbor2.CBORTag(value.tag, value.value) if isinstance(value, zarvel.Tagged) else value
    ours = zarvel.dumps_cbor(value)
    back = cbor2.loads(ours)
    assert back == theirs_value and type(back) is type(theirs_value)
    decoded = zarvel.loads_cbor(cbor2.dumps(theirs_value))
    assert decoded == value and type(decoded) is type(value)
    assert zarvel.loads_cbor(ours) == value


def test_shortest_float_widths():
    assert zarvel.dumps_cbor(1.5).hex() == "f93e00"
    assert zarvel.dumps_cbor(100000.0).hex() == "fa47c35000"
    assert zarvel.dumps_cbor(0.1).hex() == "fb3fb999999999999a"
    assert zarvel.dumps_cbor(math.nan).hex() == "f97e00"


def test_tags_and_mixed_big_integers():
    assert zarvel.loads_cbor(bytes.fromhex("c11a514b67b0")) == datetime.datetime(2013, 3, 21, 20, 4, tzinfo=datetime.timezone.utc)
    assert zarvel.loads_cbor(bytes.fromhex("d9d9f7820102")) == [1, 2]  # self-described
    mixed = [1e19, 2 ** 64 - 1, {"k": -(2 ** 64)}, 1.8446744073709552e19, -(2 ** 63) - 1]
    assert zarvel.loads_cbor(cbor2.dumps(mixed)) == mixed


ERRORS = [
    # bytes, offset named
    ("", 0),
    ("0000", 1),
    ("bf01ff", 2),
    ("62c328", 1),
    ("a1810000", 1),
]


@pytest.mark.parametrize("hex_bytes,offset", ERRORS)
def test_errors(hex_bytes, offset):
    with pytest.raises(zarvel.Error) as info:
        zarvel.loads_cbor(bytes.fromhex(hex_bytes))
    assert info.value.offset == offset
