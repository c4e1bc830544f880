"""The CPU backend: a step-by-step simulator of IR graphs and its analytical profiler."""
