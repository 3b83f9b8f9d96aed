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

Rendering is bounded: a value a template computes (by ``*``, ``**``, ``+``,
``%``, ``~``, string padding, joining, replacing or formatting) may hold at
most MAX_LENGTH characters, items or bytes, an integer at most MAX_INT_BITS
bits, and one render may run at most MAX_STEPS loop iterations and calls.
Going over a limit raises jinja2.exceptions.SecurityError naming the limit.
"""

import contextvars
import errno
import functools
import json
import os
import re
import string
import types
from collections.abc import Callable, Iterable, Iterator, Mapping, Sized
from typing import Any

from jinja2 import ChoiceLoader, FileSystemLoader, StrictUndefined, Template, nodes, select_autoescape
from jinja2.compiler import CodeGenerator, Frame
from jinja2.exceptions import SecurityError
from jinja2.runtime import Context, LoopContext
from jinja2.sandbox import ImmutableSandboxedEnvironment

from corvenda._plaintext import wrap_text

__all__ = ["MAX_INT_BITS", "MAX_LENGTH", "MAX_STEPS", "STRING_CACHE_LIMIT", "TemplateEngine"]

BUILTIN_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "templates")

#: Largest string, list or bytes a template may compute (characters/items).
MAX_LENGTH = 1_000_000
#: Largest integer a template may compute, in bits (about 20,000 digits).
MAX_INT_BITS = 65_536
#: Loop iterations plus calls (macros, methods, blocks) allowed in one render.
MAX_STEPS = 200_000

# Compiled render_string() templates kept per engine, keyed by their text;
# only texts up to STRING_CACHE_LIMIT characters are kept.
STRING_CACHE_SIZE = 256
STRING_CACHE_LIMIT = 4096

# Steps left in the current render; None outside TemplateEngine's renders.
_steps_left: contextvars.ContextVar[list[int] | None] = contextvars.ContextVar("_steps_left", default=None)


def _too_long(what: str, size: int) -> SecurityError:
    return SecurityError(
        f"{what} would make {size:,} characters or items, over the template limit MAX_LENGTH ({MAX_LENGTH:,})")


def _check_length(what: str, size: int) -> None:
    if size > MAX_LENGTH:
        raise _too_long(what, size)


def _length(value: object) -> int:
    """len() of a sized value, else the length of its str() form."""
    return len(value) if isinstance(value, Sized) else len(str(value))


def _total_length(items: list[Any]) -> int:
    try:
        return sum(map(len, items))
    except TypeError:  # not all sized: numbers and the like count as their str()
        return sum(map(_length, items))


def _out_of_steps() -> SecurityError:
    return SecurityError(
        f"template ran over the limit MAX_STEPS ({MAX_STEPS:,} loop iterations and calls per render)")


def _spend(count: int = 1) -> None:
    left = _steps_left.get()
    if left is not None:
        left[0] -= count
        if left[0] < 0:
            raise _out_of_steps()


def _counted(iterable: Iterable[Any]) -> Iterable[Any]:
    """Spend one step per item of ``iterable``: at once when it has a length."""
    if isinstance(iterable, Sized):
        _spend(len(iterable))
        return iterable
    return _counting(iterable)


def _counting(iterable: Iterable[Any]) -> Iterator[Any]:
    for item in iterable:
        _spend()
        yield item


# A %-format conversion: flags, width and precision (digits or *).
_PERCENT_CONVERSION = re.compile(r"%(?:\([^)]*\))?[-#0 +]*(\*|\d+)?(?:\.(\*|\d+))?")
_DIGITS = re.compile(r"\d+")


def _number(digits: str) -> int:
    """The value of a width written in digits (any 20 digits or more: 10**20)."""
    return int(digits) if len(digits) < 20 else 10**20


def _check_percent(fmt: str | bytes, args: object) -> None:
    """Refuse %-formatting whose widths or precisions exceed MAX_LENGTH."""
    text = fmt.decode("latin-1") if isinstance(fmt, bytes) else fmt
    if "%" not in text:
        return
    star = False
    for width, precision in _PERCENT_CONVERSION.findall(text):
        for number in (width, precision):
            star |= number == "*"
            if number.isdigit():
                _check_length("a %-format width", _number(number))
    if star:
        for value in args if isinstance(args, tuple) else (args,):
            if isinstance(value, int):
                _check_length("a %-format width", value)


def _check_format(fmt: str, args: tuple[Any, ...], kwargs: Mapping[str, Any]) -> None:
    """Refuse str.format() fields whose widths or precisions exceed MAX_LENGTH."""
    for _, _, field_format, _ in string.Formatter().parse(fmt):
        if not field_format:
            continue
        if "{" in field_format:  # a nested field such as {:{width}}: check every integer passed
            for value in (*args, *kwargs.values()):
                if isinstance(value, int):
                    _check_length("a format width", value)
        for number in _DIGITS.findall(field_format):
            _check_length("a format width", _number(number))


def _replaced_length(text: str | bytes, old: Any, new: Any, count: int) -> int:
    hits = text.count(old) if old else len(text) + 1
    if isinstance(count, int) and 0 <= count < hits:
        hits = count
    return len(text) + hits * (_length(new) - _length(old))


# Methods whose result size their arguments choose; the sandbox's str.format
# wrapper is a plain function named like the method it wraps.
_METHOD_TYPES = (types.BuiltinMethodType, types.MethodType, types.FunctionType)
_CHECKED_METHODS = frozenset(["ljust", "rjust", "center", "zfill", "expandtabs", "join", "replace",
                              "translate", "format", "format_map", "to_bytes"])


def _check_method(obj: Any, args: tuple[Any, ...], kwargs: dict[str, Any]) -> tuple[Any, ...]:
    """Refuse a call of one of _CHECKED_METHODS whose result would exceed the limits.

    Returns the arguments to call with (join's iterable is read into a list).
    """
    obj = getattr(obj, "__wrapped__", obj)
    target, name = getattr(obj, "__self__", None), obj.__name__
    if isinstance(target, int) and name == "to_bytes":
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
        items = list(args[0])
        _check_length("join()", _total_length(items) + len(target) * max(len(items) - 1, 0))
        args = (items, *args[1:])
    elif name == "replace" and len(args) >= 2:
        count = args[2] if len(args) > 2 else kwargs.get("count", -1)
        _check_length("replace()", _replaced_length(target, args[0], args[1], count))
    elif name == "translate" and args and isinstance(args[0], Mapping):
        longest = max((_length(v) for v in args[0].values() if v is not None), default=1)
        _check_length("translate()", len(target) * max(longest, 1))
    elif name in ("format", "format_map") and isinstance(target, str):
        _check_format(target, args if name == "format" else (), kwargs if name == "format" else args[0])
    return args


def _bounded_filters(filters: dict[str, Any]) -> None:
    """Wrap the built-in filters whose result size their arguments choose."""

    def wrap(name: str, check: Callable[..., None]) -> None:
        original = filters[name]
        # Filters marked to receive the environment or a context get it first.
        skip = 0 if getattr(original, "jinja_pass_arg", None) is None else 1

        @functools.wraps(original)
        def bounded(*args: Any, **kwargs: Any) -> Any:
            check(*args[skip:], **kwargs)
            return original(*args, **kwargs)

        filters[name] = bounded

    def center(value: Any, width: int = 80) -> None:
        _check_length("center", width)

    def indent(s: Any, width: int | str = 4, *rest: Any, **kwargs: Any) -> None:
        lines = str(s).count("\n") + 1
        _check_length("indent", len(str(s)) + lines * (len(width) if isinstance(width, str) else width))

    def format_(value: Any, *args: Any, **kwargs: Any) -> None:
        _check_percent(str(value), kwargs or args)

    def replace(s: Any, old: Any, new: Any, count: int | None = None) -> None:
        _check_length("replace", _replaced_length(str(s), str(old), str(new), -1 if count is None else count))

    def wordwrap(s: Any, width: int = 79, break_long_words: bool = True,
                 wrapstring: str | None = None, *rest: Any, **kwargs: Any) -> None:
        if wrapstring:
            text = str(s)
            lines = 2 * len(text) // max(width, 1) + text.count("\n") + 1
            _check_length("wordwrap", len(text) + lines * len(wrapstring))

    def batch(value: Any, linecount: int, fill_with: Any = None) -> None:
        if fill_with is not None:
            _check_length("batch", linecount)

    def slice_(value: Any, slices: int, fill_with: Any = None) -> None:
        _check_length("slice", slices)

    def tojson(value: Any, indent: int | str | None = None) -> None:
        if indent:
            width = len(indent) if isinstance(indent, str) else indent
            _check_length("tojson", (len(json.dumps(value, default=str)) + 1) * (width + 1))

    checks: list[tuple[str, Callable[..., None]]] = [
        ("center", center), ("indent", indent), ("format", format_), ("replace", replace),
        ("wordwrap", wordwrap), ("batch", batch), ("slice", slice_), ("tojson", tojson)]
    for name, check in checks:
        wrap(name, check)

    original_join = filters["join"]

    @functools.wraps(original_join)
    def join(eval_ctx: Any, value: Iterable[Any], d: str = "", attribute: Any = None) -> Any:
        items = list(value)
        if attribute is None:
            _check_length("join", _total_length(items) + len(str(d)) * max(len(items) - 1, 0))
        return original_join(eval_ctx, items, d, attribute)

    filters["join"] = join


def _lipsum(original: Any) -> Callable[..., str]:
    @functools.wraps(original)
    def lipsum(n: int = 5, html: bool = True, min: int = 20, max: int = 100) -> str:
        _check_length("lipsum()", n * max * 16)  # words are at most 14 characters plus a blank
        return str(original(n, html, min, max))

    return lipsum


# The filter that every for loop's iterable passes through (a name no
# template would use; using it only counts the steps).
_COUNTED_FILTER = "corvenda_counted_loop"


class _BoundedCodeGenerator(CodeGenerator):
    """Checks the length of every ``~`` concatenation a template does."""

    def visit_Concat(self, node: nodes.Concat, frame: Frame) -> None:
        self.write("environment.checked_concat(")
        super().visit_Concat(node, frame)
        self.write(")")


class _BoundedEnvironment(ImmutableSandboxedEnvironment):
    """The immutable sandbox with size limits on computed values and a step budget."""

    code_generator_class = _BoundedCodeGenerator
    intercepted_binops = frozenset(["*", "**", "%", "+"])

    def __init__(self, **options: Any) -> None:
        super().__init__(**options)
        _bounded_filters(self.filters)
        self.filters[_COUNTED_FILTER] = _counted
        self.globals["lipsum"] = _lipsum(self.globals["lipsum"])

    def _parse(self, source: str, name: str | None, filename: str | None) -> nodes.Template:
        """Parse, then make every for loop spend one step per item."""
        tree = super()._parse(source, name, filename)
        for loop in tree.find_all(nodes.For):
            loop.iter = nodes.Filter(loop.iter, _COUNTED_FILTER, [], [], None, None)
        return tree

    @staticmethod
    def checked_concat(text: str) -> str:
        _check_length("a ~ concatenation", len(text))
        return text

    def call_binop(self, context: Context, operator: str, left: Any, right: Any) -> Any:
        if operator == "*":
            for seq, times in ((left, right), (right, left)):
                if isinstance(times, int) and isinstance(seq, (str, bytes, list, tuple)):
                    _check_length("a * repetition", len(seq) * times)
            if isinstance(left, int) and isinstance(right, int):
                _check_bits(left.bit_length() + right.bit_length())
        elif operator == "**":
            if isinstance(left, int) and isinstance(right, int) and right > 0 and abs(left) > 1:
                _check_bits(left.bit_length() * right)
        elif operator == "%":
            if isinstance(left, (str, bytes)):
                _check_percent(left, right)
        elif isinstance(left, (str, bytes, list, tuple)) and isinstance(right, (str, bytes, list, tuple)):
            _check_length("a + concatenation", len(left) + len(right))
        return self.binop_table[operator](left, right)

    def call(self, context: Context, obj: Any, /, *args: Any, **kwargs: Any) -> Any:
        left = _steps_left.get()
        if left is not None:
            left[0] -= 1
            if left[0] < 0:
                raise _out_of_steps()
        kind = type(obj)
        if kind in _METHOD_TYPES and obj.__name__ in _CHECKED_METHODS:
            args = _check_method(obj, args, kwargs)
        elif kind is LoopContext and args:  # a recursive loop(...) call
            args = (_counted(args[0]), *args[1:])
        # SandboxedEnvironment.call, written out to save a frame on every call.
        if not self.is_safe_callable(obj):
            raise SecurityError(f"{obj!r} is not safely callable")
        return context.call(obj, *args, **kwargs)


def _check_bits(bits: int) -> None:
    if bits > MAX_INT_BITS:
        raise SecurityError(
            f"an integer of about {bits:,} bits is over the template limit MAX_INT_BITS ({MAX_INT_BITS:,})")


class TemplateEngine:
    """Renders named template files and template strings.

    ``template_dir`` is a directory (str or os.PathLike) searched before the
    built-in templates, or None to use the built-in templates only.  One
    engine may be shared between threads.
    """

    def __init__(self, template_dir: str | os.PathLike[str] | None, /) -> None:
        self._template_dir = _existing_dir(template_dir)
        loaders = [FileSystemLoader(BUILTIN_DIR)]
        if self._template_dir is not None:
            loaders.insert(0, FileSystemLoader(self._template_dir))
        self._env = _BoundedEnvironment(
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
        self._env.filters["wraptext"] = wrap_text
        # functools.lru_cache is thread-safe; a text compiled twice by
        # racing threads only costs the extra compilation.
        self._compile_cached = functools.lru_cache(maxsize=STRING_CACHE_SIZE)(self._env.from_string)

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
        template = self._env.get_template(name)
        return _render_bounded(template, variables)

    def render_string(self, text: str, variables: Mapping[str, object] | None = None) -> str:
        """Render the template given as ``text`` (never autoescaped).

        Meant for subject lines; raises like render(), and
        jinja2.TemplateSyntaxError for invalid text.  Compiled texts of up
        to STRING_CACHE_LIMIT characters are cached.
        """
        if not isinstance(text, str):
            raise TypeError(f"template text must be a str, not {type(text).__name__}")
        if len(text) <= STRING_CACHE_LIMIT:
            template = self._compile_cached(text)
        else:
            template = self._env.from_string(text)
        return _render_bounded(template, variables)

    def __repr__(self) -> str:
        return f"TemplateEngine({self._template_dir!r})"


def _render_bounded(template: Template, variables: Mapping[str, object] | None) -> str:
    """Render ``template`` with a fresh budget of MAX_STEPS steps."""
    token = _steps_left.set([MAX_STEPS])
    try:
        return template.render(_checked_variables(variables))
    finally:
        _steps_left.reset(token)


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


if __name__ == "__main__":
    from corvenda._preview import main

    raise SystemExit(main())
