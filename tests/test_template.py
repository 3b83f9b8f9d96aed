import os
import pathlib
import re
from concurrent.futures import ThreadPoolExecutor

import jinja2
import pytest
from jinja2.exceptions import SecurityError
from jinja2.utils import Namespace
from markupsafe import Markup

import corvenda.template
from corvenda.template import TemplateEngine
from template_cases import ATTACKS, run_attack

LAYOUT_VARS = {"recipient_name": "Ann", "product_name": "Acme", "footer": "Acme Ltd", "occurred_at": "2026-03-04 05:06:07"}
BUILTINS = {  # template: (required variables, optional variables)
    "notification": ({"title": "Build ready", "message": "All 12 jobs passed."},
                     {"action_url": "https://ci.example.com/b/7", "action_text": "Open build"}),
    "verification_code": ({"code": "482913"}, {"expires_minutes": 10}),
    "password_reset": ({"reset_url": "https://example.com/reset?t=abc"}, {"expires_minutes": 30}),
}


def engine_with(tmp_path, files):
    for name, text in files.items():
        (tmp_path / name).write_text(text)
    return TemplateEngine(tmp_path)


def test_autoescape_only_for_markup_templates(tmp_path):
    names = ["a.html", "a.htm", "a.xml", "a.HTML", "a.txt", "a.html.txt"]
    engine = engine_with(tmp_path, dict.fromkeys(names, "{{ v }}"))
    rendered = {n: engine.render(n, {"v": "<b>&'"}) for n in names}
    rendered["string"] = engine.render_string("{{ v }}", {"v": "<b>&'"})
    assert rendered == dict.fromkeys(names[:4], "&lt;b&gt;&amp;&#39;") | dict.fromkeys(names[4:] + ["string"], "<b>&'")
    assert all(type(r) is str for r in rendered.values())
    assert engine.render_string("{{ m ~ v }}", {"m": Markup("<i>"), "v": "<b>"}) == "<i><b>"


def test_constructor_and_render_check_their_arguments(tmp_path):
    (tmp_path / "file.txt").write_text("x")
    with pytest.raises(FileNotFoundError, match=r"\[Errno 2\] template directory does not exist: '.*/nope'"):
        TemplateEngine(str(tmp_path / "nope"))
    with pytest.raises(NotADirectoryError, match=r"\[Errno 20\] template directory is not a directory: '.*/file.txt'"):
        TemplateEngine(tmp_path / "file.txt")
    with pytest.raises(TypeError, match="^template_dir must be a str, an os.PathLike or None, not bytes$"):
        TemplateEngine(os.fsencode(tmp_path))
    with pytest.raises(TypeError):
        TemplateEngine(template_dir=None)
    assert TemplateEngine(pathlib.Path(tmp_path)).template_dir == str(tmp_path)
    engine = TemplateEngine(None)
    with pytest.raises(TypeError, match="^template text must be a str, not bytes$"):
        engine.render_string(b"{{ 1 }}")
    with pytest.raises(TypeError, match="^variables must be a mapping, not list$"):
        engine.render_string("{{ 1 }}", [("a", 1)])
    # block tags on lines of their own leave neither the line nor its indent
    assert engine.render_string("  {% if true %}\n  {{ 1 + 1 }}\n  {% endif %}\nx", {}) == "  2\nx"


def test_custom_dir_overrides_and_extends_builtins(tmp_path):
    engine = engine_with(tmp_path, {
        "notification.txt": "custom {{ title }}",
        "invoice.html": '{% extends "layout.html" %}{% block title %}Invoice {{ n }}{% endblock %}'
                        "{% block content %}<p>Total: {{ total }}</p>{% endblock %}",
        "invoice.txt": '{% extends "layout.txt" %}{% block content %}Total: {{ total }}{% endblock %}',
    })
    assert engine.render("notification.txt", {"title": "T"}) == "custom T"
    html = engine.render("invoice.html", {"n": 7, "total": "<5>", "product_name": "Acme"})
    assert "<title>Invoice 7</title>" in html and "<p>Total: &lt;5&gt;</p>" in html and "Acme" in html
    assert engine.render("invoice.txt", {"total": "<5>"}) == "Hello,\n\nTotal: <5>"
    assert "Reset your password" in engine.render("password_reset.txt", {"reset_url": "u"})
    with pytest.raises(jinja2.TemplateNotFound):
        engine.render("../" + tmp_path.name + "/notification.txt", {})


