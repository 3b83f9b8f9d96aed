import os
import pathlib
import re
from concurrent.futures import ThreadPoolExecutor

import jinja2
import pytest
from jinja2.exceptions import SecurityError
from jinja2.utils import Namespace
from markupsafe import Markup

from corvenda.template import TemplateEngine
from corvenda.template._plaintext import wrap_text
from template_cases import ATTACKS, LONG_URL, TEMPLATES, run_attack, variants


def engine_with(tmp_path, files):
    for name, text in files.items():
        (tmp_path / name).write_text(text)
    return TemplateEngine(tmp_path)


def test_autoescape_only_for_markup_templates(tmp_path):
    names = ["a.html", "a.htm", "a.xml", "a.HTML", "a.txt", "a.html.txt"]
    engine, variables = engine_with(tmp_path, dict.fromkeys(names, "{{ v ~ m }}")), {"v": "<b>&'", "m": Markup("<i>")}
    rendered = {n: engine.render(n, variables) for n in names} | {"string": engine.render_string("{{ v ~ m }}", variables)}
    assert rendered == dict.fromkeys(names[:4], "&lt;b&gt;&amp;&#39;<i>") | dict.fromkeys(names[4:] + ["string"], "<b>&'<i>")
    assert all(type(r) is str for r in rendered.values())


def test_constructor_and_render_check_their_arguments(tmp_path):
    engine = engine_with(tmp_path, {"file.txt": "x"})
    assert TemplateEngine(pathlib.Path(tmp_path)).template_dir == str(tmp_path)
    for call, error, message in [
        (lambda: TemplateEngine(str(tmp_path / "nope")), FileNotFoundError,
         r"^\[Errno 2\] template directory does not exist: '.*/nope'$"),
        (lambda: TemplateEngine(tmp_path / "file.txt"), NotADirectoryError,
         r"^\[Errno 20\] template directory is not a directory: '.*/file.txt'$"),
        (lambda: TemplateEngine(os.fsencode(tmp_path)), TypeError,
         "^template_dir must be a str, an os.PathLike or None, not bytes$"),
        (lambda: TemplateEngine(template_dir=None), TypeError, "positional"),
        (lambda: engine.render_string(b"{{ 1 }}"), TypeError, "^template text must be a str, not bytes$"),
        (lambda: engine.render_string("{{ 1 }}", [("a", 1)]), TypeError, "^variables must be a mapping, not list$"),
    ]:
        with pytest.raises(error, match=message):
            call()
    # block tags on lines of their own leave neither the line nor its indent
    assert engine.render_string("  {% if true %}\n  {{ 1 + 1 }}\n  {% endif %}\nx", {}) == "  2\nx"


def test_custom_dir_overrides_builtins_and_extends_the_layout(tmp_path):
    engine = engine_with(tmp_path, {
        "notification.txt": "custom {{ title }}",
        "invoice.html": '{% extends "layout.html" %}{% from "macros.html" import button %}'
                        "{% block title %}Invoice {{ n }}{% endblock %}"
                        "{% block preheader %}Invoice {{ n }} is ready{% endblock %}"
                        '{% block content %}<p>Total: {{ total }}</p>{{ button(url, "View invoice") }}{% endblock %}',
        "invoice.txt": '{% extends "layout.txt" %}{% block content %}'
                       "{{ note }} Download it at {{ url }} today.\n    indented {{ note }}{% endblock %}",
    })
    assert engine.render("notification.txt", {"title": "T"}) == "custom T"
    assert "Reset your password" in engine.render("password_reset.txt", {"reset_url": "u"})
    with pytest.raises(jinja2.TemplateNotFound):
        engine.render("../" + tmp_path.name + "/notification.txt", {})
    variables = {"n": 7, "total": "<5>", "url": "https://pay.example.com/i/7", "lang": "he", "note": "word " * 30}
    html = engine.render("invoice.html", variables)
    assert '<html lang="he" dir="rtl"' in html and "<title>Invoice 7</title>" in html
    assert "<p>Total: &lt;5&gt;</p>" in html and html.count('href="https://pay.example.com/i/7"') == 3
    hidden = re.search(r'<div class="preheader".*?</div>', html, re.S)[0]
    assert "display:none" in hidden and "mso-hide:all" in hidden and "font-size" not in hidden
    assert "Invoice 7 is ready&#847;&zwnj;&nbsp;" in hidden
    assert "Preview" in engine.render("invoice.html", variables | {"preheader": "Preview", "lang": "en"})
    assert 'dir="ltr"' in engine.render("invoice.html", variables | {"lang": "en-GB"})

    text = engine.render("invoice.txt", variables).splitlines()
    assert text[:2] == ["Hello,", ""] and "https://pay.example.com/i/7" in text
    assert text[-1] == "    indented " + variables["note"]  # indented lines keep their shape
    assert all(len(line) <= 72 for line in text[:-1])


