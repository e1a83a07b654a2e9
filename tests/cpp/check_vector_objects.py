"""The vector blocks' archive, as the build made it, is safe to run on any CPU of its architecture and
rounds as the scalar kernels do.

A translation unit compiled for AVX2 or AVX-512 must export nothing but its path: a weak (COMDAT)
definition there, say of an inline function it shares with the baseline code, could be the copy the
linker keeps for every caller, and a CPU without that instruction set would then fault in scalar code.
And no unit may hold a fused multiply-add instruction: the blocks return the scalar kernels' results
bit for bit only while every product and sum is rounded on its own.

Usage: check_vector_objects.py ARCHIVE
"""
import re
import subprocess
import sys

FUSED = re.compile(r"\bvfn?m(add|sub)")


def main(archive):
    symbols = subprocess.run(["nm", "-A", archive], capture_output=True, text=True, check=True).stdout
    faults = []
    for line in symbols.splitlines():
        parts = line.split()
        if len(parts) < 3:
            continue
        member, kind, name = parts[0], parts[-2], parts[-1]
        if kind in "WVuvw":
            faults.append(f"weak definition a linker may share: {member} {name}")
        elif "avx" in member and kind.isupper() and kind != "U" and not name.endswith("_pathE"):
            faults.append(f"exported from an instruction-set unit: {member} {name}")
    code = subprocess.run(["objdump", "-d", archive], capture_output=True, text=True, check=True).stdout
    faults += [f"fused multiply-add: {line.strip()}" for line in code.splitlines() if FUSED.search(line)]
    print("\n".join(faults) or f"{archive}: only the paths exported, no weak definition, no fused multiply-add")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