@pytest.mark.parametrize("name", BUILTINS)
@pytest.mark.parametrize("ext", ["html", "txt"])
def test_builtin_templates_render(name, ext):
    engine, template = TemplateEngine(None), f"{name}.{ext}"
    required, optional = BUILTINS[name]
    full = engine.render(template, LAYOUT_VARS | required | optional)
    assert type(full) is str
    assert all(str(value) in full for value in (LAYOUT_VARS | required | optional).values())
    minimal = engine.render(template, required)
    assert not any(word in minimal for word in ("Ann", "Acme", "None", "Sent"))
    for key in required:
        with pytest.raises(jinja2.UndefinedError):
            engine.render(template, {k: v for k, v in required.items() if k != key})
    if ext == "html":
        assert "<i>" not in engine.render(template, dict.fromkeys([*required, "recipient_name"], "<i>"))
        assert "max-width:600px" in full
        assert not any(tag in full.lower() for tag in ("<script", "<img", "<link", "src=", "@import"))


def test_render_string_cache_keeps_texts_apart():
    engine = TemplateEngine(None)

    def wrong_results(t):  # 500 distinct texts overflow the cache, so entries get evicted
        results = {k: engine.render_string(f"{k}:{{{{ v }}}}", {"v": t}) for k in range(t, t + 500)}
        return {k: out for k, out in results.items() if out != f"{k}:{t}"}

    with ThreadPoolExecutor(8) as pool:
        assert not any(pool.map(wrong_results, range(8)))


def test_limits_leave_ordinary_templates_alone(tmp_path):
    source = ("{{ '=' * 72 }}|{{ '%-8s|%6.2f' % (name, 3.14159) }}|{{ '{:>6}'.format(n) }}|{{ n ** 40 > 0 }}"
              "|{{ name.center(12, '*') }}|{{ rows|join(',')|length }}|{{ name|indent(2, true) }}"
              "|{% for r in rows %}{% for c in r %}{{ c }}{% endfor %}{% endfor %}|{{ ('a' * 1000000)|length }}"
              "|{{ 'n' in name }}{{ name[1:] }}|{{ 1 ** (10 ** 9) }}{{ (-1) ** (10 ** 9) }}{{ 2.5 ** 2 }}"
              "|{% macro m() %}<{{ caller() }}>{% endmacro %}{% call m() %}c{% endcall %}|{{ '{!r}'.format(name) }}|{{ dict.fromkeys(name|map('upper'), 0) }}")
    out = engine_with(tmp_path, {"t.txt": source}).render("t.txt", {"name": "Ann", "n": 7, "rows": ["ab"] * 10000})
    assert out == f"{'=' * 72}|Ann     |  3.14|     7|True|****Ann*****|29999|  Ann|{'ab' * 10000}|1000000|Truenn|116.25|<c>|'Ann'|{{'A': 0, 'N': 0}}"
    # a filter's result passed on to a checked filter keeps its items
    assert engine_with(tmp_path, {}).render_string("{{ [1, 2]|map('string')|join(',') }}") == "1,2"


def test_custom_templates_extending_the_layout_get_its_features(tmp_path):
    engine = engine_with(tmp_path, {
        "invoice.html": '{% extends "layout.html" %}{% from "macros.html" import button %}'
                        "{% block title %}Invoice {{ n }}{% endblock %}"
                        "{% block preheader %}Invoice {{ n }} is ready{% endblock %}"
                        '{% block content %}<p>Total: {{ total }}</p>{{ button(url, "View invoice") }}{% endblock %}',
        "invoice.txt": '{% extends "layout.txt" %}{% block content %}'
                       "{{ note }} Download it at {{ url }} today.\n    indented {{ note }}{% endblock %}",
    })
    variables = {"n": 7, "total": "<5>", "url": "https://pay.example.com/i/7", "lang": "he", "note": "word " * 30}
    html = engine.render("invoice.html", variables)
    assert '<html lang="he" dir="rtl"' in html and "<title>Invoice 7</title>" in html
    assert "<p>Total: &lt;5&gt;</p>" in html and html.count('href="https://pay.example.com/i/7"') == 3
    hidden = html[html.index('<div class="preheader"'):]
    hidden = hidden[:hidden.index("</div>")]
    assert "display:none" in hidden and "mso-hide:all" in hidden and "font-size" not in hidden
    assert "Invoice 7 is ready&#847;&zwnj;&nbsp;" in hidden
    assert 'content="light dark"' in html and "prefers-color-scheme: dark" in html
    assert "Preview" in engine.render("invoice.html", variables | {"preheader": "Preview", "lang": "en"})
    assert 'dir="ltr"' in engine.render("invoice.html", variables | {"lang": "en-GB"})

    text = engine.render("invoice.txt", variables).splitlines()
    assert text[:2] == ["Hello,", ""] and "https://pay.example.com/i/7" in text
    assert text[-1] == "    indented " + variables["note"]  # indented lines keep their shape
    assert all(len(line) <= 72 for line in text[:-1])


