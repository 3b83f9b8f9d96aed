import os
import pathlib
import re
from concurrent.futures import ThreadPoolExecutor

import jinja2
import pytest
from jinja2.exceptions import SecurityError
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


@pytest.mark.parametrize("expr", [
    "''.__class__.__mro__", "cycler.__init__.__globals__", "'{0.__class__}'.format(1)",
    "x|attr('__class__')", "x.append(1)", "x|sum(start=[])",
])
def test_sandbox_refuses_internals(tmp_path, expr):
    engine = engine_with(tmp_path, {"evil.txt": "{{ %s }}" % expr})
    with pytest.raises(SecurityError):
        engine.render_string("{{ %s }}" % expr, {"x": [1]})
    with pytest.raises(SecurityError):
        engine.render("evil.txt", {"x": [1]})


def test_autoescape_only_for_markup_templates(tmp_path):
    names = ["a.html", "a.htm", "a.xml", "a.HTML", "a.txt", "a.html.txt"]
    engine = engine_with(tmp_path, dict.fromkeys(names, "{{ v }}"))
    rendered = {n: engine.render(n, {"v": "<b>&'"}) for n in names}
    rendered["string"] = engine.render_string("{{ v }}", {"v": "<b>&'"})
    assert rendered == dict.fromkeys(names[:4], "&lt;b&gt;&amp;&#39;") | dict.fromkeys(names[4:] + ["string"], "<b>&'")
    assert all(type(r) is str for r in rendered.values())


def test_undefined_variable_raises(tmp_path):
    engine = engine_with(tmp_path, {"t.html": "{{ missing }}"})
    with pytest.raises(jinja2.UndefinedError):
        engine.render("t.html", {})
    for text in ["{{ missing }}", "{% if missing %}x{% endif %}", "{{ user.name }}"]:
        with pytest.raises(jinja2.UndefinedError):
            engine.render_string(text, {"user": {}})


def test_constructor_checks_directory(tmp_path):
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
    assert TemplateEngine(None).render_string("{{ 1 + 1 }}", {}) == "2"


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


@pytest.mark.parametrize("source, limit", [
    ("{{ 10 ** (10 ** 8) }}", "max_int_bits"), ("{{ lipsum(10**6) }}", "max_length"),
    ("{% set ns = namespace(s='ab') %}{% for i in range(30) %}{% set ns.s = ns.s ~ ns.s %}{% endfor %}", "max_length"),
    ("{% set ns = namespace(s='ab') %}{% for i in range(30) %}{% set ns.s = ns.s + ns.s %}{% endfor %}", "max_length"),
    ("{% for i in range(100000) %}{% for j in range(100000) %}{% endfor %}{% endfor %}", "max_work"),
    ("{% macro f(n) %}{% if n %}{{ f(n - 1) }}{{ f(n - 1) }}{% endif %}{% endmacro %}{{ f(40) }}", "max_work"),
])
def test_limits_refuse_runaway_values_and_loops(tmp_path, source, limit):
    engine = engine_with(tmp_path, {"t.html": source})
    if limit == "max_work":
        engine.max_work = 5000  # the same check, sooner
    for render in (lambda: engine.render_string(source, {}), lambda: engine.render("t.html", {})):
        with pytest.raises(SecurityError, match=limit):
            render()


def test_limits_leave_ordinary_templates_alone(tmp_path):
    source = ("{{ '=' * 72 }}|{{ '%-8s|%6.2f' % (name, 3.14159) }}|{{ '{:>6}'.format(n) }}|{{ n ** 40 > 0 }}"
              "|{{ name.center(12, '*') }}|{{ rows|join(',')|length }}|{{ name|indent(2, true) }}"
              "|{% for r in rows %}{% for c in r %}{{ c }}{% endfor %}{% endfor %}|{{ ('a' * 1000000)|length }}"
              "|{{ 'n' in name }}{{ name[1:] }}|{{ 1 ** 10**9 }}{{ (-1) ** 10**9 }}"
              "|{% macro m() %}<{{ caller() }}>{% endmacro %}{% call m() %}c{% endcall %}")
    out = engine_with(tmp_path, {"t.txt": source}).render("t.txt", {"name": "Ann", "n": 7, "rows": ["ab"] * 10000})
    assert out == f"{'=' * 72}|Ann     |  3.14|     7|True|****Ann*****|29999|  Ann|{'ab' * 10000}|1000000|Truenn|11|<c>"
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


