"""Hostile input through every method of SchemaEngine.

Each case must give the documented exception or result, and leave the engine
working for the next call: no crash, no hang, no stray request or lost state.
"""

from collections.abc import Callable
from typing import Any

import pytest

from zarn._graphql import SchemaEngine

from conftest import CATALOGUE

TYPENAME = '{"data":{"__typename":"Query"},"errors":[]}'

# Every callable that binds keyword arguments, with one valid call's
# positional arguments; a keyword is added to each.
KEYWORD_CALLS: list[tuple[str, Callable[..., Any], tuple[Any, ...]]] = [
    ("SchemaEngine.__new__()", SchemaEngine, ()),
    ("SchemaEngine.build()", SchemaEngine.build, ("",)),
    ("SchemaEngine.from_tool_metadata()", SchemaEngine.from_tool_metadata, ("",)),
    ("SchemaEngine.execute()", "execute", ("{ __typename }",)),
    ("SchemaEngine.receive_tool_call()", "receive_tool_call", (0,)),
    ("SchemaEngine.respond_tool_call()", "respond_tool_call", ("tool-call-1", "1")),
    ("SchemaEngine.fail_tool_call()", "fail_tool_call", ("tool-call-1", "m")),
]


def bound(engine: SchemaEngine, target: Callable[..., Any] | str) -> Callable[..., Any]:
    return getattr(engine, target) if isinstance(target, str) else target


def assert_healthy(engine: SchemaEngine) -> None:
    """The engine answers, counts its tools and holds no stray request."""
    assert engine.execute("{ __typename }") == TYPENAME
    assert engine.tool_count() == 3
    assert engine.receive_tool_call(0) is None


@pytest.fixture
def engine() -> SchemaEngine:
    return SchemaEngine(CATALOGUE)


class TestKeywordNames:
    @pytest.mark.parametrize("name", ["\ud800", "\udfff", "a\udc80b", "\U0001f600", "nul\0name"])
    @pytest.mark.parametrize(("callable_name", "target", "args"), KEYWORD_CALLS)
    def test_unknown_keyword_is_named_in_the_message(
        self, engine: SchemaEngine, callable_name: str, target: Any, args: tuple[Any, ...], name: str
    ) -> None:
        # A name without a UTF-8 form (a lone surrogate) once crashed the
        # interpreter while the message was built.
        with pytest.raises(TypeError) as info:
            bound(engine, target)(*args, **{name: 1})
        assert str(info.value) == f"{callable_name} got an unexpected keyword argument '{name}'"
        assert_healthy(engine)
