import gc
import sys

import pytest
from conftest import CATALOGUE

from zarn._graphql import SchemaEngine

EMPTY = "zarn-lite GraphQL schema engine stub (0 tool fields)"


def notes(info: pytest.ExceptionInfo[BaseException]) -> list[str]:
    return list(getattr(info.value, "__notes__", []))


class TestClassProperties:
    def test_names(self) -> None:
        assert SchemaEngine.__name__ == "SchemaEngine"
        assert SchemaEngine.__qualname__ == "SchemaEngine"
        assert SchemaEngine.__module__ == "builtins"
        assert repr(SchemaEngine()).startswith("<builtins.SchemaEngine object at ")
        assert SchemaEngine.__bases__ == (object,)

    def test_signature_and_doc(self) -> None:
        assert SchemaEngine.__text_signature__ == "(catalogue_json=None)"
        doc = SchemaEngine.__doc__
        assert doc is not None
        assert doc.splitlines()[0] == "Minimal GraphQL schema engine exposed to Python."
        assert "one-shot reply" in doc and "interpreter lock" in doc

    def test_not_subclassable(self) -> None:
        with pytest.raises(TypeError):
            type("Sub", (SchemaEngine,), {})

    def test_no_dict_no_weakref_no_gc(self) -> None:
        engine = SchemaEngine()
        with pytest.raises(AttributeError):
            engine.__dict__  # noqa: B018
        with pytest.raises(AttributeError):
            engine.extra = 1  # type: ignore[attr-defined]
        import weakref

        with pytest.raises(TypeError):
            weakref.ref(engine)
        assert not gc.is_tracked(engine)

    @pytest.mark.parametrize(
        ("name", "signature"),
        [
            ("build", "($cls, catalogue_json)"),
            ("from_tool_metadata", "($cls, catalogue_json)"),
            ("describe", "($self)"),
            ("tool_count", "($self)"),
            ("attach_call_bridge", "($self)"),
            ("detach_call_bridge", "($self)"),
            ("receive_tool_call", "($self, timeout_ms=...)"),
            ("respond_tool_call", "($self, request_id, result_json)"),
            ("fail_tool_call", "($self, request_id, message)"),
            ("execute", "($self, query, variables_json=None)"),
        ],
    )
    def test_method_signatures(self, name: str, signature: str) -> None:
        method = vars(SchemaEngine)[name]
        assert method.__text_signature__ == signature
        assert method.__doc__ is None

    def test_class_attributes_are_the_methods(self) -> None:
        own = [name for name in vars(SchemaEngine) if not name.startswith("__")]
        assert own == [
            "build",
            "from_tool_metadata",
            "describe",
            "tool_count",
            "attach_call_bridge",
            "detach_call_bridge",
            "receive_tool_call",
            "respond_tool_call",
            "fail_tool_call",
            "execute",
        ]


