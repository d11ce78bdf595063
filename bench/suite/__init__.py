"""The benchmark suite behind bench/run.py: workloads, the engine's phases, the peers and the
C++ driver that times the compile step against the plain per-node walk."""
