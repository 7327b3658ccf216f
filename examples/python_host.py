#!/usr/bin/env python3
"""A Python host through ctypes: a column plan over a JSON text, its columns
seen as NumPy arrays that share the result's memory (no copy).

    python3 examples/python_host.py PATH-TO-libzarvel.so

Prints "ok" when every check passed; exit status 77 when NumPy is missing.
"""
import ctypes
import sys

try:
    import numpy as np
except ImportError:
    print("skip: numpy is not installed")
    sys.exit(77)

lib = ctypes.CDLL(sys.argv[1] if len(sys.argv) > 1 else "libzarvel.so")
c_status = ctypes.c_int32

lib.zarvel_parse_json.restype = ctypes.c_void_p
lib.zarvel_parse_json.argtypes = [ctypes.c_char_p, ctypes.c_uint64, ctypes.POINTER(c_status)]
lib.zarvel_document_free.restype = ctypes.c_void_p
lib.zarvel_document_free.argtypes = [ctypes.c_void_p]
lib.zarvel_plan_compile.restype = ctypes.c_void_p
lib.zarvel_plan_compile.argtypes = [ctypes.c_char_p, ctypes.c_uint64, ctypes.POINTER(c_status)]
lib.zarvel_plan_free.argtypes = [ctypes.c_void_p]
lib.zarvel_document_plan_walk.restype = ctypes.c_void_p
lib.zarvel_document_plan_walk.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.POINTER(c_status)]
lib.zarvel_plan_result_rows.restype = ctypes.c_uint64
lib.zarvel_plan_result_rows.argtypes = [ctypes.c_void_p]
for name, element in (("ints", ctypes.c_int64), ("floats", ctypes.c_double), ("nulls", ctypes.c_uint8)):
    fn = getattr(lib, "zarvel_plan_result_" + name)
    fn.restype = ctypes.POINTER(element)
    fn.argtypes = [ctypes.c_void_p, ctypes.c_uint64]
lib.zarvel_plan_result_free.argtypes = [ctypes.c_void_p]
lib.zarvel_last_error.restype = ctypes.c_char_p
lib.zarvel_last_error.argtypes = [ctypes.c_void_p, ctypes.c_void_p]


def column(result, name, index, rows):
    """The column's values as a NumPy view into the result (no copy)."""
    pointer = getattr(lib, "zarvel_plan_result_" + name)(result, index)
    if not pointer:
        raise RuntimeError(f"column {index} has no {name} array")
    return np.ctypeslib.as_array(pointer, shape=(rows,))


def main():
    text = b'{"trades": [{"id": 1, "price": 10.5, "qty": 3},' \
           b' {"id": 2, "price": 11.25},' \
           b' {"id": 3, "price": "n/a", "qty": 7}]}'
    plan_text = b'{"kind": "seq", "path": "trades", "children": [' \
                b'{"name": "id", "kind": "int"}, {"name": "price", "kind": "float"},' \
                b' {"name": "qty", "kind": "int"}]}'
    status = c_status(-1)
    document = lib.zarvel_parse_json(text, len(text), ctypes.byref(status))
    if not document:
        sys.exit(f"parse failed: status {status.value}: {lib.zarvel_last_error(None, None).decode()}")
    plan = lib.zarvel_plan_compile(plan_text, len(plan_text), ctypes.byref(status))
    if not plan:
        sys.exit(f"plan refused: status {status.value}")
    result = lib.zarvel_document_plan_walk(document, plan, ctypes.byref(status))
    if not result:
        sys.exit(f"walk failed: status {status.value}")
    rows = lib.zarvel_plan_result_rows(result)

    ids = column(result, "ints", 0, rows)
    prices = np.ma.masked_array(column(result, "floats", 1, rows), mask=column(result, "nulls", 1, rows).astype(bool))
    qty = np.ma.masked_array(column(result, "ints", 2, rows), mask=column(result, "nulls", 2, rows).astype(bool))

    checks = [
        rows == 3,
        ids.tolist() == [1, 2, 3],
        prices.mask.tolist() == [False, False, True],
        prices.compressed().tolist() == [10.5, 11.25],
        qty.mask.tolist() == [False, True, False],
        int(qty.sum()) == 10,
        # A view, not a copy: the array's memory is the result's.
        ids.ctypes.data == ctypes.cast(lib.zarvel_plan_result_ints(result, 0), ctypes.c_void_p).value,
    ]
    lib.zarvel_plan_result_free(result)
    lib.zarvel_plan_free(plan)
    lib.zarvel_document_free(document)
    if not all(checks):
        sys.exit(f"unexpected columns: {checks}")
    print("ok")


main()