def _file(engine, text):
    with open(os.path.join(engine.template_dir, "t.txt"), "w") as f:
        f.write(text)
    return engine.render("t.txt", {})


# limit: a render that needs exactly n of it
BOUNDARIES = {
    "max_source": lambda engine, n: _file(engine, "x" * n),
    "max_string_source": lambda engine, n: engine.render_string("x" * n),
    "max_nodes": lambda engine, n: engine.render_string("{{ x }}" * (n - 1), {"x": ""}),  # n - 1 names, 1 output
    "max_output": lambda engine, n: engine.render_string(
        "{% set a %}{{ 'x' * 20 }}{% endset %}{{ a }}{% filter upper %}" + "y" * 20 + "{% endfilter %}" + "z" * (n - 80)),
    "max_length": lambda engine, n: engine.render_string("{{ ('x' * n)|length }}{{ ([0] * n)|length }}", {"n": n}),
    "max_int_bits": lambda engine, n: engine.render_string("{{ a * 1 }}", {"a": 2 ** (n - 2)}),
    "max_work": lambda engine, n: engine.render_string("{% for i in items %}{% endfor %}", {"items": [0] * n}),
    "max_subject_word": lambda engine, n: engine.render_string("Re: {{ w }}", {"w": "x" * n}),
}


@pytest.mark.parametrize("limit", BOUNDARIES)
def test_each_limit_allows_its_value_and_refuses_one_more(tmp_path, limit):
    engine = TemplateEngine(tmp_path)
    BOUNDARIES[limit](engine, 101)  # under the default: also compiled and cached, if it is cached
    setattr(engine, limit, 100)
    BOUNDARIES[limit](engine, 100)
    with pytest.raises(SecurityError, match=rf"\b{limit} \(100\b"):
        BOUNDARIES[limit](engine, 101)
    assert getattr(TemplateEngine(None), limit) > 100  # set on one engine only


# Values a template computes, each of exactly n characters, items or bits
# (their source, and the variables giving that size): allowed under the
# limit n, refused under n - 1, before they are made.
def _n(n):
    return {}


