"""Corvenda: e-mail sending for Python."""

from __future__ import annotations

__all__ = ["__version__"]


def _version() -> str:
    """The installed distribution's version; in the source tree, pyproject.toml's."""
    import pathlib

    here = pathlib.Path(__file__).resolve().parent
    project = here.parent.parent / "pyproject.toml"
    if here.parent.name == "src" and project.is_file():
        import tomllib

        with project.open("rb") as file:
            return str(tomllib.load(file)["project"]["version"])
    from importlib import metadata

    try:
        return metadata.version("corvenda")
    except metadata.PackageNotFoundError:
        return "0+unknown"


def __getattr__(name: str) -> str:
    # Computed on first use: importing corvenda stays free of importlib.metadata.
    if name == "__version__":
        version = globals()["__version__"] = _version()
        return version
    raise AttributeError(f"module 'corvenda' has no attribute {name!r}")
