"""A short tour of kestro's pandas-backed data object.

Run with `python examples/tour.py`.  Each `tour_*.py` file beside this one
shows one group of operations and runs in name order on a fresh object built
from the CSV file shipped in examples/data.
"""
import pathlib
import runpy

HERE = pathlib.Path(__file__).resolve().parent

for section in sorted(HERE.glob("tour_*.py")):
    print(f"\n=== {section.stem[len('tour_'):].replace('_', ' ')} ===")
    runpy.run_path(str(section), init_globals={"CSV_PATH": str(HERE / "data" / "iris_small.csv")},
                   run_name="__tour__")