@pytest.mark.parametrize("name", BUILTINS)
def test_text_versions_wrap_at_72_columns_with_urls_whole(name):
    url = "https://example.com/a/" + "b" * 90
    long = {"title": "T " * 60, "message": "All jobs passed " * 20 + url + " and more " * 10,
            "action_url": url, "reset_url": url, "code": "X" * 40}
    required, optional = BUILTINS[name]
    variables = LAYOUT_VARS | {"footer": "Acme Ltd " * 20} | {k: long[k] for k in (*required, *optional) if k in long}
    text = TemplateEngine(None).render(f"{name}.txt", variables)
    lines = text.splitlines()
    assert all(len(line) <= 72 or line == url or line == "    " + "X" * 40 for line in lines), text
    if "reset_url" in variables or "action_url" in variables:
        assert url in lines
    assert " ".join(text.split()).count("All jobs passed") == (20 if name == "notification" else 0)


def test_wraptext_breaks_lines_never_words_or_urls():
    from corvenda.template._plaintext import wrap_text

    words = "lorem ipsum dolor " * 10
    cases = {
        "": "",
        "short line\n-- \n\n": "short line\n-- \n\n",  # short lines, even with trailing blanks, stay as they are
        "    indented " + words: "    indented " + words,
        "x" * 100 + " tail": "x" * 100 + "\ntail",
        "Mail <mailto:a@b.example> or (https://b.example/p?q=1), www.b.example.":
            "Mail\n<mailto:a@b.example>\nor\n(https://b.example/p?q=1),\nwww.b.example.",
        " one blank " + words: " one blank " + words,
        "Go to www.b.example now": "Go to\nwww.b.example\nnow",
        "ab  " * 17 + "abcd": "ab  " * 17 + "abcd",  # 72 columns: kept, blanks and all
        "ab  " * 17 + "abcde": "ab " * 17 + "abcde",  # 73: filled
    }
    for text, expected in cases.items():
        assert wrap_text(text) == expected
    wrapped = wrap_text(words.strip() + "\nsecond line").splitlines()
    assert " ".join(wrapped) == words.strip() + " second line" and wrapped[-1] == "second line"
    assert max(map(len, wrapped)) <= 72 < len(wrapped[0]) + len(wrapped[1].split()[0]) + 1
    assert wrap_text("a b c d", width=3) == "a b\nc d"


def _file(engine, text):  # rendered as t.txt, next to base.txt, a template to extend
    for name, source in (("base.txt", "{% block c %}{% endblock %}"), ("t.txt", text)):
        pathlib.Path(engine.template_dir, name).write_text(source)
    return engine.render("t.txt", {})


