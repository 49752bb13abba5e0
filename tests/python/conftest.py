import pytest

from zarn import _graphql

CATALOGUE = """[
  {"server": "alpha", "serverDescription": "First server", "tools": [
    {"name": "lookup", "description": "Look a thing up"},
    {"name": "store", "annotations": {"readOnlyHint": false}}
  ]},
  {"server": "beta", "tools": [{"name": "echo"}]}
]"""


@pytest.fixture
def engine() -> _graphql.SchemaEngine:
    return _graphql.SchemaEngine(CATALOGUE)
