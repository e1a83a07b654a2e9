import importlib.util

import pytest


@pytest.fixture
def mypy():
    """For the tests that check the typing stubs: mypy is a test requirement, but an optional tool."""
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("needs mypy (pip install -r requirements-test.txt)")
