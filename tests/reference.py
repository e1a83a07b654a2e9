"""The mpmath reference tables of tests/data: arguments, then the exact value as hi + lo."""
from pathlib import Path

import numpy as np

DATA = Path(__file__).parent / "data"


def load(name, nargs):
    """Columns of a reference table: the argument arrays and the exact value as (hi, lo)."""
    table = np.loadtxt(DATA / name, ndmin=2)
    return [table[:, k] for k in range(nargs)], table[:, nargs], table[:, nargs + 1]


def rel_error(values, hi, lo):
    """|values - (hi + lo)| / |hi + lo|, exact while values is close to hi."""
    return np.abs(((values - hi) - lo) / hi)


def worst(err, *args):
    """Describe the largest error and its arguments at full precision, for failure messages."""
    k = int(np.argmax(err))
    where = ", ".join(repr(float(a[k])) for a in args)
    return f"worst {err[k]:.3g} at ({where})"
