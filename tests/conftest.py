"""The tests read the generators of tools/ (the coefficient fit) as modules."""
import sys
from pathlib import Path

sys.path.append(str(Path(__file__).resolve().parent.parent / "tools"))
