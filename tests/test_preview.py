"""The template preview command, run as users run it, and the browser under it."""

import json
import os
import re
import signal
import struct
import subprocess
import sys
import tempfile
import zlib

import pytest
from conftest import require
from previews import write_gallery

import corvenda
from corvenda._process import SANITIZER_VARIABLES, wait_until
from corvenda.preview import _chromium
from corvenda.preview.__main__ import main


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
    data, idat, pos = path.read_bytes(), b"", 8
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        idat += data[pos + 8:pos + 8 + length] if kind == b"IDAT" else b""
        pos += 12 + length
    # Every PNG filter leaves the first pixel of the first row as it is.
    return *struct.unpack(">II", data[16:24]), "#" + zlib.decompress(idat)[1:4].hex()


# Runs `python -m corvenda.template ARGS` as -m does; prints on stderr how often
# corvenda/template/__init__.py ran and whether importing it loaded corvenda.preview.
RUN_AND_COUNT = """
import importlib.util, json, runpy, sys
origin, runs = importlib.util.find_spec("corvenda.template").origin, []
sys.addaudithook(lambda event, args: event == "exec" and runs.append(getattr(args[0], "co_filename", None)))
import corvenda.template
alone = "corvenda.preview" not in sys.modules
try:
    runpy.run_module("corvenda.template", run_name="__main__", alter_sys=True)
finally:
    print(json.dumps([runs.count(origin), alone]), file=sys.stderr)
"""


