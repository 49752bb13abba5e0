"""zarn: a native GraphQL engine over a catalogue of tools.

Every tool of the catalogue becomes one top-level GraphQL field. The engine
itself lives in the extension module ``zarn._graphql``; ``ToolHost`` serves its
tool calls with Python handlers.
"""

from importlib import resources as _resources

from zarn._graphql import SchemaEngine, graphql_stub
from zarn.gateway import Gateway
from zarn.host import Fallback, Handler, RawJson, ToolCall, ToolHost

__version__ = "0.1.0"

__all__ = [
    "Fallback",
    "Gateway",
    "Handler",
    "RawJson",
    "SchemaEngine",
    "ToolCall",
    "ToolHost",
    "graphql_stub",
    "sample_catalogue",
]


def sample_catalogue() -> str:
    """Return the text of the sample catalogue that ships with the package."""
    return _resources.files(__name__).joinpath("sample_catalogue.json").read_text("utf-8")
