"""What the shared libraries export: every library that compiles the Mills-ratio kernels carries
the C entry points, the float and double instantiations and the coefficient tables with default
visibility, so that other native code can reach them; the divdiff library adds its own."""
import ctypes
import shutil
import subprocess

import mpmath
import pytest

import fit_coefficients

import zelnor.divdiff as divdiff
import zelnor.mills as mills

MILLS_ENTRY_POINTS = [
    "zelnor_MillsRatio",
    "zelnor_MillsRatioDeriv1",
    "zelnor_MillsRatioDeriv3",
    "zelnor_MillsRatioRel_below1",
    "zelnor_MillsRatio_CF",
]
DIVDIFF_ENTRY_POINTS = ["zelnor_MillsRatioDiff", "zelnor_MillsRatioDiff_CF"]
MILLS_TEMPLATES = {
    "MillsRatio": "({t})",
    "MillsRatioDeriv1": "({t})",
    "MillsRatioDeriv3": "({t})",
    "MillsRatioRel_below1": "({t})",
    "MillsRatio_CF": "({t}, int, int)",
}
DIVDIFF_TEMPLATES = {"MillsRatioDiff": "({t}, {t}, int)", "MillsRatioDiff_CF": "({t}, {t}, int)"}
TABLES = {"C_Rrel": 96, "C_R1": 208, "C_R3": 405}


def exported(library):
    """Demangled names of the defined dynamic symbols of a shared library."""
    out = subprocess.run(
        ["nm", "-D", "--defined-only", "-C", library], capture_output=True, text=True, check=True
    ).stdout
    return {line.split(maxsplit=2)[2] for line in out.splitlines() if line.count(" ") >= 2}


def instantiations(templates):
    return {
        f"{t} zelnor::{name}<{t}>{args.format(t=t)}" for name, args in templates.items() for t in ("float", "double")
    }


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm from binutils")
@pytest.mark.parametrize(
    "module, entry_points, templates",
    [
        (mills, MILLS_ENTRY_POINTS, MILLS_TEMPLATES),
        (divdiff, MILLS_ENTRY_POINTS + DIVDIFF_ENTRY_POINTS, {**MILLS_TEMPLATES, **DIVDIFF_TEMPLATES}),
    ],
    ids=["mills", "divdiff"],
)
def test_symbols_are_exported(module, entry_points, templates):
    names = exported(module.__file__)
    missing = (set(entry_points) | instantiations(templates) | set(TABLES)) - names
    assert not missing
    if module is mills:
        assert not set(DIVDIFF_ENTRY_POINTS) & names, "mills must not carry the divided differences"


@pytest.fixture(scope="module")
def fitted_tables():
    """The tables as tools/fit_coefficients.py fits them in mpmath, flattened row by row."""
    with mpmath.workdps(fit_coefficients.WORK_DIGITS):
        return {t.name: [c for row in fit_coefficients.fit_table(t) for c in row] for t in fit_coefficients.TABLES}


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm from binutils")
@pytest.mark.parametrize("module", [mills, divdiff], ids=["mills", "divdiff"])
def test_exported_tables_are_the_fit_bit_for_bit(module, fitted_tables):
    """What the kernels read, reached by name: the symbol's size and every coefficient, against the
    fit redone in mpmath, so that a coefficient changed by an ulp, or a row lost or added, fails."""
    sizes = symbol_sizes(module.__file__)
    library = ctypes.CDLL(module.__file__)
    for name, coefficients in fitted_tables.items():
        assert sizes[name] == 8 * len(coefficients) == 8 * TABLES[name], name
        exported = (ctypes.c_double * len(coefficients)).in_dll(library, name)
        changed = [k for k, (got, want) in enumerate(zip(exported, coefficients)) if got.hex() != want.hex()]
        assert not changed, f"{name}: elements {changed[:8]} differ from the fit"


def symbol_sizes(library):
    """Sizes in bytes of the defined dynamic data symbols of a shared library."""
    out = subprocess.run(
        ["nm", "-D", "--defined-only", "-S", library], capture_output=True, text=True, check=True
    ).stdout
    return {f[3]: int(f[1], 16) for f in (line.split() for line in out.splitlines()) if len(f) == 4}
