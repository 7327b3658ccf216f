import builtins
import json

import pytest
import zarvel

PLAN = {"kind": "seq", "path": ["items"], "children": [
    {"name": "id", "kind": "int"}, {"name": "price", "kind": "float"},
    {"name": "name", "kind": "str"}, {"name": "ok", "kind": "bool"}]}
JSON_DATA = json.dumps({"items": [
    {"id": 1, "price": 2.5, "name": "a", "ok": True},
    {"id": 2, "name": "b"},
    {"price": 4.0, "ok": False},
]})
YAML_DATA = "items:\n- {id: 1, price: 2.5, name: a, ok: true}\n- {id: 2, name: b}\n- {price: 4.0, ok: false}\n"
EXPECTED = {"id": [1, 2, None], "price": [2.5, None, 4.0], "name": ["a", "b", None], "ok": [True, None, False]}


@pytest.mark.parametrize("data", [JSON_DATA, YAML_DATA, JSON_DATA.encode()])
@pytest.mark.parametrize("plan", [PLAN, json.dumps(PLAN)])
def test_columns_with_numpy(data, plan):
    np = pytest.importorskip("numpy")
    result = zarvel.columns(plan, data)
    assert list(result) == list(EXPECTED)
    assert result["id"].dtype == np.int64 and result["price"].dtype == np.float64
    assert result["ok"].dtype == np.bool_ and result["name"].dtype == object
    for name, expected in EXPECTED.items():
        assert result[name].tolist() == expected
        assert result[name].mask.tolist() == [v is None for v in expected]


def test_columns_without_numpy(monkeypatch):
    real_import = builtins.__import__

    def no_numpy(name, *args, **kwargs):
        if name == "numpy":
            raise ImportError("no numpy")
        return real_import(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", no_numpy)
    assert zarvel.columns(PLAN, JSON_DATA) == EXPECTED


def test_column_errors():
    with pytest.raises(zarvel.Error):
        zarvel.columns({"kind": "seq", "children": []}, JSON_DATA)
    with pytest.raises(zarvel.Error):
        zarvel.columns({"kind": "seq", "path": "nowhere", "children": [{"name": "id", "kind": "int"}]}, JSON_DATA)
    with pytest.raises(zarvel.Error):
        zarvel.columns(PLAN, "items: [1, 2")
