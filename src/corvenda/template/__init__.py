"""Render e-mail templates written in Jinja2 syntax.

A TemplateEngine looks templates up in an optional directory first and then
among the templates shipped in this package, so a custom directory can
override a built-in template by name or extend the built-in layout::

    engine = TemplateEngine(None)
    html = engine.render("notification.html", {"title": "Hi", "message": "Done."})

Everything renders in Jinja2's immutable sandbox, so a template cannot reach
Python internals or modify the values passed to it.  Using an undefined
variable is an error.  Only templates named *.html, *.htm or *.xml are
autoescaped; plain-text templates and strings (subjects) are not.

Every render is bounded by limits that are attributes of TemplateEngine
(set them on the class or on one engine): the length of the source
(max_source, max_string_source), the characters the render produces in
total (max_output), the size of any value it computes, checked before the
value is made (max_length, max_int_bits), the work it does (max_work: loop
iterations, calls, filter applications, the items and characters filters go
through and the values built) and its CPU time (max_cpu_seconds).  Going
over a limit raises jinja2.exceptions.SecurityError naming the limit and its
value.
"""

import contextvars
import errno
import functools
import inspect
import json
import os
import re
import time
import types
from collections.abc import Callable, Iterable, Iterator, Mapping, Sized
from typing import Any

from jinja2 import ChoiceLoader, FileSystemLoader, StrictUndefined, Template, nodes, pass_eval_context, select_autoescape
from jinja2.compiler import CodeGenerator, Frame, operators
from jinja2.exceptions import SecurityError
from jinja2.nodes import EvalContext
from jinja2.runtime import Context, LoopContext, Macro, markup_join, str_join
from jinja2.sandbox import ImmutableSandboxedEnvironment, SandboxedFormatter
from jinja2.utils import Namespace
from markupsafe import Markup, escape

from corvenda.template._plaintext import wrap_text

__all__ = ["STRING_CACHE_LIMIT", "TemplateEngine"]

# The str.format checks build on the hook that Jinja2 3.1.5 added and 3.1.6
# completed (both str.format advisories fixed); older releases lack it.
if not hasattr(ImmutableSandboxedEnvironment, "wrap_str_format"):
    raise ImportError("corvenda.template needs Jinja2 3.1.6 or newer")

BUILTIN_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "templates")

# Compiled render_string() templates kept per engine, keyed by their text;
# only texts up to STRING_CACHE_LIMIT characters are kept.
STRING_CACHE_SIZE = 256
STRING_CACHE_LIMIT = 4096

# What one step of max_work buys: a loop iteration, a call, a filter
# application or an item a filter goes through; or building this many
# characters (or list items) of a value; or this many characters copied by
# a built-in filter whose cost grows faster than its input (striptags,
# wordwrap, urlize).
CHARS_PER_STEP = 100
ITEMS_PER_STEP = 25
COPIES_PER_STEP = 10_000
# The CPU clock is read every time this many steps have been spent.
_CLOCK_EVERY = 128


class _Budget:
    """What is left of one render's limits."""

    __slots__ = ("limits", "work_left", "output_left", "clock_at", "deadline")

    def __init__(self, limits: "TemplateEngine") -> None:
        self.limits = limits
        self.work_left = limits.max_work
        self.output_left = limits.max_output
        # Never below 0, so that spending past the budget is always refused.
        self.clock_at = max(self.work_left - _CLOCK_EVERY, 0)
        self.deadline = time.thread_time() + limits.max_cpu_seconds


class _NoBudget:
    """The budget outside TemplateEngine's renders: using it is refused (so
    filters, for example, are not evaluated ahead of time while compiling)."""

    __slots__ = ()

    def __getattr__(self, name: str) -> Any:
        raise SecurityError("templates are evaluated only while TemplateEngine renders them")


# The budget of the render running in this thread or task.
_budget: contextvars.ContextVar[_Budget] = contextvars.ContextVar("corvenda_template_budget",
                                                                   default=_NoBudget())  # type: ignore[arg-type]
_current = _budget.get


def _over(budget: _Budget, limit: str, unit: str) -> SecurityError:
    return SecurityError(f"the template went over the limit {limit} ({getattr(budget.limits, limit):,} {unit})")


def _spend(count: int) -> None:
    """Spend ``count`` steps of the render's work budget."""
    budget = _current()
    budget.work_left -= count
    if budget.work_left < budget.clock_at:
        if budget.work_left < 0:
            raise _over(budget, "max_work", "steps of work per render")
        budget.clock_at = max(budget.work_left - _CLOCK_EVERY, 0)
        if time.thread_time() > budget.deadline:
            raise _over(budget, "max_cpu_seconds", "seconds of CPU time per render")