# limit, a render that needs exactly n of it, the unit its refusal names
BOUNDARIES = [
    ("max_source", lambda engine, n: _file(engine, "x" * n), " characters)"),
    ("max_string_source", lambda engine, n: engine.render_string("x" * n), " characters)"),
    ("max_nodes", lambda engine, n: engine.render_string("{{ x }}" * (n - 1), {"x": ""}), ")"),  # + 1 output
    ("max_output", lambda engine, n: engine.render_string(  # the last 20 counted as a {% filter %} block's result
        "z" * (n - 80) + "{% set a %}{{ 'x' * 20 }}{% endset %}{{ a }}{% filter upper %}" + "y" * 20 + "{% endfilter %}"),
     " characters rendered in total)"),
    ("max_output", lambda engine, n: _file(engine, '{% extends "base.txt" %}{% block c %}' + "x" * n + "{% endblock %}"),
     " characters rendered in total)"),
    ("max_length", lambda engine, n: engine.render_string("{{ ('x' * n)|length }}{{ ([0] * n)|length }}", {"n": n}),
     ")"),
    ("max_int_bits", lambda engine, n: engine.render_string("{{ a * 1 }}", {"a": 2 ** (n - 2)}), ")"),
    ("max_work", lambda engine, n: engine.render_string("{% for i in items %}{% endfor %}", {"items": [0] * n}),
     " steps of work per render)"),
    ("max_subject_word", lambda engine, n: engine.render_string("Re: {{ w }}", {"w": "x" * n}),
     "): a header line cannot carry it"),
]


@pytest.mark.parametrize("limit, render, unit", BOUNDARIES)
def test_each_limit_allows_its_value_and_refuses_one_more(tmp_path, limit, render, unit):
    engine = TemplateEngine(tmp_path)
    render(engine, 101)  # under the default: also compiled and cached, if it is cached
    setattr(engine, limit, 100)
    render(engine, 100)
    with pytest.raises(SecurityError, match=re.escape(f" {limit} (100{unit}")):
        render(engine, 101)
    assert getattr(TemplateEngine(None), limit) > 100  # set on one engine only


