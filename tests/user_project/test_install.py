"""The package as installed from the wheel, with and without the testing extra."""

import importlib.metadata
import subprocess
import sys

import corvenda.mailer


def test_imports_the_installed_wheel_with_its_extra_and_plugin():
    assert corvenda.mailer.__file__.startswith(sys.prefix)
    dist = importlib.metadata.distribution("corvenda")
    assert sorted(dist.metadata.get_all("Provides-Extra")) == ["test", "testing"]
    # The extra for corvenda's own suite is the users' one plus the test runners.
    assert sorted(r for r in dist.requires if r.endswith('extra == "test"')) == [
        'corvenda[testing]; extra == "test"', 'hypothesis; extra == "test"', 'pytest; extra == "test"']
    assert [ep.name for ep in dist.entry_points if ep.group == "pytest11"] == ["corvenda"]


# Runs pytest with aiosmtpd made unimportable, as if the extra were not installed.
WITHOUT_EXTRA = """
import sys
sys.modules["aiosmtpd"] = None
import pytest
status = pytest.main(["-q", "-p", "no:cacheprovider", sys.argv[1]])
try:
    import corvenda.testing
except ImportError as error:
    print("import:", error)
sys.exit(status)
"""


def test_without_the_extra_pytest_runs_and_the_fixtures_name_it(tmp_path):
    (tmp_path / "test_mail.py").write_text("def test_other():\n    pass\n\n\ndef test_mail(mailer):\n    pass\n")
    result = subprocess.run([sys.executable, "-c", WITHOUT_EXTRA, str(tmp_path)], cwd=tmp_path,
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 1, result.stdout + result.stderr
    assert "1 passed, 1 error in" in result.stdout, result.stdout
    assert "ERROR test_mail.py::test_mail - Failed: corvenda.testing needs aiosmtpd" in result.stdout
    assert "\nimport: corvenda.testing needs aiosmtpd and trustme" in result.stdout
    assert result.stdout.count("pip install 'corvenda[testing]'") >= 2, result.stdout


def test_version_is_the_distribution_version_everywhere():
    version = importlib.metadata.version("corvenda")
    assert corvenda.__version__ == version
    for command in ("corvenda.testing", "corvenda.template"):
        result = subprocess.run([sys.executable, "-m", command, "--version"], capture_output=True, text=True, timeout=60)
        assert result.stdout == f"corvenda {version}\n", result.stderr