def _count_output(size: int) -> None:
    budget = _current()
    budget.output_left -= size
    if budget.output_left < 0:
        raise _over(budget, "max_output", "characters rendered in total")


def _check_length(what: str, size: int, per_step: int = CHARS_PER_STEP) -> None:
    """Refuse a value of ``size`` characters or items over max_length; else pay for building it."""
    budget = _current()
    if size > budget.limits.max_length:
        raise SecurityError(f"{what} would make {size:,} characters or items, "
                            f"over the limit max_length ({budget.limits.max_length:,})")
    budget.work_left -= size // per_step
    if budget.work_left < budget.clock_at:
        _spend(0)


def _int_work(left: int, right: int) -> int:
    """Steps for multiplying or dividing two integers (about a million 64-bit digit products a second)."""
    return (left.bit_length() >> 6) * (right.bit_length() >> 6) // 1000


def _check_bits(bits: int) -> None:
    limit = _current().limits.max_int_bits
    if bits > limit:
        raise SecurityError(f"an integer of about {bits:,} bits is over the limit max_int_bits ({limit:,})")


# Sizes of str() of small values of fixed kinds; anything unknown counts as
# _OTHER_SIZE (the objects a template can make print short reprs).
_SMALL_SIZES: dict[type, int] = {bool: 5, type(None): 4, float: 24, complex: 50}
_OTHER_SIZE = 200


def _text_size(value: Any, limit: int) -> int:
    """An upper bound of len(str(value)), counted only up to just past ``limit``.

    Items inside containers count as their repr(), which may be longer
    than the item itself.
    """
    size = 0
    pending: list[Iterator[tuple[Any, bool]]] = [iter([(value, False)])]
    while pending and size <= limit:
        entry = next(pending[-1], None)
        if entry is None:
            pending.pop()
            continue
        item, quoted = entry
        if isinstance(item, str):
            n = len(item)
            size += n if not quoted else (2 * n + 2 if item.isprintable() else 10 * n + 2)
        elif type(item) is int:
            size += item.bit_length() * 31 // 100 + 2
        elif isinstance(item, (bytes, bytearray)):
            size += 4 * len(item) + 14
        elif isinstance(item, dict):
            size += 2 + 4 * len(item)
            pending.append((x, True) for pair in item.items() for x in pair)
        elif isinstance(item, (list, tuple, set, frozenset)):
            size += 13 + 2 * len(item)
            pending.append((x, True) for x in item)
        elif isinstance(item, Namespace):  # prints as <Namespace {attributes}>
            try:  # its attributes are kept under this name (a namespace hides them from templates)
                attributes = object.__getattribute__(item, "_Namespace__attrs")
            except AttributeError:  # kept elsewhere: its size is unknown, so it is refused
                return limit + 1
            size += 13
            pending.append(iter([(attributes, True)]))
        else:
            size += _SMALL_SIZES.get(type(item), _OTHER_SIZE)
    return size


def _checked_text_size(what: str, value: Any) -> int:
    """The size of str(value), refused over max_length before it is made."""
    size = _text_size(value, _current().limits.max_length)
    _check_length(what, size)
    return size


def _escaped_size(text: str) -> int:
    """len(escape(text)) without making it."""
    return (len(text) + 4 * (text.count("&") + text.count('"') + text.count("'"))
            + 3 * (text.count("<") + text.count(">")))


def _cost(value: Any) -> int:
    """Steps for going through ``value``: its items, or its characters by the hundred."""
    if isinstance(value, (str, bytes)):
        return len(value) // CHARS_PER_STEP
    if isinstance(value, (list, tuple, dict, set, frozenset, range)):
        return len(value)
    return 0


def _counted(iterable: Iterable[Any]) -> Iterable[Any]:
    """Spend one step per item of ``iterable`` as it is reached (so the clock
    is read as the loop goes); refused at once when its length is over the
    steps left."""
    if isinstance(iterable, Sized) and len(iterable) > _current().work_left:
        _spend(len(iterable))
    return _counting(iterable)


def _counting(iterable: Iterable[Any]) -> Iterator[Any]:
    budget = _current()
    for item in iterable:
        budget.work_left -= 1
        if budget.work_left < budget.clock_at:
            _spend(0)
        yield item


def _number(digits: str) -> int:
    """The value of a width written in digits (any 20 digits or more: 10**20)."""
    return int(digits) if len(digits) < 20 else 10**20