# What a template computes, and the size E the limit is checked against
# before the value is made: allowed with the limit at E, refused at E - 1 with
# a message naming what and E.  E is the exact size where it can be known
# beforehand, else a bound of it (formatting, wrapping, printing containers).
HALVES, ITEMS, TEXT = {"a": "x" * 50, "b": "y" * 50}, {"items": ["x"] * 10 + ["y" * 70]}, {"text": "a" * 10 + "c" * 82}
L, BITS = "max_length", "max_int_bits"
SIZES = [  # limit, source, variables, what the refusal names, E
    (L, "{{ 'x'.ljust(100) }}", {}, "ljust()", 100), (L, "{{ 'x'.rjust(100) }}", {}, "rjust()", 100),
    (L, "{{ 'x'.center(100) }}", {}, "center()", 100), (L, "{{ '7'.zfill(100) }}", {}, "zfill()", 100),
    (L, "{{ 'x'|center(100) }}", {}, "center", 100), (L, "{{ 'x'|center }}", {}, "center", 80),
    (L, "{{ (0).to_bytes(100)|length }}", {}, "int.to_bytes()", 100), (L, "{{ (0).to_bytes()|length }}", {}, "int.to_bytes()", 1),
    (L, "{{ (0).to_bytes(length=100)|length }}", {}, "int.to_bytes()", 100),
    (L, "{{ ('x' * 100)|length }}", {}, "a * repetition", 100), (L, "{{ ([0] * 100)|length }}", {}, "a * repetition", 100),
    (L, "{{ (100 * ('x',))|length }}", {}, "a * repetition", 100),
    (L, "{{ dict.fromkeys(range(100))|length }}", {}, "fromkeys()", 100),
    (L, "{{ dict.fromkeys(range(100)|map('int'), 0)|length }}", {}, "fromkeys()", 100),
    (L, "{{ [1]|batch(100, 0)|first|length }}", {}, "batch", 100), (L, "{{ [1]|slice(100, 0)|list|length }}", {}, "slice", 100),
    (L, "{{ a + b }}", HALVES, "a + concatenation", 100), (L, "{{ (a|list + b|list)|length }}", HALVES, "a + concatenation", 100),
    (L, "{{ a ~ b }}", HALVES, "a ~ concatenation", 100), (L, "{{ a ~ none ~ b[4:] }}", HALVES, "a ~ concatenation", 100),
    (L, "{{ a ~ 12345 }}", {"a": "x"}, "a ~ concatenation", 7),  # the number counted as 6
    (L, "{{ '--'.join(items) }}", ITEMS, "join()", 100), (L, "{{ '--'.join(items|map('string')) }}", ITEMS, "join()", 100),
    (L, "{{ '--'.join(items) }}", {"items": ["x" * 100]}, "join()", 100),
    (L, "{{ '-'.encode().join(items)|length }}", {"items": [b"ab"] * 3}, "join()", 8),
    (L, "{{ items|join('--') }}", ITEMS, "join", 100), (L, "{{ items|join('--') }}", {"items": ["x" * 100]}, "join", 100),
    (L, "{{ items|join }}", {"items": ["x"] * 100}, "join", 100), (L, "{{ text|join('-') }}", {"text": "x" * 50}, "join", 99),
    (L, "{{ nums|join('-') }}", {"nums": [7] * 3}, "join", 8),  # each number counted as 2
    (L, "{{ text.replace('a', 'bbb', 4) }}", TEXT, "replace()", 100), (L, "{{ text|replace('a', 'bbb', 4) }}", TEXT, "replace", 100),
    (L, "{{ text.replace('a', 'bbb', count=4) }}", TEXT, "replace()", 100),
    (L, "{{ text.replace('a', 'bbb') }}", {"text": "a" * 10 + "c" * 70}, "replace()", 100),
    (L, "{{ text|replace('a', 'bbb') }}", {"text": "a" * 10 + "c" * 70}, "replace", 100),
    (L, "{{ text.replace('c', 'dd', 0) }}", {"text": "c" * 100}, "replace()", 100),
    (L, "{{ text.replace('', '--') }}", {"text": "x" * 32}, "replace()", 98),
    (L, "{{ text.translate({97: 98, 99: none}) }}", {"text": "a" * 100}, "translate()", 100),
    (L, "{{ text.translate({}) }}", {"text": "a" * 100}, "translate()", 100),
    (L, "{{ text.translate(['x'] * 97 + ['yy']) }}", {"text": "a" * 50}, "translate()", 100),
    (L, "{{ text.expandtabs() }}", {"text": "x" + "\t" * 11}, "expandtabs()", 100),
    (L, "{{ text.expandtabs(9) }}", {"text": "x" * 10 + "\t" * 9}, "expandtabs()", 100),
    (L, "{{ text.expandtabs(tabsize=9) }}", {"text": "x" * 10 + "\t" * 9}, "expandtabs()", 100),
    (L, "{{ text.encode().expandtabs()|length }}", {"text": "x" * 10 + "\t" * 10}, "expandtabs()", 100),
    (L, "{{ text|indent(first=true) }}", {"text": "a\nb\nc"}, "indent", 17),
    (L, "{{ text|indent('ab', true) }}", {"text": "a\nb\nc"}, "indent", 11),
    (L, "{{ a|wordwrap(5, true, '--') }}", {"a": "x" * 37}, "wordwrap", 67),  # 51 made
    (L, "{{ a|wordwrap }}", {"a": "x y\n" * 40}, "wordwrap", 205),  # 159 made
    (L, "{{ a|wordwrap(1) }}", {"a": "x y " * 10}, "wordwrap", 121),
    (L, "{{ items|tojson(2) }}", {"items": [0] * 5}, "tojson", 48), (L, "{{ items|tojson('--') }}", {"items": [0] * 5}, "tojson", 48),
    (L, "{{ lipsum(2, false, 5, 6)|length > 0 }}", {}, "lipsum()", 192),
    (L, "{{ '%5s|%-4d' % (a, 7) }}", {"a": "ab"}, "a % formatting", 821),  # each field counted as 400 more
    (L, "{{ '%(a)s%((b))r' % {'a': a, '(b)': a} }}", {"a": "ab"}, "a % formatting", 834),
    (L, "{{ 'x%*s%*s' % (3, a, 40, b) }}", {"a": "ab", "b": "abcdef"}, "a % formatting", 858),
    (L, "{{ '%%|%s' % a }}", {"a": "ab"}, "a % formatting", 407), (L, "{{ (fmt.encode() % 1)|length }}", {"fmt": "%5d"}, "a % formatting", 410),
    (L, "{{ '%lr%Lr%X' % (a, a, 255) }}", {"a": "ab"}, "a % formatting", 1252),
    (L, "{{ '%5.2f' % 1.5 }}", {}, "a % formatting", 436), (L, "{{ '%s%%' % a }}", {"a": "ab"}, "a % formatting", 406),
    (L, "{{ fmt|format(a, 2) }}", {"fmt": "%s %r", "a": "ab"}, "format", 827),
    (L, "{{ '{!r}'.format(a) }}", {"a": "ab"}, "str.format()", 404),
    (L, "{{ '{:5}{}'.format(a, a) }}", {"a": "ab"}, "str.format()", 809),
    (L, "{{ '{a}{b}'.format_map({'a': a, 'b': a}) }}", {"a": "ab"}, "str.format()", 804),
    (L, "{{ '{!r}'.format(a) }}", {"a": "x" * 50}, "a !r conversion", 500),
    (L, "{{ '{!a}'.format(a) }}", {"a": "x" * 50}, "a !a conversion", 500),
    (L, "{{ items|string }}", {"items": ["ab"]}, "the string filter", 21),
    (L, "{{ items }}", {"items": [b"ab", None, 1.5, True, 10**29, "\\\\", "\0", ["x"], (), {"k": "v"}, range(2)]},
     "printing a value", 386),  # 108 made
    (L, "{% set ns = namespace(a='ab') %}{{ ns }}", {}, "printing a value", 29),  # 23 made
    (L, "{% set ns = namespace(a='ab') %}{{ [ns] }}", {}, "printing a value", 44),
    (BITS, "{{ a * b > 0 }}", {"a": 2 ** 49, "b": 2 ** 49}, "an integer of about", 100),
    (BITS, "{{ a ** 1 > 0 }}", {"a": 2 ** 99}, "an integer of about", 100),
    (BITS, "{{ a ** 3 > 0 }}", {"a": 2 ** 33}, "an integer of about", 102),
    (BITS, "{{ 2 ** 50 > 0 }}", {}, "an integer of about", 100),
    (BITS, "{{ s|int > 0 }}", {"s": "1" * 20}, "an integer of about", 100),  # 5 bits a digit
    (BITS, "{{ (1).from_bytes(b) > 0 }}", {"b": b"x" * 12}, "an integer of about", 96),
    (BITS, "{{ (1).from_bytes(items|map('int')) > 0 }}", {"items": ["1"] * 12}, "an integer of about", 96),
]


