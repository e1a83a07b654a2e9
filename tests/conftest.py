"""The tests share the tools' reference module (tools/mp_reference.py reads the tables of tests/data)
and read the coefficient fit of tools/fit_coefficients.py."""
import sys
from pathlib import Path

sys.path.append(str(Path(__file__).resolve().parent.parent / "tools"))