def _percent_size(fmt: str | bytes, args: Any) -> int:
    """An upper bound of len(fmt % args), read the way str % reads a format."""
    text = fmt.decode("latin-1") if isinstance(fmt, bytes) else fmt
    limit = _current().limits.max_length
    positional = args if isinstance(args, tuple) else (args,)
    size, index, at, end = len(text), 0, 0, len(text)
    while size <= limit and (at := text.find("%", at) + 1) > 0:
        value: Any = None
        if text.startswith("(", at):  # a mapping key, which may hold nested parentheses
            depth, at = 1, at + 1
            key_start = at
            while at < end and depth:
                depth += {"(": 1, ")": -1}.get(text[at], 0)
                at += 1
            if isinstance(args, Mapping):
                try:
                    value = args[text[key_start:at - 1]]
                except Exception:  # the formatting itself reports it
                    value = None
            index = -1
        while at < end and text[at] in "-+ #0":
            at += 1
        for _ in range(2):  # width, then precision after a dot
            if text.startswith("*", at):
                star = positional[index] if 0 <= index < len(positional) else 0
                size += star if isinstance(star, int) else 0
                index += 1 if index >= 0 else 0
                at += 1
            else:
                digits = re.match(r"\d*", text[at:at + 40]).group()  # type: ignore[union-attr]
                size += _number(digits) if digits else 0
                at += len(digits)
            if not text.startswith(".", at):
                break
            at += 1
        while at < end and text[at] in "hlL":
            at += 1
        conversion = text[at:at + 1]
        at += 1
        if conversion == "%":
            continue
        if index >= 0:
            value = positional[index] if index < len(positional) else None
            index += 1
        size += _text_size(value, limit) * (10 if conversion in "ra" else 1) + 400
    return size


class _CheckingFormatter(SandboxedFormatter):
    """Formats like the sandbox's str.format, refusing each field, and the
    running total, before it goes over max_length."""

    def __init__(self, env: "_BoundedEnvironment") -> None:
        super().__init__(env)
        self.total = 0

    def convert_field(self, value: Any, conversion: str | None) -> Any:
        if conversion in ("r", "a"):
            _check_length(f"a !{conversion} conversion", _text_size(value, _current().limits.max_length) * 10)
        return super().convert_field(value, conversion)

    def format_field(self, value: Any, format_spec: str) -> Any:
        width = max(map(_number, re.findall(r"\d+", format_spec)), default=0)
        self.total += width + _checked_text_size("a format field", value) + 400
        _check_length("str.format()", self.total)
        return super().format_field(value, format_spec)


def _replaced_length(text: str | bytes, old: Any, new: Any, count: int) -> int:
    hits = text.count(old) if old else len(text) + 1
    if isinstance(count, int) and 0 <= count < hits:
        hits = count
    return len(text) + hits * (len(new) - len(old))


def _total_length(items: list[Any]) -> int:
    try:
        return sum(map(len, items))
    except TypeError:  # not all sized: numbers and the like count as their str()
        limit = _current().limits.max_length
        return sum(_text_size(item, limit) for item in items)


_FORMATS = frozenset(["format", "format_map"])

# Methods whose result size their arguments choose.
_CHECKED_METHODS = frozenset(["ljust", "rjust", "center", "zfill", "expandtabs", "join", "replace",
                              "translate", "to_bytes", "from_bytes", "fromkeys"])


def _check_method(obj: Any, args: tuple[Any, ...], kwargs: dict[str, Any]) -> tuple[Any, ...]:
    """Refuse a call of one of _CHECKED_METHODS whose result would exceed the limits.

    Returns the arguments to call with (an iterable argument is read into a list).
    """
    target, name = obj.__self__, obj.__name__
    if name in ("join", "fromkeys", "from_bytes") and args and not isinstance(args[0], Sized):
        args = (list(_counting(args[0])), *args[1:])
    if name == "fromkeys" and args:
        _check_length("fromkeys()", len(args[0]), ITEMS_PER_STEP)
    elif target is int and name == "from_bytes" and args:
        _check_bits(8 * len(args[0]))
    elif isinstance(target, int) and name == "to_bytes":
        size = args[0] if args else kwargs.get("length", 1)
        if isinstance(size, int):
            _check_length("int.to_bytes()", size)
    if not isinstance(target, (str, bytes)):
        return args
    if name in ("ljust", "rjust", "center", "zfill") and args and isinstance(args[0], int):
        _check_length(f"{name}()", args[0])
    elif name == "expandtabs":
        size = args[0] if args else kwargs.get("tabsize", 8)
        if isinstance(size, int):
            tabs = target.count("\t") if isinstance(target, str) else target.count(b"\t")
            _check_length("expandtabs()", len(target) + tabs * size)
    elif name == "join" and args:
        items = args[0]
        _check_length("join()", _total_length(items) + len(target) * max(len(items) - 1, 0))
    elif name == "replace" and len(args) >= 2:
        count = args[2] if len(args) > 2 else kwargs.get("count", -1)
        _check_length("replace()", _replaced_length(target, args[0], args[1], count))
    elif name == "translate" and args:
        table = args[0]
        if isinstance(table, Mapping):
            entries: Iterable[Any] = table.values()
        elif isinstance(table, (list, tuple, str)):
            entries = table
        else:
            raise SecurityError("translate() takes a dict, list, tuple or str table in templates")
        _spend(len(table))
        longest = max((len(v) if isinstance(v, str) else 1 for v in entries if v is not None), default=1)
        _check_length("translate()", len(target) * longest)
    return args