@pytest.mark.parametrize("limit, source, variables, what, size", SIZES)
def test_each_computed_value_is_checked_before_it_is_made(limit, source, variables, what, size):
    engine = TemplateEngine(None)
    setattr(engine, limit, size)
    engine.render_string(source, variables)
    setattr(engine, limit, size - 1)
    with pytest.raises(SecurityError, match=rf"^{re.escape(what)} .*\b{size:,} .*over the limit {limit} \({size - 1:,}\)"):
        engine.render_string(source, variables)


def test_escaped_text_counts_as_it_is_printed(tmp_path):
    engine = engine_with(tmp_path, {"join.html": "{{ b ~ a }}", "print.html": "{{ a }}{{ b }}"})
    variables = {"a": "&\"'<>" * 4, "b": Markup("<br>" * 2)}  # 4 * 23 characters escaped, and 8 kept
    for name, limit in (("join.html", "max_length"), ("print.html", "max_output")):
        setattr(engine, limit, 100)
        assert len(engine.render(name, variables)) == 100
        setattr(engine, limit, 99)
        with pytest.raises(SecurityError, match=rf"{limit} \(99\b"):
            engine.render(name, variables)


# The steps of work a render spends: each loop iteration, call, filter and
# test of two values, each item a filter, `in`, a call or a comparison goes
# through, and CHARS_PER_STEP characters (ITEMS_PER_STEP items) of a value
# built or sliced; the superlinear filters by what they copy.  Allowed with
# max_work at that number, refused one below.
WORK = [  # source, variables, steps
    ("{{ items|length }}", {"items": [0] * 300}, 301), ("{{ text|length }}", {"text": "x" * 30050}, 301),
    ("{{ text|list|length }}", {"text": "x" * 150}, 302), ("{{ dict(a=text)|length }}", {"text": "x" * 30050}, 303),
    ("{{ text.count('x') }}", {"text": "x" * 30050}, 301), ("{{ 'x'.count(text) }}", {"text": "x" * 30050}, 301),
    ("{{ [0].count(items) }}", {"items": [0] * 300}, 302), ("{{ data.count(x) }}", {"data": b"x" * 30050, "x": b"x"}, 301),
    ("{{ f(m) is none }}", {"m": Markup("x" * 30050), "f": lambda *a, **k: None}, 301),
    ("{{ (a + b)|length }}", {"a": [0] * 3755, "b": [0] * 3755}, 7811), ("{{ 'y' in text }}", {"text": "x" * 30050}, 300),
    ("{{ 1 in items }}", {"items": [0] * 300}, 300), ("{{ 1 is in items }}", {"items": [0] * 300}, 301),
    ("{% for i in items %}{{ i is odd }}{% endfor %}", {"items": [1] * 300}, 300),
    ("{{ items[1:] is none }}", {"items": [0] * 7510}, 300), ("{{ text[1:]|length }}", {"text": "x" * 30050}, 601),
    ("{{ ('x' * 30050)|length }}", {}, 601), ("{{ ([0] * 7510)|length }}", {}, 7811),
    ("{{ dict.fromkeys(range(7510))|length }}", {}, 15323),
    ("{{ [1]|batch(7510, 0)|first|length }}", {}, 7815), ("{{ [1]|slice(7510, 0)|list|length }}", {}, 15324),
    ("{{ a // b > 0 }}", {"a": 2 ** 63941, "b": 2 ** 63941}, 998), ("{{ a % b > 0 }}", {"a": 2 ** 63941, "b": 2 ** 63941 - 1}, 998),
    ("{{ a * b > 0 }}", {"a": 2 ** 32005, "b": 2 ** 32005}, 250),  # big integers: by the product of their sizes
    ("{% for i in items recursive %}{{ loop(i) if i }}{% endfor %}", {"items": [[0] * 150]}, 602),
    ("{% macro m(x) %}{% endmacro %}{% for i in items %}{{ m(items) }}{% endfor %}", {"items": [0] * 150}, 300),
    ("{{ text|striptags|length }}", {"text": "<" * 15050}, 22953),
    ("{{ text|urlize|length }}", {"text": "x" * 15050}, 22952), ("{{ text|urlize|length }}", {"text": " " * 15050}, 302),
    ("{{ text|wordwrap(9)|length }}", {"text": "x y " * 3010}, 1999), ("{{ text|wordwrap(1)|length }}", {"text": "x y " * 300}, 205), ("{{ text|wordwrap|length }}", {"text": "x y " * 3010}, 549),
    ("{% for i in items %}{{ i.upper() }}{% endfor %}", {"items": ["x" * 250] * 40}, 160),
    ("{% for i in items %}{{ i.ljust(3) }}{% endfor %}", {"items": ["x" * 250] * 40}, 160),
    ("{% for i in items %}{{ f(i, i, k=items) is none }}{% endfor %}", {"items": ["x" * 250] * 40, "f": lambda *a, **k: None}, 1840),
]