@pytest.mark.parametrize("name", TEMPLATES)
@pytest.mark.parametrize("ext", ["html", "txt"])
def test_builtin_templates_show_every_variable_and_need_only_the_required(name, ext):
    engine, template = TemplateEngine(None), f"{name}.{ext}"
    required = TEMPLATES[name][0]
    for label, variables in variants(name):
        out = engine.render(template, variables)
        assert all(word in out for value in variables.values() for word in str(value).split()), label
        if ext == "txt":  # wrapped at 72 columns; a longer word alone on its line, a URL whole
            lines = out.splitlines()
            assert all(len(line) <= 72 or len(line.split()) == 1 for line in lines), out
            assert LONG_URL in lines or label != "long" or "code" in required
    assert not any(word in engine.render(template, required) for word in ("Ann", "Acme", "None", "Sent"))
    for key in required:
        with pytest.raises(jinja2.UndefinedError):
            engine.render(template, {k: v for k, v in required.items() if k != key})
    if ext == "html":
        assert "<i>" not in engine.render(template, dict.fromkeys([*required, "recipient_name"], "<i>"))
        assert not any(tag in out.lower() for tag in ("<script", "<img", "<link", "src=", "@import"))


def test_render_string_cache_keeps_texts_apart():
    engine = TemplateEngine(None)

    def wrong_results(t):  # 500 distinct texts overflow the cache, so entries get evicted
        return [k for k in range(t, t + 500) if engine.render_string(f"{k}:{{{{ v }}}}", {"v": t}) != f"{k}:{t}"]

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
    engine = TemplateEngine(None)
    assert engine.render_string("{{ [1, 2]|map('string')|join(',') }}") == "1,2"  # checked filters keep the items
    assert engine.render_string(" " * 999) == " " * 999  # long, but no word over max_subject_word
    engine.max_string_source = 5000  # longer than the texts kept compiled
    assert engine.render_string("{{ n }}" + " " * 4990, {"n": 2}) == "2" + " " * 4990