# Filters that make a str of the value they are applied to.
_STRINGIFYING = frozenset(["capitalize", "center", "e", "escape", "forceescape", "format", "indent", "lower",
                           "pprint", "replace", "safe", "string", "striptags", "title", "tojson", "trim",
                           "truncate", "upper", "urlencode", "urlize", "wordcount", "wordwrap", "xmlattr",
                           "wraptext"])
# Filters that go through a str value character by character (each one an item).
_ITERATING = frozenset(["batch", "dictsort", "groupby", "items", "join", "list", "map", "max", "min", "reject",
                        "rejectattr", "select", "selectattr", "slice", "sort", "sum", "unique"])


def _size_checks() -> dict[str, Callable[..., None]]:
    """Checks of the filters whose result size (or cost) their arguments choose."""

    def center(value: Any, width: int = 80) -> None:
        _check_length("center", width)

    def indent(s: Any, width: int | str = 4, *rest: Any, **kwargs: Any) -> None:
        lines = str(s).count("\n") + 1
        _check_length("indent", len(str(s)) + lines * (len(width) if isinstance(width, str) else width))

    def format_(value: Any, *args: Any, **kwargs: Any) -> None:
        _check_length("format", _percent_size(str(value), kwargs or args))

    def replace(s: Any, old: Any, new: Any, count: int | None = None) -> None:
        _check_length("replace", _replaced_length(str(s), str(old), str(new), -1 if count is None else count))

    def wordwrap(s: Any, width: int = 79, break_long_words: bool = True,
                 wrapstring: str | None = None, *rest: Any, **kwargs: Any) -> None:
        text = str(s)
        # Wrapping slices a long word once per line it fills: quadratic.
        _spend(len(text) * (len(text) // max(width, 1) + 1) // COPIES_PER_STEP)
        lines = 2 * len(text) // max(width, 1) + text.count("\n") + 1
        _check_length("wordwrap", len(text) + lines * len(wrapstring or "\n"))

    def striptags(value: Any) -> None:
        text = str(value)  # each tag and comment removed copies the rest of the text
        _spend((text.count("<") + 1) * len(text) // COPIES_PER_STEP)

    def urlize(value: Any, *args: Any, **kwargs: Any) -> None:
        text = str(value)  # punctuation is searched for at every position of a word
        _spend(len(text) * max(map(len, text.split()), default=0) // COPIES_PER_STEP)

    def batch(value: Any, linecount: int, fill_with: Any = None) -> None:
        if fill_with is not None:
            _check_length("batch", linecount, ITEMS_PER_STEP)

    def slice_(value: Any, slices: int, fill_with: Any = None) -> None:
        _check_length("slice", slices, ITEMS_PER_STEP)

    def tojson(value: Any, indent: int | str | None = None) -> None:
        if indent:
            width = len(indent) if isinstance(indent, str) else indent
            _check_length("tojson", (len(json.dumps(value, default=str)) + 1) * (width + 1))

    def join(value: Any, d: str = "", attribute: Any = None) -> None:
        if attribute is None:
            items = value if type(value) in (list, tuple) else list(value)
            _check_length("join", _total_length(items) + len(str(d)) * max(len(items) - 1, 0))

    def int_(value: Any, default: int = 0, base: int = 10) -> None:
        if isinstance(value, str):  # at most 5 bits a digit (base 32)
            _check_bits(5 * len(value))

    def sum_(value: Any, attribute: Any = None, start: Any = 0) -> None:
        if not isinstance(start, (int, float)):  # adding up lists copies them again and again
            raise SecurityError("the sum filter adds numbers only in templates")

    return {"center": center, "indent": indent, "format": format_, "replace": replace, "wordwrap": wordwrap,
            "striptags": striptags, "urlize": urlize, "batch": batch, "slice": slice_, "tojson": tojson,
            "join": join, "int": int_, "sum": sum_}


def _charged_filters(filters: dict[str, Any]) -> None:
    """Make every filter spend work and check sizes before it runs."""
    checks = _size_checks()
    for name, original in list(filters.items()):
        filters[name] = _charged_filter(name, original, checks.get(name))


# Types a filter's value is most often of, checked by identity first.
_SCALARS = frozenset([int, float, bool, type(None)])
_CONTAINERS = frozenset([list, tuple, dict, set, frozenset, range])


def _charged_filter(name: str, original: Any, check: Callable[..., None] | None) -> Any:
    # Filters marked to receive the environment or a context get it first.
    skip = 0 if getattr(original, "jinja_pass_arg", None) is None else 1
    stringifies, iterates = name in _STRINGIFYING, name in _ITERATING
    chars_per_step = 1 if iterates else CHARS_PER_STEP
    what = f"the {name} filter"

    @functools.wraps(original)
    def charged(*args: Any, **kwargs: Any) -> Any:
        value = args[skip]  # Jinja passes every filter its value
        kind = type(value)
        if kind is str or kind is Markup:
            cost = 1 + len(value) // chars_per_step
        elif kind in _CONTAINERS:
            cost = 1 + len(value)
            if stringifies:
                _checked_text_size(what, value)
        elif kind in _SCALARS:
            cost = 1
        else:
            cost = 1 + _cost(value)
            if hasattr(kind, "__next__"):  # an iterator, such as another filter's result
                # join's check reads the items before join does: it gets them as a list.
                value = list(_counting(value)) if name == "join" else _counting(value)
                args = (*args[:skip], value, *args[skip + 1:])
            elif stringifies and not isinstance(value, str):
                _checked_text_size(what, value)
        budget = _current()
        budget.work_left -= cost
        if budget.work_left < budget.clock_at:
            _spend(0)
        if check is not None:
            check(*args[skip:], **kwargs)
        return original(*args, **kwargs)

    return charged


def _charged_test(original: Any) -> Any:
    """A test that spends a step plus one per item of its arguments (``x is in big``)."""

    @functools.wraps(original)
    def charged(*args: Any, **kwargs: Any) -> Any:
        _spend(1 + sum(map(_cost, args[1:])))
        return original(*args, **kwargs)

    return charged


def _lipsum(original: Any) -> Callable[..., str]:
    @functools.wraps(original)
    def lipsum(n: int = 5, html: bool = True, min: int = 20, max: int = 100) -> str:
        _check_length("lipsum()", n * max * 16)  # words are at most 14 characters plus a blank
        return str(original(n, html, min, max))

    return lipsum


_escaped_chars = re.compile(r"[&<>\"']").search


@pass_eval_context
def _finalize(eval_ctx: EvalContext, value: Any) -> Any:
    """Every {{ expression }}: counted as the text it prints, checked before it is made."""
    budget = _current()
    kind = type(value)
    if kind is str:
        size = _escaped_size(value) if eval_ctx.autoescape and _escaped_chars(value) else len(value)
    elif kind is Markup:
        size = len(value)
    elif kind in _SCALARS:  # numbers print short (an int over 4,300 digits is refused by str())
        value = str(value)
        size = len(value)
    else:
        size = _checked_text_size("printing a value", value)
        if size > budget.output_left:
            _count_output(size)  # refused before it is made
        value = escape(value) if eval_ctx.autoescape else str(value)
        size = len(value)
    budget.output_left -= size
    if budget.output_left < 0:
        raise _over(budget, "max_output", "characters rendered in total")
    return value


# The filter that every for loop's iterable passes through (a name no
# template would use; using it only counts the steps).
_COUNTED_FILTER = "corvenda_counted_loop"


class _BoundedCodeGenerator(CodeGenerator):
    """Counts the steps of every loop and every character of output, and
    checks ``~`` concatenations before they are made."""

    def visit_Template(self, node: nodes.Template, frame: Frame | None = None) -> None:
        # Compiling costs time and memory in proportion to the nodes (about
        # 6 KB each in the costliest shapes): refused before it starts.
        limit = self.environment.limits.max_nodes  # type: ignore[attr-defined]
        count = sum(1 for _ in node.find_all(nodes.Node))
        if count > limit:
            raise SecurityError(f"the template has {count:,} expressions, tags and texts, over the limit "
                                f"max_nodes ({limit:,})")
        # Every for loop spends one step per item.
        for loop in node.find_all(nodes.For):
            loop.iter = nodes.Filter(loop.iter, _COUNTED_FILTER, [], [], None, None, lineno=loop.iter.lineno)
        super().visit_Template(node, frame)

    def enter_frame(self, frame: Frame) -> None:
        # Every function and loop body of the template starts by fetching
        # the render's budget once, for the text counts below.
        super().enter_frame(frame)
        self.writeline("corvenda_budget = environment.budget()")

    def visit_Output(self, node: nodes.Output, frame: Frame) -> None:
        # Template text is counted here, inline (this runs for every text of
        # the template); {{ expressions }} by _finalize.
        text = sum(len(child.data) for child in node.nodes if isinstance(child, nodes.TemplateData))
        if text and not (frame.require_output_check and self.has_known_extends):
            self.writeline(f"corvenda_budget.output_left -= {text}")
            self.writeline("if corvenda_budget.output_left < 0: environment.count_output(0)  # raises")
        super().visit_Output(node, frame)

    def visit_Concat(self, node: nodes.Concat, frame: Frame) -> None:
        self.write("environment.bounded_join(context, (")
        for arg in node.nodes:
            self.visit(arg, frame)
            self.write(", ")
        self.write("))")

    def visit_Operand(self, node: nodes.Operand, frame: Frame) -> None:
        # a == b, a in b and the like go through b: they pay for it (a
        # literal is as long as the source allows).
        if isinstance(node.expr, nodes.Const):
            super().visit_Operand(node, frame)
            return
        self.write(f" {operators[node.op]} environment.compared(")
        self.visit(node.expr, frame)
        self.write(")")

    def visit_Getitem(self, node: nodes.Getitem, frame: Frame) -> None:
        if isinstance(node.arg, nodes.Slice):  # a slice copies up to the whole value: paid for first
            self.write("environment.sliced(")
            self.visit(node.node, frame)
            self.write(")[")
            self.visit(node.arg, frame)
            self.write("]")
        else:
            super().visit_Getitem(node, frame)

    def visit_Filter(self, node: nodes.Filter, frame: Frame) -> None:
        if node.node is None:  # a {% filter %} block or a filtered {% set %} block: its result is output too
            self.write("environment.counted(")
            super().visit_Filter(node, frame)
            self.write(")")
        else:
            super().visit_Filter(node, frame)

    def visit_Call(self, node: nodes.Call, frame: Frame, forward_caller: bool = False) -> None:
        if forward_caller:  # a {% call %} block: what the call returns is output
            self.write("environment.counted(")
            super().visit_Call(node, frame, forward_caller=True)
            self.write(")")
        else:
            super().visit_Call(node, frame)


class _BoundedEnvironment(ImmutableSandboxedEnvironment):
    """The immutable sandbox with the limits of its TemplateEngine."""

    code_generator_class = _BoundedCodeGenerator
    intercepted_binops = frozenset(["*", "**", "%", "+", "//"])

    def __init__(self, limits: "TemplateEngine", **options: Any) -> None:
        super().__init__(finalize=_finalize, **options)
        self.limits = limits
        self.budget = _current  # called from the compiled templates
        self.count_output = _count_output  # called from the compiled templates
        self.filters["wraptext"] = wrap_text
        _charged_filters(self.filters)
        self.filters[_COUNTED_FILTER] = _counted
        tests: dict[str, Any] = self.tests
        for name, test in list(tests.items()):
            if len(inspect.signature(test).parameters) > 1:  # tests of one value cost what a step does
                self.tests[name] = _charged_test(test)
        self.globals["lipsum"] = _lipsum(self.globals["lipsum"])

    def preprocess(self, source: str, name: str | None = None, filename: str | None = None) -> str:
        """Refuse a source longer than max_source (files) or max_string_source (texts)."""
        limit = "max_string_source" if name is None else "max_source"
        if len(source) > getattr(self.limits, limit):
            raise SecurityError(f"the template source of {len(source):,} characters is over the limit "
                                f"{limit} ({getattr(self.limits, limit):,} characters)")
        return super().preprocess(source, name, filename)

    def compile(self, *args: Any, **kwargs: Any) -> Any:
        """Compile without a budget, so that Jinja's optimizer cannot evaluate
        filters and tests on constants ahead of time: a value computed while
        compiling would be kept in the compiled template and escape the
        limits of every later render."""
        token = _budget.set(_NoBudget())  # type: ignore[arg-type]
        try:
            return super().compile(*args, **kwargs)
        finally:
            _budget.reset(token)

    @staticmethod
    def counted(value: Any) -> Any:
        kind = type(value)
        _count_output(len(value) if kind is str or kind is Markup else _text_size(value, _current().output_left))
        return value

    @staticmethod
    def compared(value: Any) -> Any:
        cost = _cost(value)
        if cost:
            _spend(cost)
        return value

    @staticmethod
    def sliced(value: Any) -> Any:
        if isinstance(value, (str, bytes)):
            _spend(len(value) // CHARS_PER_STEP)
        elif isinstance(value, (list, tuple)):
            _spend(len(value) // ITEMS_PER_STEP)
        return value

    @staticmethod
    def bounded_join(context: Context, parts: tuple[Any, ...]) -> str:
        """``~``: checked before the parts are made str and joined."""
        budget = _current()
        autoescape = context.eval_ctx.autoescape
        size = 0
        for part in parts:
            if not isinstance(part, str):
                size += _text_size(part, budget.limits.max_length)
            elif autoescape and not isinstance(part, Markup):
                size += _escaped_size(part)
            else:
                size += len(part)
        _check_length("a ~ concatenation", size)
        return markup_join(parts) if autoescape else str_join(parts)

    def call_binop(self, context: Context, operator: str, left: Any, right: Any) -> Any:
        if operator == "*":
            for seq, times in ((left, right), (right, left)):
                if isinstance(times, int) and isinstance(seq, (str, bytes)):
                    _check_length("a * repetition", len(seq) * times)
                elif isinstance(times, int) and isinstance(seq, (list, tuple)):
                    _check_length("a * repetition", len(seq) * times, ITEMS_PER_STEP)
            if isinstance(left, int) and isinstance(right, int):
                _check_bits(left.bit_length() + right.bit_length())
                _spend(_int_work(left, right))
        elif operator in ("//", "%") and isinstance(left, int) and isinstance(right, int):
            _spend(_int_work(left, right))
        elif operator == "**":
            if isinstance(left, int) and isinstance(right, int) and right > 0 and abs(left) > 1:
                _check_bits(left.bit_length() * right)
        elif operator == "%":
            if isinstance(left, (str, bytes)):
                _check_length("a % formatting", _percent_size(left, right))
        elif isinstance(left, (str, bytes)) and isinstance(right, (str, bytes)):
            _check_length("a + concatenation", len(left) + len(right))
        elif isinstance(left, (list, tuple)) and isinstance(right, (list, tuple)):
            _check_length("a + concatenation", len(left) + len(right), ITEMS_PER_STEP)
        return ImmutableSandboxedEnvironment.call_binop(self, context, operator, left, right)

    def call(self, context: Context, obj: Any, /, *args: Any, **kwargs: Any) -> Any:
        budget = _current()
        kind = type(obj)
        cost = 1
        if kind is not Macro:  # passing a value to a macro does not go through it
            for arg in (*args, *kwargs.values()) if kwargs else args:
                arg_kind = type(arg)
                if arg_kind is str:
                    cost += len(arg) // CHARS_PER_STEP
                elif arg_kind in _CONTAINERS:
                    cost += len(arg)
                elif arg_kind not in _SCALARS:
                    cost += _cost(arg)
        if kind is types.BuiltinMethodType:
            target = obj.__self__
            cost += len(target) // CHARS_PER_STEP if type(target) is str else _cost(target)
            if obj.__name__ in _CHECKED_METHODS:
                _spend(cost)
                cost = 0
                args = _check_method(obj, args, kwargs)
        elif kind is LoopContext and args:  # a recursive loop(...) call
            args = (_counted(args[0]), *args[1:])
        budget.work_left -= cost
        if budget.work_left < budget.clock_at:
            _spend(0)
        # The class named, not super(): this runs for every call, and is
        # measurably cheaper that way.
        return ImmutableSandboxedEnvironment.call(self, context, obj, *args, **kwargs)

    def wrap_str_format(self, value: Any) -> Callable[..., str] | None:
        """The sandbox's str.format and format_map, refused before they make a value over max_length."""
        if not isinstance(value, (types.MethodType, types.BuiltinMethodType)) or value.__name__ not in _FORMATS:
            return None  # the common case, answered without the call below
        sandboxed = super().wrap_str_format(value)
        if sandboxed is None:
            return None
        text, is_map = str(value.__self__), value.__name__ == "format_map"

        @functools.wraps(sandboxed)
        def checked(*args: Any, **kwargs: Any) -> str:
            if is_map and len(args) == 1 and not kwargs:
                _CheckingFormatter(self).vformat(text, (), args[0])
            elif not is_map:
                _CheckingFormatter(self).vformat(text, args, kwargs)
            return sandboxed(*args, **kwargs)

        return checked


class TemplateEngine:
    """Renders named template files and template strings.

    ``template_dir`` is a directory (str or os.PathLike) searched before the
    built-in templates, or None to use the built-in templates only.  One
    engine may be shared between threads.

    The limits below bound every render; change them on the class or on
    one engine (``engine.max_output = 200_000``).  Going over one raises
    jinja2.exceptions.SecurityError naming the limit and its value.
    """

    #: Longest template file, in characters (checked when it is compiled).
    max_source: int = 65_536
    #: Longest render_string() text, such as a subject, in characters.
    max_string_source: int = 4_096
    #: Most expressions, tags and texts (parsed nodes) in one template or text.
    max_nodes: int = 5_000
    #: Characters one render produces in total: everything printed,
    #: including text captured by {% set %}, {% filter %}, {% call %} and
    #: macros (captured text counts again when it is printed).
    max_output: int = 1_000_000
    #: Largest string, list or bytes value a template computes (characters,
    #: items or bytes), checked before the value is made.
    max_length: int = 1_000_000
    #: Largest integer a template computes, in bits (about 19,700 digits).
    max_int_bits: int = 65_536
    #: Steps of work in one render: each loop iteration, call, filter
    #: application and item a filter goes through is a step, and so is every
    #: CHARS_PER_STEP characters (ITEMS_PER_STEP items) of a value built.
    max_work: int = 200_000
    #: CPU time of one render, in seconds (checked as work is spent).
    max_cpu_seconds: float = 1.0
    #: Longest word (run of non-blank characters) a rendered render_string()
    #: text may hold: a header line carries at most 998 characters.
    max_subject_word: int = 998

    def __init__(self, template_dir: str | os.PathLike[str] | None, /) -> None:
        self._template_dir = _existing_dir(template_dir)
        loaders = [FileSystemLoader(BUILTIN_DIR)]
        if self._template_dir is not None:
            loaders.insert(0, FileSystemLoader(self._template_dir))
        self._env = _BoundedEnvironment(
            self,
            loader=ChoiceLoader(loaders),
            undefined=StrictUndefined,
            autoescape=select_autoescape(
                enabled_extensions=("html", "htm", "xml"),
                disabled_extensions=(),
                default_for_string=False,
                default=False,
            ),
            trim_blocks=True,
            lstrip_blocks=True,
        )
        # functools.lru_cache is thread-safe; a text compiled twice by
        # racing threads only costs the extra compilation.  Keyed by the
        # limits checked while compiling too, so that lowering one applies
        # to texts compiled before.
        self._compile_cached = functools.lru_cache(maxsize=STRING_CACHE_SIZE)(
            lambda text, _max_string_source, _max_nodes: self._env.from_string(text))
        self._compiled_under = (self.max_source, self.max_nodes)

    @property
    def template_dir(self) -> str | None:
        """The custom template directory as a str, or None."""
        return self._template_dir

    def render(self, name: str, variables: Mapping[str, object] | None = None) -> str:
        """Render the template file ``name`` with the ``variables`` mapping.

        Raises jinja2.TemplateNotFound for an unknown name,
        jinja2.UndefinedError for a missing variable and
        jinja2.exceptions.SecurityError for a refused operation or a
        template going over a limit.
        """
        limits = (self.max_source, self.max_nodes)
        if limits != self._compiled_under:  # checked while compiling: templates compiled before are dropped
            self._env.cache.clear()  # type: ignore[union-attr]
            self._compiled_under = limits
        return _render_bounded(self, lambda: self._env.get_template(name), variables)[0]

    def render_string(self, text: str, variables: Mapping[str, object] | None = None) -> str:
        """Render the template given as ``text`` (never autoescaped).

        Meant for subject lines; raises like render(), and
        jinja2.TemplateSyntaxError for invalid text.  A result holding a
        word longer than max_subject_word characters is refused.  Compiled
        texts of up to STRING_CACHE_LIMIT characters are cached.
        """
        if not isinstance(text, str):
            raise TypeError(f"template text must be a str, not {type(text).__name__}")
        if len(text) <= STRING_CACHE_LIMIT:
            rendered = _render_bounded(
                self, lambda: self._compile_cached(text, self.max_string_source, self.max_nodes), variables)[0]
        else:
            rendered = _render_bounded(self, lambda: self._env.from_string(text), variables)[0]
        limit = self.max_subject_word
        if len(rendered) > limit:
            longest = max(map(len, rendered.split()), default=0)
            if longest > limit:
                raise SecurityError(f"the rendered text holds a word of {longest:,} characters, over the limit "
                                    f"max_subject_word ({limit:,}): a header line cannot carry it")
        return rendered

    def __repr__(self) -> str:
        return f"TemplateEngine({self._template_dir!r})"


def _render_bounded(engine: TemplateEngine, load: Callable[[], Template],
                    variables: Mapping[str, object] | None) -> tuple[str, _Budget]:
    """Load and render a template under a fresh budget of ``engine``'s limits.

    Returns the text and what was left of the budget.
    """
    variables = _checked_variables(variables)
    budget = _Budget(engine)
    token = _budget.set(budget)
    try:
        return load().render(variables), budget
    finally:
        _budget.reset(token)


def _existing_dir(template_dir: str | os.PathLike[str] | None) -> str | None:
    """Return ``template_dir`` as a str after checking it is a directory."""
    if template_dir is None:
        return None
    path = os.fspath(template_dir)
    if not isinstance(path, str):
        raise TypeError("template_dir must be a str, an os.PathLike or None, not bytes")
    if not os.path.exists(path):
        raise FileNotFoundError(errno.ENOENT, "template directory does not exist", path)
    if not os.path.isdir(path):
        raise NotADirectoryError(errno.ENOTDIR, "template directory is not a directory", path)
    return path


def _checked_variables(variables: Mapping[str, object] | None) -> Mapping[str, object]:
    if variables is None:
        return {}
    if not isinstance(variables, Mapping):
        raise TypeError(f"variables must be a mapping, not {type(variables).__name__}")
    return variables