class TestConstruction:
    @pytest.mark.parametrize(
        "make",
        [
            lambda: SchemaEngine(),
            lambda: SchemaEngine(None),
            lambda: SchemaEngine(""),
            lambda: SchemaEngine(" \n\t\r\n "),
            lambda: SchemaEngine(catalogue_json=None),
            lambda: SchemaEngine.build(""),
            lambda: SchemaEngine.from_tool_metadata("  "),
        ],
    )
    def test_empty_engines(self, make) -> None:  # type: ignore[no-untyped-def]
        engine = make()
        assert engine.tool_count() == 0
        assert engine.describe() == EMPTY

    def test_catalogue(self) -> None:
        engine = SchemaEngine(CATALOGUE)
        assert engine.tool_count() == 3
        assert engine.describe() == "zarn-lite GraphQL schema engine stub (3 tool fields)"

    def test_duplicates_count(self) -> None:
        engine = SchemaEngine('{"server":"srv","tools":[{"name":"é"},{"name":"ü"}]}')
        assert engine.tool_count() == 2

    @pytest.mark.parametrize("factory", [SchemaEngine.build, SchemaEngine.from_tool_metadata])
    def test_class_methods_build_plain_engines(self, factory) -> None:  # type: ignore[no-untyped-def]
        engine = factory(catalogue_json=CATALOGUE)
        assert type(engine) is SchemaEngine
        assert engine.tool_count() == 3

    def test_build_and_from_tool_metadata_agree(self) -> None:
        for text in ["", "[]", CATALOGUE, '{"server":"a","name":"x"}']:
            a = SchemaEngine.build(text)
            b = SchemaEngine.from_tool_metadata(text)
            assert a.tool_count() == b.tool_count()
            assert a.execute("{ search servers }") == b.execute("{ search servers }")

    @pytest.mark.parametrize(
        ("text", "message"),
        [
            ("{", "invalid catalogue JSON: EOF while parsing an object at line 1 column 1"),
            ("[1, 2", "invalid catalogue JSON: EOF while parsing a list at line 1 column 5"),
            ("[1] x", "invalid catalogue JSON: trailing characters at line 1 column 5"),
            ("\u00a0[]", "invalid catalogue JSON: expected value at line 1 column 1"),
        ],
    )
    def test_invalid_catalogue(self, text: str, message: str) -> None:
        for factory in (SchemaEngine, SchemaEngine.build, SchemaEngine.from_tool_metadata):
            with pytest.raises(ValueError) as info:
                factory(text)
            assert str(info.value) == message
            assert type(info.value) is ValueError

    def test_deep_nesting_is_a_value_error(self) -> None:
        with pytest.raises(ValueError, match="^invalid catalogue JSON: recursion limit exceeded"):
            SchemaEngine("[" * 1_000_000)


