import os
import pathlib

import pytest

import orvelle

REPO = pathlib.Path(__file__).resolve().parents[2]
SHARED = pathlib.Path(os.environ.get("ORVELLE_SHARED_DIR", REPO.parent / "shared"))

# The tests exercise the installed extension, never the source folder.
assert pathlib.Path(orvelle.__file__).parent != REPO / "python" / "orvelle", orvelle.__file__


@pytest.fixture
def panic_type():
    """The PanicException type, reached through a call that fails a check."""
    try:
        orvelle.calculator("/nonexistent/orvelle-test.jsonl", [["he"]])
    except BaseException as e:  # noqa: BLE001
        return type(e)
    raise AssertionError("calculator on a missing file did not fail")
