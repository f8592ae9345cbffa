#!/usr/bin/python3
"""Times export_bin and import_bin of one 10,000-particle frame; prints to stderr.

    /usr/bin/python3 bench/cache_py_timing.py [COUNT] [REPEATS]

Each figure is the median of REPEATS calls.  Every result is dropped before
the next call, as the program drops a set point once it has read it.  The
frame is written twice: as the program writes it (position and pressure,
every other field zero) and with every field filled, as simulators write.
The whole run is repeated in a child process with PYTHONMALLOC=malloc,
because the allocator decides how much of the import is spent on fresh
memory pages.
"""

import os
import random
import resource
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "resource", "python"))

import shared_lib  # noqa: E402


def program_frame(count, rng):
    """A set point as the program builds it."""
    particles = {}
    for pid in range(count):
        particles[pid] = {
            "pos": {"x": rng.uniform(-5, 5), "y": rng.uniform(0, 10), "z": rng.uniform(-5, 5)},
            "pressure": rng.uniform(0.5, 1.5),
            "texture_vector": {"u": 0.0, "v": 0.0, "w": 0.0},
            "velocity": {"x": 0.0, "y": 0.0, "z": 0.0}, "force": {"x": 0.0, "y": 0.0, "z": 0.0},
            "vorticity": {"x": 0.0, "y": 0.0, "z": 0.0},
            "normal_vector": {"x": 0.0, "y": 0.0, "z": 0.0},
            "neighbors": 0.0, "info_bits": 0.0, "elapsed_particle_time": 0.0,
            "isolation_time": 0.0, "viscosity": 0.0, "density": 0.0, "mass": 0.0,
            "temperature": 0.0}
    header = {"code": 0xFABADA, "version": 9, "fps": 30, "name": "", "particles": count,
              "fluid_type": -2147483646, "frame_number": 0.0}
    return {"header": header, "particle": particles, "footer": {}}


def filled_frame(count, rng):
    """The same frame with every field non-zero."""
    set_point = program_frame(count, rng)
    for p in set_point["particle"].values():
        for key, value in p.items():
            if isinstance(value, dict):
                for axis in value:
                    value[axis] = rng.uniform(-1, 1)
            else:
                p[key] = float(rng.randint(1, 20)) if key in ("neighbors", "info_bits") \
                    else rng.uniform(0.1, 2)
    return set_point


def faults():
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


def measure(call, repeats):
    times, new_pages = [], []
    for _ in range(repeats):
        before_faults = faults()
        start = time.perf_counter()
        result = call()
        times.append((time.perf_counter() - start) * 1e3)
        new_pages.append(faults() - before_faults)
        del result
    return statistics.median(times), min(times), statistics.median(new_pages)


def run(count, repeats):
    rng = random.Random(7)
    allocator = os.environ.get("PYTHONMALLOC", "default")
    with tempfile.TemporaryDirectory() as folder:
        for label, set_point in (("program", program_frame(count, rng)),
                                 ("filled", filled_frame(count, rng))):
            path = os.path.join(folder, "frame.0001.bin")
            args = [folder + "/", path]
            for name, call in (("export_bin", lambda: shared_lib.export_bin(args, set_point)),
                               ("import_bin", lambda: shared_lib.import_bin(args))):
                median, best, pages = measure(call, repeats)
                sys.stderr.write("%-10s %-8s %-8s %6d particles: median %6.1f ms  best %6.1f ms"
                                 "  new pages %5d\n"
                                 % (name, label, allocator, count, median, best, pages))


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 10000
    repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 15
    run(count, repeats)
    if "PYTHONMALLOC" not in os.environ:
        env = dict(os.environ, PYTHONMALLOC="malloc")
        subprocess.run([sys.executable, os.path.abspath(__file__), str(count), str(repeats)],
                       env=env, check=True)


if __name__ == "__main__":
    main()