@pytest.mark.parametrize("source, variables, steps", WORK)
def test_work_is_counted_by_the_size_of_what_is_gone_through(source, variables, steps):
    engine = TemplateEngine(None)
    engine.max_subject_word = 100_000
    engine.max_work = steps
    engine.render_string(source, variables)
    engine.max_work = steps - 1
    with pytest.raises(SecurityError, match=rf"max_work \({steps - 1:,} steps"):
        engine.render_string(source, variables)


def test_a_lowered_limit_applies_to_what_was_compiled_before(tmp_path):
    engine = engine_with(tmp_path, {"t.txt": "{{ 1 }}{{ 2 }}" + "x" * 100})  # 114 characters, 4 nodes
    for limit, value in (("max_source", 113), ("max_nodes", 3)):
        assert engine.render("t.txt") == "12" + "x" * 100
        setattr(engine, limit, value)
        with pytest.raises(SecurityError, match=limit):
            engine.render("t.txt")
        delattr(engine, limit)
    # filters on constants run in every render, never once while compiling
    assert engine.render_string("{{ 'x'|center(90)|length }}") == "90"
    engine.max_length = 89
    with pytest.raises(SecurityError, match=r"^center would make 90 "):
        engine.render_string("{{ 'x'|center(90)|length }}")
    engine.max_string_source = 5000  # longer than the texts kept compiled
    assert engine.render_string("{{ n }}" + " " * 4990, {"n": 2}) == "2" + " " * 4990
    assert engine.render_string(" " * 999) == " " * 999  # long, but no word over max_subject_word


