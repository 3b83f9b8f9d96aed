"""The template preview command, run as users run it, and the browser under it."""

import json
import os
import struct
import subprocess
import sys
import zlib

import pytest
from conftest import require

from corvenda import _chromium


@pytest.fixture
def chromium():
    require("chromium")


def preview(*args, env=None):
    return subprocess.run([sys.executable, "-m", "corvenda.template", "preview", *args],
                          capture_output=True, text=True, timeout=120, env=os.environ | (env or {}))


def png_info(path):
    """Return (width, height, top-left pixel) of a PNG written by Chromium."""
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    width, height = struct.unpack(">II", data[16:24])
    idat, pos = b"", 8
    while pos < len(data):
        (length,) = struct.unpack(">I", data[pos:pos + 4])
        if data[pos + 4:pos + 8] == b"IDAT":
            idat += data[pos + 8:pos + 8 + length]
        pos += 12 + length
    row = zlib.decompress(idat)  # every PNG filter leaves the first pixel of the first row as it is
    return width, height, "#" + row[1:4].hex()


def test_preview_writes_html_and_text(tmp_path):
    done = preview("notification", "--out", str(tmp_path))
    assert done.returncode == 0, done.stderr
    assert "Build #742 is ready" in (tmp_path / "notification.html").read_text()
    assert "Build #742 is ready" in (tmp_path / "notification.txt").read_text()

    (tmp_path / "tpl").mkdir()
    (tmp_path / "tpl" / "hi.html").write_text('{% extends "layout.html" %}{% block content %}<p>{{ who }}</p>{% endblock %}')
    (tmp_path / "tpl" / "hi.txt").write_text("Hi {{ who }}, {{ occurred_at[:2] }}")
    (tmp_path / "vars.json").write_text(json.dumps({"who": "Ann & Bob"}))
    done = preview("hi", "--template-dir", str(tmp_path / "tpl"), "--context", str(tmp_path / "vars.json"),
                   "--out", str(tmp_path / "out"))
    assert done.returncode == 0, done.stderr
    assert "<p>Ann &amp; Bob</p>" in (tmp_path / "out" / "hi.html").read_text()
    assert (tmp_path / "out" / "hi.txt").read_text() == "Hi Ann & Bob, 20\n"

    done = preview("hi", "--template-dir", str(tmp_path / "tpl"), "--out", str(tmp_path / "none"))
    assert done.returncode == 1 and "'who' is undefined" in done.stderr and "--context" in done.stderr

    done = preview("password_reset", "--png", "--out", str(tmp_path / "nochrome"),
                   env={"CORVENDA_CHROMIUM": str(tmp_path / "no-such-browser")})
    assert done.returncode == 1 and "Chromium is not installed" in done.stderr
    assert sorted(os.listdir(tmp_path / "nochrome")) == ["password_reset.html", "password_reset.txt"]


@pytest.mark.usefixtures("chromium")
def test_preview_png_takes_four_screenshots(tmp_path):
    done = preview("verification_code", "--png", "--out", str(tmp_path))
    assert done.returncode == 0, done.stderr
    shots = {name: png_info(tmp_path / name) for name in sorted(os.listdir(tmp_path)) if name.endswith(".png")}
    assert {name: (width, pixel) for name, (width, _, pixel) in shots.items()} == {
        "verification_code-375-dark.png": (375, "#111827"),
        "verification_code-375-light.png": (375, "#f3f4f6"),
        "verification_code-600-dark.png": (600, "#111827"),
        "verification_code-600-light.png": (600, "#f3f4f6"),
    }
    assert all(200 < height < 2000 for _, height, _ in shots.values())


@pytest.mark.usefixtures("chromium")
def test_browser_evaluates_and_always_stops():
    with _chromium.Browser(timeout=10) as browser:
        page = browser.open("<p style='width:900px'>x</p>", width=375)
        assert page.evaluate("[document.documentElement.scrollWidth, innerWidth]") == [908, 375]
        with pytest.raises(_chromium.BrowserError, match="boom"):
            page.evaluate("Promise.reject(new Error('boom'))")
        pid, profile = browser._pid, browser._profile
    with pytest.raises(ChildProcessError):
        os.waitpid(pid, os.WNOHANG)
    assert not os.path.exists(profile)


@pytest.mark.usefixtures("chromium")
def test_browser_waits_are_bounded_and_failures_clear(monkeypatch):
    with _chromium.Browser(timeout=2) as browser:
        page = browser.open("<p>x</p>", dark=True)
        assert page.evaluate("matchMedia('(prefers-color-scheme: dark)').matches") is True
        with pytest.raises(_chromium.BrowserError, match="within 2 s"):
            page.evaluate("new Promise(() => {})")
        assert page.evaluate("6 * 7") == 42  # the late answer does not confuse the next one
    with pytest.raises(_chromium.BrowserError, match="exited"):
        _chromium.Browser("/bin/true", timeout=5)
    monkeypatch.setenv("CORVENDA_CHROMIUM", "no-such-browser")
    with pytest.raises(_chromium.ChromiumNotFound, match="not installed"):
        _chromium.Browser()
