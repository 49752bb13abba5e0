import importlib.util

import pytest

from zarn import _graphql


def test_stub_answers() -> None:
    assert _graphql.graphql_stub() == "zarn-lite _graphql extension loaded"
    assert _graphql.graphql_stub.__text_signature__ == "()"
    assert _graphql.graphql_stub.__module__ == "zarn._graphql"
    with pytest.raises(TypeError):
        _graphql.graphql_stub(1)  # type: ignore[call-arg]


def test_module_contents() -> None:
    assert _graphql.__all__ == ["SchemaEngine", "graphql_stub"]
    assert _graphql.__doc__ == ""
    public = {name for name in vars(_graphql) if not name.startswith("__")}
    assert public == {"SchemaEngine", "graphql_stub"}


def test_second_module_object_shares_the_class() -> None:
    spec = importlib.util.find_spec("zarn._graphql")
    assert spec is not None
    again = importlib.util.module_from_spec(spec)
    assert spec.loader is not None
    spec.loader.exec_module(again)
    assert again.SchemaEngine is _graphql.SchemaEngine
    assert again.__all__ == ["SchemaEngine", "graphql_stub"]
    assert again.graphql_stub is not _graphql.graphql_stub