def test_wraptext_breaks_lines_never_words_or_urls():
    words = "lorem ipsum dolor " * 10
    cases = {
        "": "",
        "short line\n-- \n\n": "short line\n-- \n\n",  # short lines, even with trailing blanks, stay as they are
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


# Each limit, and each value a template computes checked before it is made: a render needing exactly
# E of the limit (or a bound of it where the size cannot be known beforehand) is allowed at E and refused
# at E - 1, naming what and E.  "file:" or "html:" sources are rendered as t.txt or t.html, next to base.txt.
ESCAPED = {"a": "&\"'<>" * 4, "b": Markup("<br>" * 2)}  # 4 * 23 characters escaped, and 8 kept
LIMITS = [  # limit, source, variables, what the refusal starts with, E
    ("max_source", "file:" + "x" * 100, {}, "the template source of", 100),
    ("max_string_source", "x" * 100, {}, "the template source of", 100),
    ("max_nodes", "{{ x }}" * 99, {"x": ""}, "the template has", 100),  # and 1 output node
    ("max_nodes", "file:" + "{{ x }}" * 99, {"x": ""}, "the template has", 100),
    ("max_output", "z" * 20 + "{% set a %}{{ 'x' * 20 }}{% endset %}{{ a }}{% filter upper %}" + "y" * 20
     + "{% endfilter %}", {}, "the template went", 100),  # the last 20 counted as the {% filter %} block's result
    ("max_output", 'file:{% extends "base.txt" %}{% block c %}' + "x" * 100 + "{% endblock %}", {}, "the template went", 100),
    ("max_subject_word", "Re: {{ w }}", {"w": "x" * 100}, "the rendered text holds a word of", 100),
    ("max_length", "html:{{ b ~ a }}", ESCAPED, "a ~ concatenation", 100),  # escaped text counts as printed
    ("max_output", "html:{{ a }}{{ b }}", ESCAPED, "the template went", 100),
]
AB, HALVES, ITEMS = {"a": "ab"}, {"a": "x" * 50, "b": "y" * 50}, {"items": ["x"] * 10 + ["y" * 70]}
TEXT, SHORT, X50, TABS = {"text": "a" * 10 + "c" * 82}, {"text": "a" * 10 + "c" * 70}, {"a": "x" * 50}, "x" * 10 + "\t" * 9
LENGTHS = [  # source, variables, what the refusal names, E
    ("{{ 'x'.ljust(100) }}", {}, "ljust()", 100), ("{{ 'x'.rjust(100) }}", {}, "rjust()", 100),
    ("{{ 'x'.center(100) }}", {}, "center()", 100), ("{{ '7'.zfill(100) }}", {}, "zfill()", 100),
    ("{{ 'x'|center(100) }}", {}, "center", 100), ("{{ 'x'|center }}", {}, "center", 80),
    ("{{ (0).to_bytes(100)|length }}", {}, "int.to_bytes()", 100), ("{{ (0).to_bytes()|length }}", {}, "int.to_bytes()", 1),
    ("{{ (0).to_bytes(length=100)|length }}", {}, "int.to_bytes()", 100),
    ("{{ ('x' * 100)|length }}", {}, "a * repetition", 100), ("{{ ([0] * 100)|length }}", {}, "a * repetition", 100),
    ("{{ (100 * ('x',))|length }}", {}, "a * repetition", 100),
    ("{{ dict.fromkeys(range(100))|length }}", {}, "fromkeys()", 100),
    ("{{ dict.fromkeys(range(100)|map('int'), 0)|length }}", {}, "fromkeys()", 100),
    ("{{ [1]|batch(100, 0)|first|length }}", {}, "batch", 100), ("{{ [1]|slice(100, 0)|list|length }}", {}, "slice", 100),
    ("{{ a + b }}", HALVES, "a + concatenation", 100), ("{{ (a|list + b|list)|length }}", HALVES, "a + concatenation", 100),
    ("{{ a ~ none ~ b[4:] }}", HALVES, "a ~ concatenation", 100),
    ("{{ a ~ 12345 }}", {"a": "x"}, "a ~ concatenation", 7),  # the number counted as 6
    ("{{ '--'.join(items|map('string')) }}", ITEMS, "join()", 100),
    ("{{ '--'.join(items) }}", {"items": ["x" * 100]}, "join()", 100),
    ("{{ '-'.encode().join(items)|length }}", {"items": [b"ab"] * 3}, "join()", 8),
    ("{{ items|join('--') }}", ITEMS, "join", 100), ("{{ items|join('--') }}", {"items": ["x" * 100]}, "join", 100),
    ("{{ items|join }}", {"items": ["x"] * 100}, "join", 100), ("{{ text|join('-') }}", {"text": "x" * 50}, "join", 99),
    ("{{ nums|join('-') }}", {"nums": [7] * 3}, "join", 8),  # each number counted as 2
    ("{{ text.replace('a', 'bbb', 4) }}", TEXT, "replace()", 100), ("{{ text|replace('a', 'bbb', 4) }}", TEXT, "replace", 100),
    ("{{ text.replace('a', 'bbb', count=4) }}", TEXT, "replace()", 100),
    ("{{ text.replace('a', 'bbb') }}", SHORT, "replace()", 100), ("{{ text|replace('a', 'bbb') }}", SHORT, "replace", 100),
    ("{{ text.replace('c', 'dd', 0) }}", {"text": "c" * 100}, "replace()", 100),
    ("{{ text.replace('', '--') }}", {"text": "x" * 32}, "replace()", 98),
    ("{{ text.translate({97: 98, 99: none}) }}", {"text": "a" * 100}, "translate()", 100),
    ("{{ text.translate({}) }}", {"text": "a" * 100}, "translate()", 100),
    ("{{ text.translate(['x'] * 97 + ['yy']) }}", {"text": "a" * 50}, "translate()", 100),
    ("{{ text.expandtabs() }}", {"text": "x" + "\t" * 11}, "expandtabs()", 100),
    ("{{ text.expandtabs(9) }}", {"text": TABS}, "expandtabs()", 100),
    ("{{ text.expandtabs(tabsize=9) }}", {"text": TABS}, "expandtabs()", 100),
    ("{{ text.encode().expandtabs()|length }}", {"text": TABS + "\t"}, "expandtabs()", 100),
    ("{{ text|indent(first=true) }}", {"text": "a\nb\nc"}, "indent", 17),
    ("{{ text|indent('ab', true) }}", {"text": "a\nb\nc"}, "indent", 11),
    ("{{ a|wordwrap(5, true, '--') }}", {"a": "x" * 37}, "wordwrap", 67),  # 51 made
    ("{{ a|wordwrap }}", {"a": "x y\n" * 40}, "wordwrap", 205),  # 159 made
    ("{{ a|wordwrap(1) }}", {"a": "x y " * 10}, "wordwrap", 121),
    ("{{ items|tojson(2) }}", {"items": [0] * 5}, "tojson", 48), ("{{ items|tojson('--') }}", {"items": [0] * 5}, "tojson", 48),
    ("{{ lipsum(2, false, 5, 6)|length > 0 }}", {}, "lipsum()", 192),
    ("{{ '%5s|%-4d' % (a, 7) }}", AB, "a % formatting", 821),  # each field counted as 400 more
    ("{{ '%(a)s%((b))r' % {'a': a, '(b)': a} }}", AB, "a % formatting", 834),
    ("{{ 'x%*s%*s' % (3, a, 40, b) }}", {"a": "ab", "b": "abcdef"}, "a % formatting", 858),
    ("{{ '%%|%s' % a }}", AB, "a % formatting", 407), ("{{ (fmt.encode() % 1)|length }}", {"fmt": "%5d"}, "a % formatting", 410),
    ("{{ '%lr%Lr%X' % (a, a, 255) }}", AB, "a % formatting", 1252),
    ("{{ '%5.2f' % 1.5 }}", {}, "a % formatting", 436), ("{{ '%s%%' % a }}", AB, "a % formatting", 406),
    ("{{ fmt|format(a, 2) }}", {"fmt": "%s %r", "a": "ab"}, "format", 827),
    ("{{ '{!r}'.format(a) }}", AB, "str.format()", 404), ("{{ '{:5}{}'.format(a, a) }}", AB, "str.format()", 809),
    ("{{ '{a}{b}'.format_map({'a': a, 'b': a}) }}", AB, "str.format()", 804),
    ("{{ '{!r}'.format(a) }}", X50, "a !r conversion", 500), ("{{ '{!a}'.format(a) }}", X50, "a !a conversion", 500),
    ("{{ items|string }}", {"items": ["ab"]}, "the string filter", 21),
    ("{{ items }}", {"items": [b"ab", None, 1.5, True, 10**29, "\\\\", "\0", ["x"], (), {"k": "v"}, range(2)]},
     "printing a value", 386),  # 108 made
    ("{% set ns = namespace(a='ab') %}{{ ns }}", {}, "printing a value", 29),  # 23 made
    ("{% set ns = namespace(a='ab') %}{{ [ns] }}", {}, "printing a value", 44),
]
BITS = [  # source, variables, E
    ("{{ a * b > 0 }}", {"a": 2 ** 49, "b": 2 ** 49}, 100), ("{{ a ** 1 > 0 }}", {"a": 2 ** 99}, 100),
    ("{{ a ** 3 > 0 }}", {"a": 2 ** 33}, 102), ("{{ 2 ** 50 > 0 }}", {}, 100),
    ("{{ s|int > 0 }}", {"s": "1" * 20}, 100),  # 5 bits a digit
    ("{{ (1).from_bytes(b) > 0 }}", {"b": b"x" * 12}, 96),
    ("{{ (1).from_bytes(items|map('int')) > 0 }}", {"items": ["1"] * 12}, 96),
]
SIZES = [("max_length", *row) for row in LENGTHS] + [("max_int_bits", s, v, "an integer of about", n) for s, v, n in BITS]


# The steps of work a render spends: each loop iteration, call, filter and test of two
# values, each item a filter, `in`, a call or a comparison goes through, and CHARS_PER_STEP
# characters (ITEMS_PER_STEP items) of a value built or sliced; the superlinear filters by what they copy.
T, N, W, NONE = {"text": "x" * 30050}, {"items": [0] * 300}, {"items": ["x" * 250] * 40}, lambda *a, **k: None
WORK = [  # source, variables, steps
    ("{{ items|length }}", N, 301), ("{{ text|length }}", T, 301), ("{{ text|list|length }}", {"text": "x" * 150}, 302),
    ("{{ dict(a=text)|length }}", T, 303), ("{{ text.count('x') }}", T, 301), ("{{ 'x'.count(text) }}", T, 301),
    ("{{ [0].count(items) }}", N, 302), ("{{ data.count(x) }}", {"data": b"x" * 30050, "x": b"x"}, 301),
    ("{{ f(m) is none }}", {"m": Markup("x" * 30050), "f": NONE}, 301),
    ("{{ (a + b)|length }}", {"a": [0] * 3755, "b": [0] * 3755}, 7811), ("{{ 'y' in text }}", T, 300),
    ("{{ 1 in items }}", N, 300), ("{{ 1 is in items }}", N, 301),
    ("{% for i in items %}{{ i is odd }}{% endfor %}", {"items": [1] * 300}, 300),
    ("{{ items[1:] is none }}", {"items": [0] * 7510}, 300), ("{{ text[1:]|length }}", T, 601),
    ("{{ ('x' * 30050)|length }}", {}, 601), ("{{ ([0] * 7510)|length }}", {}, 7811),
    ("{{ dict.fromkeys(range(7510))|length }}", {}, 15323),
    ("{{ [1]|batch(7510, 0)|first|length }}", {}, 7815), ("{{ [1]|slice(7510, 0)|list|length }}", {}, 15324),
    ("{{ a // b > 0 }}", {"a": 2 ** 63941, "b": 2 ** 63941}, 998), ("{{ a % b > 0 }}", {"a": 2 ** 63941, "b": 2 ** 63941 - 1}, 998),
    ("{{ a * b > 0 }}", {"a": 2 ** 32005, "b": 2 ** 32005}, 250),  # big integers: by the product of their sizes
    ("{% for i in items recursive %}{{ loop(i) if i }}{% endfor %}", {"items": [[0] * 150]}, 602),
    ("{% macro m(x) %}{% endmacro %}{% for i in items %}{{ m(items) }}{% endfor %}", {"items": [0] * 150}, 300),
    ("{{ text|striptags|length }}", {"text": "<" * 15050}, 22953),
    ("{{ text|urlize|length }}", {"text": "x" * 15050}, 22952), ("{{ text|urlize|length }}", {"text": " " * 15050}, 302),
    ("{{ text|wordwrap(9)|length }}", {"text": "x y " * 3010}, 1999), ("{{ text|wordwrap|length }}", {"text": "x y " * 3010}, 549),
    ("{{ text|wordwrap(1)|length }}", {"text": "x y " * 300}, 205),
    ("{% for i in items %}{{ i.upper() }}{% endfor %}", W, 160), ("{% for i in items %}{{ i.ljust(3) }}{% endfor %}", W, 160),
    ("{% for i in items %}{{ f(i, i, k=items) is none }}{% endfor %}", W | {"f": NONE}, 1840),
]


UNITS = {"max_source": " characters", "max_string_source": " characters", "max_output": " characters rendered in total",
         "max_work": " steps of work per render"}


@pytest.mark.parametrize("limit, source, variables, what, size",
                         LIMITS + SIZES + [("max_work", s, v, "the template went", n) for s, v, n in WORK])
def test_each_limit_allows_its_value_and_refuses_one_more(tmp_path, limit, source, variables, what, size):
    name = {"file:": "t.txt", "html:": "t.html"}.get(source[:5])
    engine = engine_with(tmp_path, {"base.txt": "{% block c %}{% endblock %}", name: source[5:]} if name else {})
    engine.max_subject_word = 100_000

    def render():
        return engine.render(name, variables) if name else engine.render_string(source, variables)

    setattr(engine, limit, size)
    render()
    setattr(engine, limit, size - 1)
    refusal = rf"^{re.escape(what)} .*over the limit {limit} \({size - 1:,}{UNITS.get(limit, '')}\)"
    with pytest.raises(SecurityError, match=refusal) as refused:
        render()
    assert what == "the template went" or f" {size:,} " in str(refused.value)


def test_cpu_deadline_is_checked_while_the_render_runs():
    engine, source, variables = TemplateEngine(None), "{% for i in items %}{% endfor %}", {"items": [0] * 1000}
    assert engine.render_string(source, variables) == ""
    engine.max_cpu_seconds = 0
    with pytest.raises(SecurityError, match=r"max_cpu_seconds \(0 seconds of CPU time per render\)"):
        engine.render_string(source, variables)


# What a template may not do: internals, undefined names, values over a limit (refused
# before Python would make them) and, for a format Python refuses itself, Python's own error.
REFUSED = [  # source, variables, error, message
    ("{{ ''.__class__.__mro__ }}", {}, SecurityError, "attribute '__class__' of 'str' object is unsafe"),
    ("{{ cycler.__init__.__globals__ }}", {}, SecurityError, "attribute '__init__' of 'type' object is unsafe"),
    ("{{ '{0.__class__}'.format(1) }}", {}, SecurityError, "attribute '__class__' of 'int' object is unsafe"),
    ("{{ '{a.__globals__}'.format_map({'a': f}) }}", {"f": engine_with}, SecurityError, "'__globals__' of 'function' object is unsafe"),
    ("{{ ('{0.__class__}'|attr('format'))(1) }}", {}, SecurityError, "'__class__' of 'int' object is unsafe"),
    ("{{ x|attr('__class__') }}", {"x": [1]}, SecurityError, "unsafe"), ("{{ x.append(1) }}", {"x": [1]}, SecurityError, "unsafe"),
    ("{{ user.name }}", {"user": {}}, jinja2.UndefinedError, "has no attribute 'name'"),
    ("{{ 'ab'.translate(7) }}", {}, SecurityError, r"^translate\(\) takes a dict, list, tuple or str table in templates$"),
    ("{{ items|sum(start=[]) }}", {"items": [[1]]}, SecurityError, r"^the sum filter adds numbers only in templates$"),
    ("{{ '{}'.format(s) }}", {"s": "x" * 1_000_001}, SecurityError, r"^a format field would make 1,000,001 "),
    ("{{ '{0:{1}}'.format('x', w) }}", {"w": "9" * 5000}, SecurityError, r"^str\.format\(\) would make"),
    ("{% call dict(a=s) %}{% endcall %}", {"s": "x" * 1_000_000}, SecurityError, r"max_output \(1,000,000 characters"),
    ("{{ ns }}", {"ns": Namespace.__new__(Namespace)}, SecurityError, r"^printing a value would make 1,000,001 "),
    ("{{ '100%' % () }}", {}, ValueError, "incomplete format|stray %"),  # 3.15 words it differently
    ("{{ '%s %s' % ('a',) }}", {}, TypeError, "not enough arguments"),
    ("{{ '%(a' % {} }}", {}, ValueError, "incomplete format key"), ("{{ '%*s' % () }}", {}, TypeError, "not enough arguments"),
]


@pytest.mark.parametrize("source, variables, error, message", REFUSED)
def test_refused_operations_name_why(source, variables, error, message):
    with pytest.raises(error, match=message):
        TemplateEngine(None).render_string(source, variables)


@pytest.mark.parametrize("family, payload", ATTACKS, ids=[f"{family}-{i}" for i, (family, _) in enumerate(ATTACKS)])
def test_attacks_end_in_security_error_within_memory(tmp_path, family, payload):
    result = run_attack(payload, tmp_path)
    report = f"{family} attack {payload[:120]!r}: {result}"
    assert result["outcome"].startswith("jinja2.exceptions.SecurityError") and result["peak_mb"] <= 100, report


def test_a_subject_word_too_long_for_a_header_line_is_refused_before_connecting(starttls_server, ca_pem):
    mailer, context, word = starttls_server.mailer(), {"title": "T", "message": "M"}, "x" * 994
    with pytest.raises(SecurityError, match=r"word of 999 characters, over the limit max_subject_word \(998\)"):
        mailer.send_template("ann@example.com", "Re: {{ w }}", "notification", context | {"w": word + "xxxxx"})
    assert starttls_server.sessions == []
    mailer.send_template("ann@example.com", "Re: {{ w }}", "notification", context | {"w": word})
    assert [str(m.message["Subject"]) for m in starttls_server.messages] == ["Re: " + word]