def test_the_template_module_runs_the_preview_loaded_once_and_never_importing_it(tmp_path):
    done = subprocess.run([sys.executable, "-W", "error", "-c", RUN_AND_COUNT, "preview", "notification",
                           "--out", str(tmp_path)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0 and json.loads(done.stderr) == [1, True], done.stderr
    assert done.stdout.split() == [str(tmp_path / "notification.html"), str(tmp_path / "notification.txt")]


def test_preview_renders_a_template_directory_with_the_variables_of_a_file(tmp_path, capsys, monkeypatch):
    (tmp_path / "tpl").mkdir()
    (tmp_path / "tpl" / "hi.html").write_text('{% extends "layout.html" %}{% block content %}<p>{{ who }}</p>{% endblock %}')
    (tmp_path / "tpl" / "hi.txt").write_text("Hi {{ who }}, {{ occurred_at }}")
    (tmp_path / "vars.json").write_text(json.dumps({"who": "Ann & Bob"}))
    (tmp_path / "list.json").write_text("[1]")
    (tmp_path / "broken.json").write_text("{")
    tpl, out = str(tmp_path / "tpl"), tmp_path / "out"
    out.mkdir()
    monkeypatch.chdir(out)  # the default output directory
    status, printed, err = preview(capsys, "hi", "--template-dir", tpl, "--context", str(tmp_path / "vars.json"))
    assert status == 0 and printed.split() == ["./hi.html", "./hi.txt"], err
    assert "<p>Ann &amp; Bob</p>" in (out / "hi.html").read_text()
    assert re.fullmatch(r"Hi Ann & Bob, \d{4}-\d\d-\d\d \d\d:\d\d:\d\d\n", (out / "hi.txt").read_text())
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
    monkeypatch.setenv("CORVENDA_CHROMIUM", str(tmp_path / "no-such-browser"))  # the text files are still written
    status, printed, err = preview(capsys, "password_reset", "--png")  # a built-in template with its samples
    assert (status, printed.split()) == (1, ["./password_reset.html", "./password_reset.txt"])
    assert ("no screenshots: Chromium is not installed: install the chromium package, "
            "or set CORVENDA_CHROMIUM to the browser's executable") in err and not [name for name in os.listdir(out) if "png" in name]
    assert "https://accounts.example.com/reset?token=" in (out / "password_reset.txt").read_text()


@pytest.mark.parametrize(("args", "status", "shown"), [
    ([], 2, ["python -m corvenda.template: error: the following arguments are required: command"]),
    (["--help"], 0, ["Render a mail template to files without sending it.",
                     "preview render NAME.html and NAME.txt (and screenshots)"]),
    (["preview", "--help"], 0, ["usage: python -m corvenda.template preview [-h] [--context FILE.json] "
                                "[--template-dir DIR] [--out DIR] [--png] NAME", "NAME template",
                                "--context FILE.json JSON object", "--template-dir DIR directory",
                                "--out DIR output", "--png also take screenshots", "headless Chromium"]),
    (["--version"], 0, [f"corvenda {corvenda.__version__}"]),
])
def test_help_and_usage_name_the_command_as_it_is_typed(capsys, args, status, shown):
    with pytest.raises(SystemExit) as exit:
        main(args)
    out = capsys.readouterr()
    printed = " ".join((out.out + out.err).split())
    assert exit.value.code == status and [text for text in shown if text not in printed] == [], printed


def test_preview_png_takes_four_screenshots_as_tall_as_the_mail_for_the_gallery(tmp_path, capsys):
    """A short mail is not padded to a screen's height; dark shots use the dark scheme; at 375 px
    the phone emulation lays out a page without a viewport tag as a phone would (wide)."""
    require("chromium")
    tpl, out = tmp_path / "tpl", tmp_path / "out"
    tpl.mkdir()
    short = ('<style>@media (prefers-color-scheme: dark) { div { background: #00f !important } }</style>'
             '<body style="margin:0"><div style="height:50px;background:#f00"></div>\n\n')
    for name, head in [("fits", '<meta name="viewport" content="width=device-width">'), ("fixed", "")]:
        (tpl / f"{name}.html").write_text(head + short)
        (tpl / f"{name}.txt").write_text("Short & <sweet>.\n\n")
        status, printed, err = preview(capsys, name, "--template-dir", str(tpl), "--png", "--out", str(out))
        assert status == 0 and printed.split() == [str(out / f"{name}{end}") for end in (
            ".html", ".txt", "-600-light.png", "-600-dark.png", "-375-light.png", "-375-dark.png")], err
    assert (out / "fits.txt").read_text() == "Short & <sweet>.\n"  # one line end, not two
    shots = {name: png_info(out / name) for name in os.listdir(out) if name.endswith(".png")}
    assert {name: shot for name, shot in shots.items() if name.startswith("fits")} == {
        f"fits-{width}-{scheme}.png": (width, 100, colour)
        for width in (600, 375) for scheme, colour in [("light", "#ff0000"), ("dark", "#0000ff")]}
    assert [shots[f"fixed-600-{scheme}.png"][0] for scheme in ("light", "dark")] == [600, 600]
    assert all(shots[f"fixed-375-{scheme}.png"][0] > 900 for scheme in ("light", "dark"))
    (tmp_path / "frame.html").write_text("<body>\n<section>an earlier run</section>\n</body>\n")
    gallery = write_gallery(str(out), ["fits"], str(tmp_path / "frame.html"))
    assert gallery == str(out / "index.html")
    page = (out / "index.html").read_text()
    assert page.startswith("<body>\n<section") and page.endswith("</section>\n</body>\n") and "earlier" not in page
    assert sorted(re.findall(r'src="([^"]+)"', page)) == sorted(name for name in shots if name.startswith("fits"))
    assert "<pre>Short &amp; &lt;sweet&gt;.\n</pre>" in page


def test_browser_reports_what_pages_and_the_protocol_say_within_its_timeout_and_always_stops(tmp_path):
    require("chromium")
    missing = (tmp_path / "missing.html").as_uri()
    with _chromium.Browser(timeout=10) as browser:
        first = browser.open("<p>Grüße</p>")  # the defaults: 600 × 800 CSS pixels, light scheme
        assert first.evaluate("[innerWidth, innerHeight, matchMedia('(prefers-color-scheme: light)').matches, "
                              "document.body.textContent]") == [600, 800, True, "Grüße"]
        second = browser.open("<p style='width:900px'>x</p>", width=375, dark=True)
        assert second.evaluate("[document.documentElement.scrollWidth, innerWidth, "
                               "matchMedia('(prefers-color-scheme: dark)').matches]") == [908, 375, True]
        first.navigate(first.evaluate("location.href"))  # a page opened from a string stays itself
        assert first.evaluate("document.body.textContent") == "Grüße"
        for call, message in [
            (lambda: browser.send("Target.createTarget", {}),
             "Target.createTarget: Invalid parameters Failed to deserialize params.url"),
            (lambda: first.evaluate("Promise.reject(new Error('boom'))"), "JavaScript error: Error: boom\n"),
            (lambda: first.evaluate("throw 'plain'"), "JavaScript error: Uncaught"),
            (lambda: first.navigate(missing), f"cannot open {missing}: net::ERR_FILE_NOT_FOUND"),
        ]:
            with pytest.raises(_chromium.BrowserError) as error:
                call()
            assert str(error.value).startswith(message), error.value
        with pytest.raises(_chromium.BrowserError) as error:
            browser.send("No.such")
        assert str(error.value) == "No.such: 'No.such' wasn't found"  # an error without data ends there
        # Runtime.enable announces the page's context before it answers: an event
        # that arrives while a command waits is kept for wait_event().
        first.send("Runtime.enable")
        assert browser.wait_event("Runtime.executionContextCreated", first._session)["context"]["auxData"]["isDefault"]
        browser.timeout = 1
        with pytest.raises(_chromium.BrowserError, match=r"^Chromium did not answer Never\.fired within 1 s$"):
            browser.wait_event("Never.fired")
        with pytest.raises(_chromium.BrowserError, match=r"^Chromium did not answer Runtime\.evaluate within 1 s$"):
            first.evaluate("new Promise(() => {})")
        browser.timeout = 10
        assert first.evaluate("6 * 7") == 42  # the answer never given does not confuse the next one
        for page in (first, second):  # a closed page leaves no pending events behind
            page.close()
            assert not [name for name in (page._session, page._target) if name in json.dumps(browser._events)]
        pid, profile = browser._pid, browser._profile
    with pytest.raises(ChildProcessError):
        os.waitpid(pid, os.WNOHANG)
    assert not os.path.exists(profile)


def test_screenshot_sizes_are_css_pixels_and_the_png_device_pixels(tmp_path):
    """A red pixel at the top left of a page taller than the window."""
    require("chromium")
    marked = "<body style='margin:0'><div style='width:1px;height:1px;background:#f00'></div><div style='height:1500px'>"
    with _chromium.Browser(timeout=10) as browser:
        for scale, full_page, size, png in [(1, True, (375, 1501), (375, 1501)), (1, False, (375, 200), (375, 200)),
                                            (2, True, (375, 1501), (750, 3002)), (2, False, (375, 200), (750, 400))]:
            page = browser.open(marked, width=375, height=200, scale=scale)
            assert page.screenshot(tmp_path / "shot.png", full_page=full_page) == size
            assert png_info(tmp_path / "shot.png") == (*png, "#ff0000"), (scale, full_page)
            page.close()


# A stand-in for Chromium, for failures a real one does not produce on demand: it notes what it
# got in FAKE_RECORD and, by FAKE_MODE, answers (exiting on Browser.close), prints eight lines (one
# not UTF-8) and exits, exits silently ("silent-exit") or, "stubborn", starts a helper and never answers.
FAKE_CHROMIUM = """#!{python}
import json, os, subprocess, sys
mode, record = os.environ["FAKE_MODE"], open(os.environ["FAKE_RECORD"], "a", buffering=1)
note = lambda **what: print(json.dumps(what), file=record)
link = lambda fd: os.readlink(f"/proc/self/fd/{{fd}}")
note(pid=os.getpid(), argv=sys.argv[1:], env=sorted(os.environ), leader=os.getsid(0) == os.getpid(),
     stdin=link(0), stdout=link(1), stderr=link(2), log_mode=os.fstat(2).st_mode & 0o777)
if mode == "stubborn":
    note(helper=subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"]).pid)
while chunk := os.read(3, 65536):
    for message in map(json.loads, chunk.split(b"\\0")[:-1]):  # messages this short arrive whole
        note(received=message["method"], id=message["id"])  # Chromium refuses a command without an id
        if mode == "exit":
            os.write(2, b"".join(b"line %d\\n" % n for n in range(1, 8)) + b"bad \\xff byte\\n")
        if message["method"] == "Stop.reading":
            os.close(3)  # before it answers, so that the next command finds no reader
        if mode == "answer":
            os.write(4, json.dumps({{"id": message["id"], "result": {{"product": "Fake/1.0"}}}}).encode() + b"\\0")
        if mode in ("exit", "silent-exit") or mode == "answer" and message["method"] in ("Browser.close", "Stop.reading"):
            os._exit(1)
"""


def fake_chromium(tmp_path, monkeypatch, mode):
    """Install the stand-in with ``mode``; return (its path, a function reading its record)."""
    path, record = tmp_path / "fake-chromium", tmp_path / "record.jsonl"
    path.write_text(FAKE_CHROMIUM.format(python=sys.executable))
    path.chmod(0o755)
    record.touch()
    monkeypatch.setenv("FAKE_MODE", mode)
    monkeypatch.setenv("FAKE_RECORD", str(record))
    return str(path), lambda: [json.loads(line) for line in record.read_text().splitlines()]


def gone(pid):
    """Whether process ``pid`` has ended (a zombie has)."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rpartition(")")[2].split()[0] in "ZX"
    except FileNotFoundError:
        return True


@pytest.mark.parametrize("mode, message", [
    ("answer", None),
    ("exit", "Chromium exited during Browser.getVersion: line 4 | line 5 | line 6 | line 7 | bad \ufffd byte"),
    ("silent-exit", "Chromium exited during Browser.getVersion: (no output)"),
    ("stubborn", "Chromium did not answer Browser.getVersion within 1 s"),
    ("not-executable", "[Errno 13] Permission denied"),
])
def test_the_browser_runs_alone_with_a_private_profile_and_is_always_stopped_and_removed(tmp_path, monkeypatch,
                                                                                          mode, message):
    """In its own session, without the sanitizer variables, its output in its profile; a failed start named."""
    fake, record = fake_chromium(tmp_path, monkeypatch, mode)
    if mode == "not-executable":
        os.chmod(fake, 0o644)
    for name in SANITIZER_VARIABLES:  # as under the sanitizer runs; empty, so harmless if they leaked
        monkeypatch.setenv(name, "")
    (tmp_path / "tmp").mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path / "tmp"))
    stdin = os.dup(0)  # made a file here, which the browser must not inherit
    with open(fake, "rb") as file:
        os.dup2(file.fileno(), 0)
    fds = sorted(os.listdir("/proc/self/fd"))
    try:
        if message is None:
            browser = _chromium.Browser(fake)
            assert browser.version == "Fake/1.0"
            browser.close()
            browser.close()
            assert [line["received"] for line in record()[1:]] == ["Browser.getVersion", "Browser.close"]
            with pytest.raises(_chromium.BrowserError, match="^the browser is closed$"):
                browser.send("Browser.getVersion")
            with _chromium.Browser(fake) as browser:  # one that stops reading: the next command fails at once
                browser.send("Stop.reading")
                with pytest.raises(_chromium.BrowserError, match=r"^Chromium exited before Page\.enable: \(no output\)$"):
                    browser.send("Page.enable")
        else:
            with pytest.raises((_chromium.BrowserError, PermissionError)) as error:
                _chromium.Browser(fake, timeout=1)
            assert str(error.value).startswith(message), error.value
        assert os.listdir(tmp_path / "tmp") == [] and sorted(os.listdir("/proc/self/fd")) == fds
        for started in record()[:1]:  # none when the stand-in cannot run
            profile = started["argv"][-2].removeprefix("--user-data-dir=")
            assert os.path.split(profile)[0] == str(tmp_path / "tmp") and "/corvenda-chromium-" in profile
            assert started["argv"][-1] == "about:blank" and ("--no-sandbox" in started["argv"]) == (os.geteuid() == 0)
            assert {"--headless", "--remote-debugging-pipe", "--host-resolver-rules=MAP * ~NOTFOUND"} <= set(started["argv"])
            assert not set(started["env"]) & set(SANITIZER_VARIABLES) and "FAKE_MODE" in started["env"]
            assert started["leader"] and started["stdin"] == "/dev/null" and started["log_mode"] == 0o600
            assert started["stdout"] == started["stderr"] == os.path.join(profile, "output.log")
            with pytest.raises(ChildProcessError):
                os.waitpid(started["pid"], os.WNOHANG)
        assert all(wait_until(lambda: gone(line["helper"]), 10) for line in record() if "helper" in line)
    finally:
        os.dup2(stdin, 0)
        os.close(stdin)
        for line in record():
            if "helper" in line and not gone(line["helper"]):
                os.kill(line["helper"], signal.SIGKILL)


@pytest.mark.parametrize("on_path, variable, found", [
    (["chromium", "chromium-browser", "chrome"], None, "chromium"),
    (["chromium-browser", "chrome", "headless_shell"], None, "chromium-browser"),
    (["chrome", "headless_shell"], None, "chrome"),
    (["headless_shell", "my-browser"], "", "headless_shell"),  # empty is unset
    (["chromium", "my-browser"], "my-browser", "my-browser"),
    (["chromium"], "missing-browser", None),  # a name given and missing is not replaced by another
    ([], None, None),
])
def test_find_chromium_takes_the_variable_then_the_first_name_on_path(tmp_path, monkeypatch, on_path, variable, found):
    for name in on_path:
        (tmp_path / name).touch(mode=0o755)
    monkeypatch.setenv("PATH", str(tmp_path))
    monkeypatch.delenv("CORVENDA_CHROMIUM", raising=False)
    if variable is not None:
        monkeypatch.setenv("CORVENDA_CHROMIUM", variable)
    assert _chromium.find_chromium() == (found and str(tmp_path / found))
