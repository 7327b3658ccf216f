"""zarvel: fast YAML 1.2, JSON and CBOR for Python.

Loading builds plain Python objects (dict, list, str, int, float, bool,
None, bytes, datetime) straight from the native library's documents, JSON
tapes and CBOR decoder events. Parsing YAML and JSON and writing YAML text
release the GIL, so a thread pool can load several inputs at once.

YAML values follow PyYAML's safe loader except where the YAML 1.2 core
schema differs: ``yes``/``no``/``on``/``off`` are strings, ``0o17`` is
octal. Aliases give the same Python object as their anchor, so alias bombs
cost nothing; merge keys (``<<``) are applied; custom tags give their plain
value; ``!!binary`` gives bytes; scalar keys keep their type. Loading never
executes anything.
"""

import base64 as _base64
import binascii as _binascii
import datetime as _datetime
import json as _json
import re as _re

from . import _zarvel

__all__ = [
    "Error", "Tagged", "Simple", "load", "load_all", "dump", "dump_all", "loads_json",
    "dumps_json", "loads_cbor", "dumps_cbor", "columns", "__version__",
]

__version__ = _zarvel.version()


class Error(ValueError):
    """Input that is not well-formed. ``line`` and ``column`` are 1-based
    (0 when the input has no lines, as for CBOR); ``offset`` is the byte
    offset in the input."""

    def __init__(self, message, line=0, column=0, offset=0):
        super().__init__(message)
        self.message = message
        self.line = line
        self.column = column
        self.offset = offset

    def __str__(self):
        if self.line:
            return f"{self.message} (line {self.line}, column {self.column})"
        return self.message

    def __reduce__(self):
        return (type(self), (self.message, self.line, self.column, self.offset))


class Tagged:
    """A CBOR tagged value whose tag has no Python type of its own."""

    __slots__ = ("tag", "value")

    def __init__(self, tag, value):
        self.tag = tag
        self.value = value

    def __eq__(self, other):
        if not isinstance(other, Tagged):
            return NotImplemented
        return self.tag == other.tag and self.value == other.value

    def __hash__(self):
        return hash((self.tag, self.value))

    def __repr__(self):
        return f"Tagged({self.tag!r}, {self.value!r})"


class Simple:
    """A CBOR simple value other than false, true, null and undefined."""

    __slots__ = ("value",)

    def __init__(self, value):
        self.value = value

    def __eq__(self, other):
        return isinstance(other, Simple) and self.value == other.value

    def __hash__(self):
        return hash(("simple", self.value))

    def __repr__(self):
        return f"Simple({self.value!r})"


# ---- helpers the native module calls -------------------------------------

_TIMESTAMP = _re.compile(
    r"""^(?P<year>[0-9]{4})-(?P<month>[0-9]{1,2})-(?P<day>[0-9]{1,2})
    (?:(?:[Tt]|[ \t]+)(?P<hour>[0-9]{1,2}):(?P<minute>[0-9]{2}):(?P<second>[0-9]{2})
    (?:\.(?P<fraction>[0-9]*))?
    (?:[ \t]*(?P<tz>Z|(?P<tz_sign>[-+])(?P<tz_hour>[0-9]{1,2})(?::?(?P<tz_minute>[0-9]{2}))?))?)?$""",
    _re.X)


def _timestamp(text):
    """A YAML timestamp as PyYAML gives it: a date, or a datetime (aware
    when the text has a zone); the text itself when it is no timestamp."""
    m = _TIMESTAMP.match(text)
    if not m:
        return text
    year, month, day = int(m["year"]), int(m["month"]), int(m["day"])
    if m["hour"] is None:
        return _datetime.date(year, month, day)
    fraction = int((m["fraction"] or "0")[:6].ljust(6, "0"))
    zone = None
    if m["tz_sign"]:
        delta = _datetime.timedelta(hours=int(m["tz_hour"]), minutes=int(m["tz_minute"] or 0))
        zone = _datetime.timezone(-delta if m["tz_sign"] == "-" else delta)
    elif m["tz"]:
        zone = _datetime.timezone.utc
    return _datetime.datetime(year, month, day, int(m["hour"]), int(m["minute"]),
                              int(m["second"]), fraction, tzinfo=zone)


def _b64decode(text):
    try:
        return _base64.decodebytes(text.encode("ascii"))
    except (UnicodeEncodeError, _binascii.Error) as exc:
        raise Error(f"!!binary value is not base64: {exc}") from None


def _b64encode(data):
    return _base64.b64encode(bytes(data)).decode("ascii")


def _cbor_tag(tag, value):
    """Tags 0 (date/time text) and 1 (epoch seconds) as aware datetimes."""
    try:
        if tag == 0 and isinstance(value, str):
            return _datetime.datetime.fromisoformat(value.replace("Z", "+00:00").replace("z", "+00:00"))
        if tag == 1 and isinstance(value, (int, float)) and not isinstance(value, bool):
            return _datetime.datetime.fromtimestamp(value, _datetime.timezone.utc)
    except (ValueError, OverflowError, OSError):
        pass
    return Tagged(tag, value)


def _datetime_text(value):
    """(kind, ISO text, RFC 3339 text) of a date or datetime, else None.
    Naive datetimes count as UTC, as YAML timestamps without a zone do."""
    if isinstance(value, _datetime.datetime):
        iso = value.isoformat()
        aware = value if value.tzinfo else value.replace(tzinfo=_datetime.timezone.utc)
        rfc = aware.isoformat().replace("+00:00", "Z")
        return ("datetime", iso, rfc)
    if isinstance(value, _datetime.date):
        iso = value.isoformat()
        return ("date", iso, iso)
    return None


