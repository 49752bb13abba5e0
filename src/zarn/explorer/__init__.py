"""The explorer: a GraphiQL page that ships with the package and fetches nothing from elsewhere.

`index.html`, `explorer.js` and `explorer.css` in this directory are built by
`web/explorer/` in the source tree (GraphiQL and React bundled by esbuild,
fonts inlined). The HTTP app serves `page()`: one HTML document with the
script and stylesheet inlined, so it needs no other route and works wherever
the app is mounted; the script posts its queries to the path the page was
served from. A Content-Security-Policy in the page (and in `page_headers()`)
lets the browser load nothing and connect nowhere but the page's own origin,
so a tool description that links an image elsewhere cannot make it fetch.
"""

from __future__ import annotations

import base64
import functools
import gzip
import hashlib
from importlib import resources

__all__ = ["FILES", "content_security_policy", "page", "page_gzip", "page_headers", "read_file"]

FILES = ("index.html", "explorer.js", "explorer.css", "LICENSES.txt")
_STYLESHEET = '<link rel="stylesheet" href="explorer.css">'
_SCRIPT = '<script src="explorer.js"></script>'
_CHARSET = '<meta charset="utf-8">'


def read_file(name: str) -> bytes:
    """One of the explorer's `FILES`, as shipped."""
    if name not in FILES:
        raise ValueError(f"no explorer file named {name!r}")
    return resources.files(__name__).joinpath(name).read_bytes()


@functools.cache
def content_security_policy() -> str:
    """What the page may load: its inlined script (by hash), inline styles, data: fonts and
    images, and requests to its own origin only."""
    digest = base64.b64encode(hashlib.sha256(read_file("explorer.js")).digest()).decode("ascii")
    return (
        f"default-src 'none'; script-src 'sha256-{digest}'; style-src 'unsafe-inline'; "
        "font-src data:; img-src 'self' data:; connect-src 'self'; base-uri 'none'; form-action 'none'"
    )


@functools.cache
def page() -> bytes:
    """The explorer page: one HTML document with its script and stylesheet inlined."""
    html = read_file("index.html").decode("utf-8")
    for tag in (_STYLESHEET, _SCRIPT, _CHARSET):
        if html.count(tag) != 1:
            raise RuntimeError(f"the explorer's index.html must hold {tag} exactly once")
    script, stylesheet = read_file("explorer.js").decode("utf-8"), read_file("explorer.css").decode("utf-8")
    # The build refuses bundles that would end these elements early; a rebuilt bundle is checked again here.
    if "</script" in script.lower() or "</style" in stylesheet.lower():
        raise RuntimeError("the explorer's bundle holds an end tag and cannot be inlined")
    policy = f'<meta http-equiv="Content-Security-Policy" content="{content_security_policy()}">'
    html = html.replace(_CHARSET, f"{_CHARSET}\n    {policy}")
    html = html.replace(_STYLESHEET, f"<style>{stylesheet}</style>")
    html = html.replace(_SCRIPT, f"<script>{script}</script>")
    return html.encode("utf-8")


@functools.cache
def page_gzip() -> bytes:
    """`page()` compressed with gzip, for clients that accept it (about a third of its size)."""
    return gzip.compress(page(), compresslevel=9, mtime=0)


def page_headers(*, gzipped: bool = False) -> list[tuple[bytes, bytes]]:
    """ASGI response headers for `page()` (or `page_gzip()` when `gzipped`)."""
    body = page_gzip() if gzipped else page()
    headers = [
        (b"content-type", b"text/html; charset=utf-8"),
        (b"content-length", str(len(body)).encode("ascii")),
        (b"content-security-policy", f"{content_security_policy()}; frame-ancestors 'none'".encode("ascii")),
        (b"x-content-type-options", b"nosniff"),
        (b"referrer-policy", b"no-referrer"),
        (b"vary", b"Accept, Accept-Encoding"),
    ]
    if gzipped:
        headers.append((b"content-encoding", b"gzip"))
    return headers
