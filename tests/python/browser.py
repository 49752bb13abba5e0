"""Headless Chromium under Selenium for the suites, kept off the network but for loopback.

Without Chromium, chromedriver or Selenium the browser tests skip, unless
ZARN_REQUIRE_SERVERS=1 (CI, whose development root has them all) makes them fail.
"""

import json
import os
import shutil
import tempfile
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any, NoReturn
from urllib.parse import urlsplit

import pytest

CHROMIUM, CHROMEDRIVER = shutil.which("chromium"), shutil.which("chromedriver")


def _unavailable(missing: str) -> NoReturn:
    if os.environ.get("ZARN_REQUIRE_SERVERS") == "1":
        pytest.fail(f"ZARN_REQUIRE_SERVERS=1, but {missing}")
    pytest.skip(f"no browser: {missing}")


@contextmanager
def headless_chromium() -> Iterator[Any]:
    """A fresh headless Chromium (its own profile, no background traffic) with its network log kept."""
    try:
        from selenium import webdriver
    except ImportError:
        _unavailable("selenium is not installed")
    if CHROMIUM is None or CHROMEDRIVER is None:
        _unavailable("chromium and chromedriver are not installed")
    with tempfile.TemporaryDirectory(prefix="zarn-chromium-") as profile:
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for flag in (
            "--headless=new",
            "--no-sandbox",
            "--disable-background-networking",
            "--disable-component-update",
            "--disable-sync",
            "--no-first-run",
            "--disable-dev-shm-usage",
            "--window-size=1280,800",
            f"--user-data-dir={profile}",
        ):
            options.add_argument(flag)
        options.set_capability("goog:loggingPrefs", {"performance": "ALL", "browser": "ALL"})
        driver = webdriver.Chrome(options=options, service=webdriver.ChromeService(executable_path=CHROMEDRIVER))
        try:
            yield driver
        finally:
            driver.quit()


def requested_urls(driver: Any) -> list[str]:
    """Every URL the page has requested since the last call, from the browser's network log
    (the browser's own chrome: pages left out)."""
    urls = []
    for entry in driver.get_log("performance"):
        message = json.loads(entry["message"])["message"]
        if message["method"] == "Network.requestWillBeSent":
            url = message["params"]["request"]["url"]
            if urlsplit(url).scheme != "chrome":
                urls.append(url)
    return urls


def off_loopback(urls: list[str]) -> list[str]:
    """The URLs that would leave this machine (data: and blob: URLs never do)."""
    return [u for u in urls if urlsplit(u).scheme not in ("data", "blob") and urlsplit(u).hostname != "127.0.0.1"]
