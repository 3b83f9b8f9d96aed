"""Corvenda: e-mail sending for Python."""

from __future__ import annotations

from types import MappingProxyType

__all__ = ["SECURITY_MODES", "__version__"]

# The security modes by name, each as the EasyMailer keyword arguments that
# select it: "ssl" (implicit TLS), "starttls" and "plain".
SECURITY_MODES = MappingProxyType({
    "ssl": MappingProxyType({"use_ssl": True, "use_tls": False}),
    "starttls": MappingProxyType({"use_ssl": False, "use_tls": True}),
    "plain": MappingProxyType({"use_ssl": False, "use_tls": False}),
})


def _version() -> str:
    """The version of the distribution this very copy was installed from; for a
    copy not installed (a checkout, or a tree staged from one), the version
    its project's pyproject.toml declares."""
    import pathlib
    from importlib import metadata

    here = pathlib.Path(__file__).resolve()
    try:
        dist = metadata.distribution("corvenda")
    except metadata.PackageNotFoundError:
        pass
    else:
        if pathlib.Path(str(dist.locate_file("corvenda/__init__.py"))).resolve() == here:
            return dist.version
    for folder in here.parents:
        project = folder / "pyproject.toml"
        if project.is_file():
            import tomllib

            with project.open("rb") as file:
                declared = tomllib.load(file).get("project", {})
            if declared.get("name") == "corvenda":
                return str(declared["version"])
            break
    return "0+unknown"


def __getattr__(name: str) -> str:
    # Computed on first use: importing corvenda stays free of importlib.metadata.
    if name == "__version__":
        version = globals()["__version__"] = _version()
        return version
    raise AttributeError(f"module 'corvenda' has no attribute {name!r}")
