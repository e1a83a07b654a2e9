"""The tests share the tools' reference module (tools/mp_reference.py reads the tables of tests/data)
and read the coefficient fit of tools/fit_coefficients.py."""
import importlib.util
import sys
from pathlib import Path

import pytest

sys.path.append(str(Path(__file__).resolve().parent.parent / "tools"))


@pytest.fixture
def mypy():
    """For the tests that check the typing stubs: mypy is a test requirement, but an optional tool."""
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("needs mypy (pip install -r requirements-test.txt)")
