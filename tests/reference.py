"""The mpmath reference tables of tests/data: arguments, then the exact value as hi + lo. The tables are
read by the same function as the tools that write and check them (tools/mp_reference.py)."""
import numpy as np

from mp_reference import read_table

load = read_table


def rel_error(values, hi, lo):
    """|values - (hi + lo)| / |hi + lo|, exact while values is close to hi."""
    return np.abs(((values - hi) - lo) / hi)


def worst(err, *args):
    """Describe the largest error and its arguments at full precision, for failure messages."""
    k = int(np.argmax(err))
    where = ", ".join(repr(float(a[k])) for a in args)
    return f"worst {err[k]:.3g} at ({where})"