_zarvel._setup(Error, Tagged, Simple, _timestamp, _b64decode, _b64encode, _cbor_tag, _datetime_text)


def _input(data):
    """The bytes of str (as UTF-8), bytes-like or file-object input."""
    if isinstance(data, bytes):
        return data
    if isinstance(data, str):
        return data.encode("utf-8")
    if isinstance(data, (bytearray, memoryview)):
        return bytes(data)
    read = getattr(data, "read", None)
    if read is None:
        raise TypeError(f"expected str, bytes or a file object, not {type(data).__name__}")
    return _input(read())


# ---- YAML ---------------------------------------------------------------------


def load(data, *, schema="core", merge=True):
    """The first document of a YAML stream as Python objects; None for a
    stream without documents.

    ``data`` is str, bytes (UTF-8, or UTF-16/32 with a byte order mark), or
    a binary or text file object. ``schema`` is "core" (YAML 1.2) or
    "yaml11" (YAML 1.1 booleans, octals, sexagesimals and timestamps).
    ``merge`` applies ``<<`` merge keys (explicit keys win; earlier mappings
    of a merged sequence win). Raises :class:`Error` with the position."""
    return _zarvel.load(_input(data), schema, merge, True)


def load_all(data, *, schema="core", merge=True):
    """Every document of a YAML stream, as a list; see :func:`load`."""
    return _zarvel.load(_input(data), schema, merge, False)


def dump(obj, *, indent=2, explicit_start=False, sort_keys=False):
    """Block-style YAML text of one object, which YAML 1.2 loaders read
    back to the same value. Strings that would read as another type are
    quoted; bytes are written as ``!!binary``, dates as ``!!timestamp``.
    Shared objects are written out at each place; recursive ones are
    refused. ``indent`` (1 to 16) is the step of nested mappings; sequence
    items stand at their key's indentation."""
    return _zarvel.dump_all([obj], indent, explicit_start, sort_keys)


def dump_all(objs, *, indent=2, explicit_start=False, sort_keys=False):
    """A YAML stream with one document per object; see :func:`dump`."""
    return _zarvel.dump_all(list(objs), indent, explicit_start, sort_keys)


# ---- JSON ------------------------------------------------------------------------


def loads_json(s):
    """A strict JSON text (RFC 8259; str or UTF-8 bytes) as Python objects,
    like :func:`json.loads`. Raises :class:`Error` with the position."""
    return _zarvel.loads_json(_input(s))


def dumps_json(obj, *, indent=None):
    """JSON text of an object, like :func:`json.dumps` with
    ``ensure_ascii=False``; ``indent`` pretty-prints. Infinities and NaN are
    refused (they are not JSON); bytes are written as base64 text and dates
    as ISO text."""
    return _zarvel.dumps_json(obj, -1 if indent is None else int(indent))


# ---- CBOR -------------------------------------------------------------------------


def loads_cbor(b):
    """One CBOR data item (RFC 8949) as Python objects, like ``cbor2.loads``:
    byte strings as bytes, bignums (tags 2 and 3) as int, tags 0 and 1 as
    aware datetimes, other tags as :class:`Tagged`, undefined as None."""
    return _zarvel.loads_cbor(_input(b))


def dumps_cbor(obj):
    """CBOR bytes of an object: shortest heads and the shortest exact float
    width, int beyond 64 bits as bignums, datetimes as tag 0, :class:`Tagged`
    as its tag."""
    return _zarvel.dumps_cbor(obj)


# ---- columns ----------------------------------------------------------------------

_KINDS = {0: "<i8", 1: "<f8", 3: "<i8"}


def columns(plan, data):
    """Typed columns of the records a column plan selects in a YAML or JSON
    text.

    ``plan`` is a dict (or its JSON text) such as ``{"kind": "seq", "path":
    ["items"], "children": [{"name": "id", "kind": "int"}, ...]}`` with
    column kinds int, float, str and bool. Returns a dict from column name
    to a NumPy masked array whose mask marks records without a value; when
    NumPy is not installed, to a list with None in those places."""
    if isinstance(plan, dict):
        plan_dict = plan
        plan_text = _json.dumps(plan).encode("utf-8")
    else:
        plan_text = _input(plan)
        plan_dict = _json.loads(plan_text)
    raw = _zarvel.columns(plan_text, _input(data))
    names = [child["name"] for child in plan_dict["children"]]
    try:
        import numpy as np
    except ImportError:
        np = None
    result = {}
    for name, (kind, values, nulls) in zip(names, raw):
        if np is not None:
            mask = np.frombuffer(nulls, dtype=np.bool_).copy()
            if kind == 2:
                array = np.array(values, dtype=object)
            else:
                array = np.frombuffer(values, dtype=_KINDS[kind]).copy()
                if kind == 3:
                    array = array.astype(np.bool_)
            result[name] = np.ma.masked_array(array, mask=mask)
        else:
            if kind != 2:
                import array as _array
                typed = _array.array("d" if kind == 1 else "q")
                typed.frombytes(values)
                values = [bool(v) if kind == 3 else v for v in typed]
            result[name] = [None if null else v for v, null in zip(values, nulls)]
    return result