def test_cpu_deadline_is_checked_while_the_render_runs():
    engine = TemplateEngine(None)
    source = "{% for i in items %}{% endfor %}"
    assert engine.render_string(source, {"items": [0] * 1000}) == ""
    engine.max_cpu_seconds = 0
    with pytest.raises(SecurityError, match=r"max_cpu_seconds \(0 seconds of CPU time per render\)"):
        engine.render_string(source, {"items": [0] * 1000})


# What a template may not do: internals, undefined names, values over a
# limit (refused before Python would make them) and, for a format Python
# refuses itself, Python's own error.
REFUSED = [  # source, variables, error, message
    ("{{ ''.__class__.__mro__ }}", {}, SecurityError, "attribute '__class__' of 'str' object is unsafe"),
    ("{{ cycler.__init__.__globals__ }}", {}, SecurityError, "attribute '__init__' of 'type' object is unsafe"),
    ("{{ '{0.__class__}'.format(1) }}", {}, SecurityError, "attribute '__class__' of 'int' object is unsafe"),
    ("{{ x|attr('__class__') }}", {"x": [1]}, SecurityError, "unsafe"), ("{{ x.append(1) }}", {"x": [1]}, SecurityError, "unsafe"),
    ("{{ missing }}", {}, jinja2.UndefinedError, "'missing' is undefined"),
    ("{% if missing %}x{% endif %}", {}, jinja2.UndefinedError, "'missing' is undefined"),
    ("{{ user.name }}", {"user": {}}, jinja2.UndefinedError, "has no attribute 'name'"),
    ("{{ 'ab'.translate(7) }}", {}, SecurityError, r"^translate\(\) takes a dict, list, tuple or str table in templates$"),
    ("{{ items|sum(start=[]) }}", {"items": [[1]]}, SecurityError, r"^the sum filter adds numbers only in templates$"),
    ("{{ '{}'.format(s) }}", {"s": "x" * 1_000_001}, SecurityError, r"^a format field would make 1,000,001 "),
    ("{{ '{0:{1}}'.format('x', w) }}", {"w": "9" * 5000}, SecurityError, r"^str\.format\(\) would make"),
    ("{% call dict(a=s) %}{% endcall %}", {"s": "x" * 1_000_000}, SecurityError, r"max_output \(1,000,000 characters"),
    ("{{ ns }}", {"ns": Namespace.__new__(Namespace)}, SecurityError, r"^printing a value would make 1,000,001 "),
    ("{{ '100%' % () }}", {}, ValueError, "incomplete format|stray %"),  # 3.15 words it differently
    ("{{ '%(a' % {} }}", {}, ValueError, "incomplete format key"),
    ("{{ '%s %s' % ('a',) }}", {}, TypeError, "not enough arguments"),
    ("{{ '%*s' % () }}", {}, TypeError, "not enough arguments"),
]


@pytest.mark.parametrize("source, variables, error, message", REFUSED)
def test_refused_operations_name_why(source, variables, error, message):
    with pytest.raises(error, match=message):
        TemplateEngine(None).render_string(source, variables)


@pytest.mark.parametrize("family, payload", ATTACKS, ids=[f"{family}-{i}" for i, (family, _) in enumerate(ATTACKS)])
def test_attacks_end_in_security_error_within_memory(tmp_path, family, payload):
    result = run_attack(payload, tmp_path)
    report = f"{family} attack {payload[:120]!r}: {result}"
    assert result["outcome"].startswith("jinja2.exceptions.SecurityError"), report
    assert result["peak_mb"] <= 100, report


def test_a_subject_word_too_long_for_a_header_line_is_refused_before_connecting(starttls_server, ca_pem):
    mailer, context = starttls_server.mailer(), {"title": "T", "message": "M"}
    word = "x" * 994
    mailer.send_template("ann@example.com", "Re: {{ w }}", "notification", context | {"w": word})
    assert str(starttls_server.messages[0].message["Subject"]) == "Re: " + word
    starttls_server.wait_idle(2.0)
    starttls_server.clear()
    with pytest.raises(SecurityError, match=r"word of 999 characters, over the limit max_subject_word \(998\)"):
        mailer.send_template("ann@example.com", "Re: {{ w }}", "notification", context | {"w": word + "xxxxx"})
    assert starttls_server.sessions == [] and starttls_server.messages == []
