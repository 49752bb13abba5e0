"""Real tool servers behind the engine.

`Gateway` starts the configured tool servers (child processes over stdio, or
streamable HTTP endpoints), speaks the Model Context Protocol to them, builds
a `SchemaEngine` from their tools and forwards each tool call to its server.
"""

from zarn.gateway.catalogue import Collision
from zarn.gateway.config import ConfigError, HttpServerConfig, ServerConfig, StdioServerConfig, read_config
from zarn.gateway.core import Gateway
from zarn.gateway.server import ServerStartError, ServerStatus
from zarn.gateway.transport import MAX_MESSAGE_SIZE

__all__ = [
    "MAX_MESSAGE_SIZE",
    "Collision",
    "ConfigError",
    "Gateway",
    "HttpServerConfig",
    "ServerConfig",
    "ServerStartError",
    "ServerStatus",
    "StdioServerConfig",
    "read_config",
]