def _halves(n):
    return {"a": "x" * (n // 2), "b": "y" * (n - n // 2)}


def _items(n):  # joined with "-": n characters
    return {"items": ["x"] * 10 + ["y" * (n - 20)]}


def _text(n):  # n characters once each "a" becomes two
    return {"text": "a" * 10 + "c" * (n - 20)}


EXACT_SIZES = [  # limit, source, variables, what the refusal names
    ("max_length", "{{ 'x'.ljust(n) }}", _n, "ljust()"), ("max_length", "{{ 'x'.rjust(n) }}", _n, "rjust()"),
    ("max_length", "{{ 'x'.center(n) }}", _n, "center()"), ("max_length", "{{ '7'.zfill(n) }}", _n, "zfill()"),
    ("max_length", "{{ 'x'|center(n) }}", _n, "center"), ("max_length", "{{ (0).to_bytes(n)|length }}", _n, "int.to_bytes()"),
    ("max_length", "{{ (0).to_bytes(length=n)|length }}", _n, "int.to_bytes()"),
    ("max_length", "{{ ('x' * n)|length }}", _n, "a * repetition"), ("max_length", "{{ ([0] * n)|length }}", _n, "a * repetition"),
    ("max_length", "{{ (n * ('x',))|length }}", _n, "a * repetition"),
    ("max_length", "{{ dict.fromkeys(range(n))|length }}", _n, "fromkeys()"),
    ("max_length", "{{ dict.fromkeys(range(n)|list|map('int'))|length }}", _n, "fromkeys()"),
    ("max_length", "{{ [1]|batch(n, 0)|first|length }}", _n, "batch"),
    ("max_length", "{{ [1]|slice(n, 0)|list|length }}", _n, "slice"),
    ("max_length", "{{ a + b }}", _halves, "a + concatenation"),
    ("max_length", "{{ (a|list + b|list)|length }}", _halves, "a + concatenation"),
    ("max_length", "{{ a ~ b }}", _halves, "a ~ concatenation"),
    ("max_length", "{{ a ~ none ~ b[4:] }}", _halves, "a ~ concatenation"),
    ("max_length", "{{ '-'.join(items) }}", _items, "join()"), ("max_length", "{{ items|join('-') }}", _items, "join"),
    ("max_length", "{{ '-'.join(items|map('string')) }}", _items, "join()"),
    ("max_length", "{{ text.replace('a', 'bb') }}", _text, "replace()"),
    ("max_length", "{{ text|replace('a', 'bb') }}", _text, "replace"),
    ("max_length", "{{ text.replace('a', 'bb', 4) }}", lambda n: {"text": "a" * 10 + "c" * (n - 14)}, "replace()"),
    ("max_length", "{{ text.replace('a', 'bb', count=4) }}", lambda n: {"text": "a" * 10 + "c" * (n - 14)}, "replace()"),
    ("max_length", "{{ text.replace('c', 'dd', 0) }}", lambda n: {"text": "c" * n}, "replace()"),
    ("max_length", "{{ text.translate({97: 98, 99: none}) }}", lambda n: {"text": "a" * n}, "translate()"),
    ("max_length", "{{ text.translate(['x'] * 97 + ['yy']) }}", lambda n: {"text": "a" * (n // 2)}, "translate()"),
    ("max_length", "{{ text.expandtabs() }}", lambda n: {"text": "x" + "\t" * ((n - 1) // 9)}, "expandtabs()"),
    ("max_length", "{{ text.encode().expandtabs()|length }}", lambda n: {"text": "x" * 10 + "\t" * 10}, "expandtabs()"),
    ("max_length", "{{ text.expandtabs(tabsize=9) }}", lambda n: {"text": "x" * (n - 90) + "\t" * 9}, "expandtabs()"),
    ("max_int_bits", "{{ a * b > 0 }}", lambda n: {"a": 2 ** (n // 2 - 1), "b": 2 ** (n // 2 - 1)}, "an integer of about 100 bits"),
    ("max_int_bits", "{{ a ** 1 > 0 }}", lambda n: {"a": 2 ** (n - 1)}, "an integer of about 100 bits"),
    ("max_int_bits", "{{ 2 ** (n // 2) > 0 }}", _n, "an integer of about 100 bits"),
    ("max_int_bits", "{{ a ** 4 > 0 }}", lambda n: {"a": 2 ** (n // 4 - 1)}, "an integer of about 100 bits"),
    ("max_int_bits", "{{ s|int > 0 }}", lambda n: {"s": "1" * (n // 5)}, "an integer of about 100 bits"),  # 5 bits a digit
]


@pytest.mark.parametrize("limit, source, variables, what", EXACT_SIZES)
def test_each_computed_value_is_allowed_up_to_its_limit(limit, source, variables, what):
    engine = TemplateEngine(None)
    setattr(engine, limit, 100)
    engine.render_string(source, variables(100) | {"n": 100})
    setattr(engine, limit, 99)
    with pytest.raises(SecurityError, match=rf"^{re.escape(what)} .*over the limit {limit} \(99\)"):
        engine.render_string(source, variables(100) | {"n": 100})


def test_escaped_text_counts_as_it_is_printed(tmp_path):
    engine = engine_with(tmp_path, {"join.html": "{{ a ~ b }}", "print.html": "{{ a }}{{ b }}"})
    variables = {"a": "&\"'<>" * 4, "b": Markup("<br>" * 2)}  # 4 * 23 characters escaped, and 8 kept
    for name, limit in (("join.html", "max_length"), ("print.html", "max_output")):
        setattr(engine, limit, 100)
        assert len(engine.render(name, variables)) == 100
        setattr(engine, limit, 99)
        with pytest.raises(SecurityError, match=rf"{limit} \(99\b"):
            engine.render(name, variables)


# Values whose size is bounded before they are made (formatting, wrapping):
# a value of k characters, allowed for k = 20 under max_length = 1000 and
# refused for k = 1001.
BOUNDED_SIZES = [  # source, variables, what the refusal names
    ("{{ fmt % 'x' }}", lambda k: {"fmt": f"%{k}s"}, "a % formatting"),
    ("{{ '%*s' % (k, 'x') }}", _n, "a % formatting"), ("{{ '%*s%s' % (2, 'x', a) }}", lambda k: {"a": "x" * k}, "a % formatting"), ("{{ '%-*.*s' % (k, 1, 'x') }}", _n, "a % formatting"),
    ("{{ fmt % 1.5 }}", lambda k: {"fmt": f"%#0+ .{k - 2}f"}, "a % formatting"),
    ("{{ '%s%%%s' % (a, b) }}", _halves, "a % formatting"),
    ("{{ '%(a)s%((b))s' % {'a': a, '(b)': b} }}", _halves, "a % formatting"),
    ("{{ '%r' % (a,) }}", _halves, "a % formatting"),
    ("{{ (fmt.encode() % 1)|length }}", lambda k: {"fmt": f"%{k}d"}, "a % formatting"),
    ("{{ '{}{}'.format(a, b) }}", _halves, "str.format()"), ("{{ '{:{w}}'.format('x', w=k) }}", _n, "str.format()"),
    ("{{ '{a}{b}'.format_map({'a': a, 'b': b}) }}", _halves, "str.format()"),
    ("{{ '{}'.format(a) }}", lambda k: {"a": "x" * k}, "a format field"),
    ("{{ '{!r}'.format(a) }}", _halves, "a !r conversion"), ("{{ '{!a}'.format(a) }}", _halves, "a !a conversion"),
    ("{{ '%s%s'|format(a, b) }}", _halves, "format"), ("{{ '%(a)s%(b)s'|format(a=a, b=b) }}", _halves, "format"),
    ("{{ a|wordwrap(5, true, '--') }}", lambda k: {"a": "x" * k}, "wordwrap"),
    ("{{ text|indent(2, true) }}", lambda k: {"text": "x" * (k // 2) + "\n" + "y" * (k // 2)}, "indent"),
    ("{{ ('\t' * (k // 4)).expandtabs(4) }}", _n, "expandtabs()"),
    ("{{ items|tojson(2) }}", lambda k: {"items": [0] * (k // 6)}, "tojson"),
    ("{{ nums|join('-') }}", lambda k: {"nums": [7] * (k // 2 + 1)}, "join"),
    ("{{ items }}", lambda k: {"items": ["x" * 8] * (k // 10)}, "printing a value"),
    ("{{ items }}", lambda k: {"items": [[], "\0" * (k // 4), [], {}, b"", 1.5]}, "printing a value"),  # '\x00' each
    ("{% set ns = namespace(a=a) %}{{ ns }}", lambda k: {"a": "x" * k}, "printing a value"),
    ("{{ items }}", lambda k: {"items": {"x" * (k // 2): ("y" * (k // 2),)}}, "printing a value"),
    ("{{ items }}", lambda k: {"items": [10 ** (k // 4)] * 4}, "printing a value"),
]


@pytest.mark.parametrize("source, variables, what", BOUNDED_SIZES)
def test_each_formatted_value_is_checked_before_it_is_made(source, variables, what):
    engine = TemplateEngine(None)
    engine.max_length = 1000
    engine.render_string(source, variables(20) | {"k": 20})
    with pytest.raises(SecurityError, match=rf"^{re.escape(what)} would make .* max_length \(1,000\)"):
        engine.render_string(source, variables(1001) | {"k": 1001})


# Work that costs about m steps (an item, CHARS_PER_STEP characters or
# ITEMS_PER_STEP items built or copied a step): allowed for m = 500 under
# max_work = 1000, refused for m = 2000.
WORK = [
    ("{{ items|length }}", lambda m: {"items": [0] * m}), ("{{ text|length }}", lambda m: {"text": "x" * 100 * m}),
    ("{{ text|list|length }}", lambda m: {"text": "x" * (m // 2)}),
    ("{{ text.count('x') }}", lambda m: {"text": "x" * 100 * m}), ("{{ 'x'.count(text) }}", lambda m: {"text": "x" * 100 * m}),
    ("{{ [0].count(items) }}", lambda m: {"items": [0] * m}), ("{{ x.count(data) }}", lambda m: {"x": b"x", "data": b"x" * 100 * m}), ("{{ dict(a=text)|length }}", lambda m: {"text": "x" * 100 * m}),
    ("{{ 1 in items }}", lambda m: {"items": [0] * m}), ("{{ 1 is in items }}", lambda m: {"items": [0] * m}),
    ("{{ items[1:] is none }}", lambda m: {"items": [0] * 25 * m}), ("{{ text[1:]|length }}", lambda m: {"text": "x" * 100 * m}),
    ("{% for i in items recursive %}{{ loop(i) if i }}{% endfor %}", lambda m: {"items": [[0] * (m // 2)]}),
    ("{{ text|striptags|length }}", lambda m: {"text": "<" * int(100 * m ** 0.5)}),
    ("{{ text|urlize|length }}", lambda m: {"text": "x" * int(100 * m ** 0.5)}),
    ("{{ text|wordwrap(1)|length }}", lambda m: {"text": "x y " * int(25 * m ** 0.5)}),
]


@pytest.mark.parametrize("source, variables", WORK)
def test_work_is_counted_by_the_size_of_what_is_gone_through(source, variables):
    engine = TemplateEngine(None)
    engine.max_work = 1000
    engine.render_string(source, variables(500))
    with pytest.raises(SecurityError, match=r"max_work \(1,000 steps"):
        engine.render_string(source, variables(2000))


def test_arithmetic_on_big_integers_costs_work_by_their_size():
    engine = TemplateEngine(None)
    engine.max_int_bits = 3_000_000
    for op in ("*", "//", "%"):
        engine.render_string(f"{{{{ a {op} a >= 0 }}}}", {"a": 2 ** 2**19})
        with pytest.raises(SecurityError, match="max_work"):
            engine.render_string(f"{{{{ a {op} a >= 0 }}}}", {"a": 2 ** 2**20})


def test_a_lowered_limit_applies_to_what_was_compiled_before(tmp_path):
    engine = engine_with(tmp_path, {"t.txt": "{{ 1 }}{{ 2 }}" + "x" * 100})  # 114 characters, 4 nodes
    for limit, value in (("max_source", 113), ("max_nodes", 3)):
        assert engine.render("t.txt") == "12" + "x" * 100
        setattr(engine, limit, value)
        with pytest.raises(SecurityError, match=limit):
            engine.render("t.txt")
        delattr(engine, limit)
    engine.max_string_source = 5000  # longer than the texts kept compiled
    assert engine.render_string("{{ n }}" + " " * 4990, {"n": 2}) == "2" + " " * 4990
    assert engine.render_string(" " * 999) == " " * 999  # long, but no word over max_subject_word
    engine.max_int_bits = 800
    assert engine.render_string("{{ (1).from_bytes(b) > 0 }}", {"b": b"x" * 100}) == "True"
    with pytest.raises(SecurityError, match="about 808 bits"):
        engine.render_string("{{ (1).from_bytes(b) > 0 }}", {"b": b"x" * 101})


def test_cpu_deadline_is_checked_while_the_render_runs():
    engine = TemplateEngine(None)
    source = "{% for i in items %}{% endfor %}"
    assert engine.render_string(source, {"items": [0] * 1000}) == ""
    engine.max_cpu_seconds = 0
    with pytest.raises(SecurityError, match=r"max_cpu_seconds \(0 seconds"):
        engine.render_string(source, {"items": [0] * 1000})


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