class TestArgumentBinding:
    @pytest.mark.parametrize(
        ("call", "message"),
        [
            (lambda e: e.execute(), "SchemaEngine.execute() missing 1 required positional argument: 'query'"),
            (
                lambda e: e.respond_tool_call(),
                "SchemaEngine.respond_tool_call() missing 2 required positional arguments: "
                "'request_id' and 'result_json'",
            ),
            (
                lambda e: e.fail_tool_call("x"),
                "SchemaEngine.fail_tool_call() missing 1 required positional argument: 'message'",
            ),
            (
                lambda e: e.execute("{a}", None, 1),
                "SchemaEngine.execute() takes from 1 to 2 positional arguments but 3 were given",
            ),
            (
                lambda e: e.respond_tool_call("a", "b", "c"),
                "SchemaEngine.respond_tool_call() takes 2 positional arguments but 3 were given",
            ),
            (
                lambda e: e.receive_tool_call(1, 2),
                "SchemaEngine.receive_tool_call() takes from 0 to 1 positional arguments but 2 were given",
            ),
            (
                lambda e: e.execute("{a}", nope=1),
                "SchemaEngine.execute() got an unexpected keyword argument 'nope'",
            ),
            (
                lambda e: e.execute("{a}", query="{b}"),
                "SchemaEngine.execute() got multiple values for argument 'query'",
            ),
            (
                lambda e: SchemaEngine.build(),
                "SchemaEngine.build() missing 1 required positional argument: 'catalogue_json'",
            ),
            (
                lambda e: SchemaEngine.from_tool_metadata("", ""),
                "SchemaEngine.from_tool_metadata() takes 1 positional arguments but 2 were given",
            ),
            (
                lambda e: SchemaEngine("", ""),
                "SchemaEngine.__new__() takes from 0 to 1 positional arguments but 2 were given",
            ),
            (
                lambda e: SchemaEngine(catalog_json=""),
                "SchemaEngine.__new__() got an unexpected keyword argument 'catalog_json'",
            ),
            (
                lambda e: SchemaEngine("", catalogue_json=""),
                "SchemaEngine.__new__() got multiple values for argument 'catalogue_json'",
            ),
        ],
    )
    def test_binding_messages(self, call, message: str) -> None:  # type: ignore[no-untyped-def]
        with pytest.raises(TypeError) as info:
            call(SchemaEngine())
        assert str(info.value) == message
        assert notes(info) == []

    @pytest.mark.parametrize("name", ["describe", "tool_count", "attach_call_bridge", "detach_call_bridge"])
    def test_no_argument_methods_reject_arguments(self, name: str) -> None:
        with pytest.raises(TypeError):
            getattr(SchemaEngine(), name)(1)

    @pytest.mark.parametrize(
        ("call", "param", "kind", "message"),
        [
            (lambda e: SchemaEngine.build(None), "catalogue_json", TypeError, "'None' is not an instance of 'str'"),
            (lambda e: SchemaEngine(5), "catalogue_json", TypeError, "'int' object is not an instance of 'str'"),
            (
                lambda e: SchemaEngine.build(b"[]"),
                "catalogue_json",
                TypeError,
                "'bytes' object is not an instance of 'str'",
            ),
            (lambda e: e.execute(None), "query", TypeError, "'None' is not an instance of 'str'"),
            (
                lambda e: e.execute("{a}", 3.5),
                "variables_json",
                TypeError,
                "'float' object is not an instance of 'str'",
            ),
            (lambda e: e.respond_tool_call("id", None), "result_json", TypeError, "'None' is not an instance of 'str'"),
            (lambda e: e.fail_tool_call(1, "m"), "request_id", TypeError, "'int' object is not an instance of 'str'"),
            (lambda e: e.execute("\ud800"), "query", UnicodeEncodeError, None),
            (lambda e: SchemaEngine("\udfff"), "catalogue_json", UnicodeEncodeError, None),
            (lambda e: e.receive_tool_call(None), "timeout_ms", TypeError, None),
            (lambda e: e.receive_tool_call("5"), "timeout_ms", TypeError, None),
            (lambda e: e.receive_tool_call(-1), "timeout_ms", OverflowError, None),
            (lambda e: e.receive_tool_call(2**64), "timeout_ms", OverflowError, None),
            (lambda e: e.receive_tool_call(timeout_ms=1.5), "timeout_ms", TypeError, None),
        ],
    )
    def test_conversion_errors_carry_the_note(self, call, param: str, kind: type, message: str | None) -> None:  # type: ignore[no-untyped-def]
        with pytest.raises(kind) as info:
            call(SchemaEngine())
        assert type(info.value) is kind
        if message is not None:
            assert str(info.value) == message
        assert notes(info) == [f"while processing '{param}'"]

    def test_nested_class_name_is_qualified(self) -> None:
        class Outer:
            class Inner:
                pass

        with pytest.raises(
            TypeError,
            match=r"^'TestArgumentBinding\.test_nested_class_name_is_qualified\.<locals>\.Outer\.Inner' object",
        ):
            SchemaEngine.build(Outer.Inner())  # type: ignore[arg-type]

    def test_str_subclasses_are_accepted(self) -> None:
        class Text(str):
            pass

        engine = SchemaEngine.build(Text('{"server":"a","name":"x"}'))
        assert engine.tool_count() == 1
        assert engine.execute(Text("{ __typename }")) == '{"data":{"__typename":"Query"},"errors":[]}'

    def test_index_objects_are_accepted_for_timeouts(self) -> None:
        class Zero:
            def __index__(self) -> int:
                return 0

        assert SchemaEngine().receive_tool_call(Zero()) is None  # type: ignore[arg-type]

    def test_raising_index_keeps_its_exception(self) -> None:
        class Bad:
            def __index__(self) -> int:
                raise KeyError("boom")

        with pytest.raises(KeyError) as info:
            SchemaEngine().receive_tool_call(Bad())  # type: ignore[arg-type]
        assert notes(info) == ["while processing 'timeout_ms'"]


def test_refcounts_unchanged_after_failing_calls() -> None:
    engine = SchemaEngine()
    text = "{ __typename }"
    before = sys.getrefcount(text), sys.getrefcount(engine)
    for _ in range(1000):
        engine.execute(text)
        with pytest.raises(TypeError):
            engine.execute(text, 5)  # type: ignore[arg-type]
    assert (sys.getrefcount(text), sys.getrefcount(engine)) == before
