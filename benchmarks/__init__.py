"""Benchmarks of the pandas-backed storage variant.

`python -m benchmarks` runs every hook of `DataFrame` on tables of growing
size and writes a markdown table and a chart; the `bench_*.py` scripts are
smaller, topic-by-topic comparisons, each runnable on its own.
"""
