"""What the shared libraries export: every library that compiles the Mills-ratio kernels carries
the C entry points, the float and double instantiations and the coefficient tables with default
visibility, so that other native code can reach them; the divdiff library adds its own."""
import ctypes
import shutil
import subprocess

import pytest

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


@pytest.mark.parametrize("module", [mills, divdiff], ids=["mills", "divdiff"])
def test_tables_are_reachable_by_name(module):
    library = ctypes.CDLL(module.__file__)
    for name, length in TABLES.items():
        table = (ctypes.c_double * length).in_dll(library, name)
        assert len(table) == length
    # Row 0 of C_Rrel and of C_R3 start with the exact values at x = 0: Rrel(0) = 1, -R'''(0) = 2.
    assert (ctypes.c_double * 96).in_dll(library, "C_Rrel")[0] == 1.0
    assert (ctypes.c_double * 405).in_dll(library, "C_R3")[0] == 2.0
