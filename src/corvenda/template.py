"""Render e-mail templates written in Jinja2 syntax.

A TemplateEngine looks templates up in an optional directory first and then
among the templates shipped in this package, so a custom directory can
override a built-in template by name or extend the built-in layout.

Everything renders in Jinja2's immutable sandbox, so a template cannot reach
Python internals or modify the values passed to it.  Using an undefined
variable is an error.  Only templates named *.html, *.htm or *.xml are
autoescaped; plain-text templates and strings (subjects) are not.
"""

import errno
import functools
import os
from collections.abc import Mapping

from jinja2 import ChoiceLoader, FileSystemLoader, StrictUndefined, select_autoescape
from jinja2.sandbox import ImmutableSandboxedEnvironment

from corvenda._plaintext import wrap_text

__all__ = ["TemplateEngine"]

BUILTIN_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "templates")

# Compiled render_string() templates kept per engine, keyed by their text.
STRING_CACHE_SIZE = 256


class TemplateEngine:
    """Renders named template files and template strings.

    ``template_dir`` is a directory (str or os.PathLike) searched before the
    built-in templates, or None to use the built-in templates only.  One
    engine may be shared between threads.
    """

    def __init__(self, template_dir, /):
        self._template_dir = _existing_dir(template_dir)
        loaders = [FileSystemLoader(BUILTIN_DIR)]
        if self._template_dir is not None:
            loaders.insert(0, FileSystemLoader(self._template_dir))
        self._env = ImmutableSandboxedEnvironment(
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
        self._compile_string = functools.lru_cache(maxsize=STRING_CACHE_SIZE)(
            self._env.from_string
        )

    @property
    def template_dir(self):
        """The custom template directory as a str, or None."""
        return self._template_dir

    def render(self, name, variables=None):
        """Render the template file ``name`` with the ``variables`` mapping.

        Raises jinja2.TemplateNotFound for an unknown name,
        jinja2.UndefinedError for a missing variable and
        jinja2.exceptions.SecurityError for a refused operation.
        """
        template = self._env.get_template(name)
        return template.render(_checked_variables(variables))

    def render_string(self, text, variables=None):
        """Render the template given as ``text`` (never autoescaped).

        Meant for subject lines; raises like render(), and
        jinja2.TemplateSyntaxError for invalid text.
        """
        if not isinstance(text, str):
            raise TypeError(f"template text must be a str, not {type(text).__name__}")
        return self._compile_string(text).render(_checked_variables(variables))

    def __repr__(self):
        return f"TemplateEngine({self._template_dir!r})"


def _existing_dir(template_dir):
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


def _checked_variables(variables):
    if variables is None:
        return {}
    if not isinstance(variables, Mapping):
        raise TypeError(f"variables must be a mapping, not {type(variables).__name__}")
    return variables


if __name__ == "__main__":
    from corvenda._preview import main

    raise SystemExit(main())
