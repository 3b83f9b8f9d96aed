"""The template preview command, run as users run it, and the browser under it."""

import html
import json
import os
import re
import struct
import subprocess
import sys
import zlib

import pytest
from conftest import require
from previews import write_gallery

from corvenda.preview import _chromium
from corvenda.preview.__main__ import main


@pytest.fixture
def chromium():
    require("chromium")


def preview(capsys, *args):
    """The preview command as `python -m corvenda.template preview ARGS` runs it: (status, stdout, stderr)."""
    try:
        status = main(["preview", *args])
    except SystemExit as exit:
        status = exit.code
    out = capsys.readouterr()
    return status, out.out, out.err


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


def test_the_module_runs_the_preview_command(tmp_path):
    done = subprocess.run([sys.executable, "-m", "corvenda.template", "preview", "notification", "--out", str(tmp_path)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == [str(tmp_path / "notification.html"), str(tmp_path / "notification.txt")]
    assert "Build #742 is ready" in (tmp_path / "notification.html").read_text()
    assert "Build #742 is ready" in (tmp_path / "notification.txt").read_text()


# Runs `python -m corvenda.template ARGS` as -m does and prints the module names
# corvenda/template/__init__.py was executed under.
RUN_AND_TRACE = """
import importlib.util, json, runpy, sys
origin = importlib.util.find_spec("corvenda.template").origin
runs = []
def trace(frame, event, arg):
    if event == "call" and frame.f_code.co_name == "<module>" and frame.f_code.co_filename == origin:
        runs.append(frame.f_globals["__name__"])
sys.settrace(trace)
sys.argv[0] = "corvenda.template"
try:
    runpy.run_module("corvenda.template", run_name="__main__", alter_sys=True)
finally:
    sys.settrace(None)
    print(json.dumps(runs), file=sys.stderr)
"""


def test_the_template_module_loads_once_and_never_imports_the_preview(tmp_path):
    done = subprocess.run([sys.executable, "-W", "error", "-c", RUN_AND_TRACE, "preview", "notification",
                           "--out", str(tmp_path)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0 and json.loads(done.stderr) == ["corvenda.template"], done.stderr
    assert (tmp_path / "notification.txt").exists()
    done = subprocess.run([sys.executable, "-c", "import corvenda.template, sys; print(sorted(sys.modules))"],
                          capture_output=True, text=True, timeout=120)
    assert "corvenda.preview" not in done.stdout and "corvenda.template" in done.stdout, done.stderr


def test_preview_renders_a_template_directory_with_the_variables_of_a_file(tmp_path, capsys, monkeypatch):
    (tmp_path / "tpl").mkdir()
    (tmp_path / "tpl" / "hi.html").write_text('{% extends "layout.html" %}{% block content %}<p>{{ who }}</p>{% endblock %}')
    (tmp_path / "tpl" / "hi.txt").write_text("Hi {{ who }}, {{ occurred_at }}")
    (tmp_path / "vars.json").write_text(json.dumps({"who": "Ann & Bob"}))
    tpl, out = str(tmp_path / "tpl"), tmp_path / "out"
    out.mkdir()
    monkeypatch.chdir(out)  # the default output directory
    status, printed, err = preview(capsys, "hi", "--template-dir", tpl, "--context", str(tmp_path / "vars.json"))
    assert status == 0 and printed.split() == ["./hi.html", "./hi.txt"], err
    assert "<p>Ann &amp; Bob</p>" in (out / "hi.html").read_text()
    assert re.fullmatch(r"Hi Ann & Bob, \d{4}-\d\d-\d\d \d\d:\d\d:\d\d\n", (out / "hi.txt").read_text())

    (tmp_path / "list.json").write_text("[1]")
    (tmp_path / "broken.json").write_text("{")
    for args, code, message in [
        (["hi", "--template-dir", tpl], 1, "hi: 'who' is undefined; pass the variables with --context FILE.json"),
        (["nothing"], 1, "nothing: TemplateNotFound: nothing.html"),
        (["hi", "--context", str(tmp_path / "list.json")], 2, "list.json must hold a JSON object"),
        (["hi", "--context", str(tmp_path / "broken.json")], 2, "cannot read"),
        (["hi", "--context", str(tmp_path / "none.json")], 2, "cannot read"),
    ]:
        status, _, err = preview(capsys, *args, "--out", str(tmp_path / "failed"))
        assert (status, err.count(message)) == (code, 1), err
    assert not (tmp_path / "failed").exists() or os.listdir(tmp_path / "failed") == []


@pytest.mark.parametrize(("args", "status", "shown"), [
    ([], 2, "python -m corvenda.template: error: the following arguments are required: command"),
    (["--help"], 0, "Render a mail template to files without sending it."),
    (["preview", "--help"], 0, "usage: python -m corvenda.template preview [-h] [--context FILE.json] "
                               "[--template-dir DIR] [--out DIR] [--png] NAME"),
    # Every option described (the first word of each description).
    *[(["preview", "--help"], 0, described) for described in [
        "NAME template", "--context FILE.json JSON", "--template-dir DIR directory", "--out DIR output",
        "--png also"]],
    (["--help"], 0, "preview render"),
])
def test_help_and_usage_name_the_command_as_it_is_typed(capsys, args, status, shown):
    with pytest.raises(SystemExit) as exit:
        main(args)
    out = capsys.readouterr()
    assert exit.value.code == status and shown in " ".join((out.out + out.err).split()), out


def test_preview_without_chromium_still_writes_the_text_files(tmp_path, capsys, monkeypatch):
    monkeypatch.setenv("CORVENDA_CHROMIUM", str(tmp_path / "no-such-browser"))
    status, out, err = preview(capsys, "password_reset", "--png", "--out", str(tmp_path))
    assert status == 1 and "no screenshots: Chromium is not installed" in err
    assert sorted(os.listdir(tmp_path)) == ["password_reset.html", "password_reset.txt"]
    assert out.split() == [str(tmp_path / "password_reset.html"), str(tmp_path / "password_reset.txt")]


@pytest.mark.usefixtures("chromium")
def test_preview_png_takes_four_screenshots_for_the_gallery(tmp_path, capsys):
    status, printed, err = preview(capsys, "verification_code", "--png", "--out", str(tmp_path))
    assert status == 0, err
    shots = {name: png_info(tmp_path / name) for name in sorted(os.listdir(tmp_path)) if name.endswith(".png")}
    assert sorted(printed.split()) == sorted(str(tmp_path / n) for n in [*shots, "verification_code.html",
                                                                         "verification_code.txt"])
    assert {name: (width, pixel) for name, (width, _, pixel) in shots.items()} == {
        "verification_code-375-dark.png": (375, "#111827"),
        "verification_code-375-light.png": (375, "#f3f4f6"),
        "verification_code-600-dark.png": (600, "#111827"),
        "verification_code-600-light.png": (600, "#f3f4f6"),
    }
    assert all(200 < height < 2000 for _, height, _ in shots.values())
    (tmp_path / "frame.html").write_text("<body>\n<section>an earlier run</section>\n</body>\n")
    gallery = write_gallery(str(tmp_path), ["verification_code"], str(tmp_path / "frame.html"))
    assert gallery == str(tmp_path / "index.html")
    page = (tmp_path / gallery).read_text()
    assert page.startswith("<body>\n<section") and page.endswith("</section>\n</body>\n") and "earlier" not in page
    assert sorted(re.findall(r'src="([^"]+)"', page)) == sorted(shots)
    assert f"<pre>{html.escape((tmp_path / 'verification_code.txt').read_text())}</pre>" in page


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
