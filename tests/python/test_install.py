"""After `cmake --install`, the package imports from the installed folder alone and the
installed kavrin-batch replays a log the package saved (KAVRIN_BUILD is the build folder,
CMAKE_COMMAND the cmake that configured it)."""

import filecmp
import os
import subprocess
import sys
import tempfile
import unittest

from cache_maker import make_cache

SCRIPT = """
import sys, kavrin
scene = kavrin.open(sys.argv[1])
p = scene.positions(4)[17]
scene.stroke(frame=4, type="grab", time=2, steps=[{"pick": list(p), "vector": [0, 1, 0]}] * 3)
scene.set_positions(5, scene.ids(5)[:20], scene.positions(5)[:20] + [0.0, 0.5, 0.0])
scene.set_weights(6, [3, 4], [0.0, 0.5])
scene.save(sys.argv[2])
print(kavrin.__file__)
"""


class InstallCase(unittest.TestCase):
    def test_installed_package_and_program_work_without_the_build_folder(self):
        with tempfile.TemporaryDirectory() as root:
            prefix = os.path.join(root, "prefix")
            subprocess.run([os.environ["CMAKE_COMMAND"], "--install", os.environ["KAVRIN_BUILD"],
                            "--prefix", prefix], check=True, capture_output=True)
            cache = os.path.join(root, "sheet")
            make_cache(cache, frames=8, count=100)
            packages = os.path.join(prefix, "lib", "python%d.%d" % sys.version_info[:2],
                                    "dist-packages")
            env = dict(os.environ, PYTHONPATH=packages)
            done = subprocess.run([sys.executable, "-c", SCRIPT, cache,
                                   os.path.join(root, "painted")],
                                  cwd=root, env=env, capture_output=True, text=True, timeout=120)
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertTrue(done.stdout.startswith(packages), done.stdout)

            log = os.path.join(root, "painted", "painted.strokes.json")
            # A whole run, and two ranges into one folder: the set events of frames 5 and 6
            # are replayed in the second and only counted in the first.
            runs = {"replayed": [[]], "chunks": [["--frames", "0-4"], ["--frames", "5-7"]]}
            painted = sorted(os.listdir(os.path.join(root, "painted")))
            self.assertEqual(len(painted), 9)  # eight frames and the log
            for out, ranges in runs.items():
                for frames in ranges:
                    batch = subprocess.run([os.path.join(prefix, "bin", "kavrin-batch"), *frames,
                                            cache, log, os.path.join(root, out)],
                                           capture_output=True, text=True, timeout=120)
                    self.assertEqual(batch.returncode, 0, batch.stderr)
                for name in painted:
                    self.assertTrue(filecmp.cmp(os.path.join(root, "painted", name),
                                                os.path.join(root, out,
                                                             name.replace("painted", out)),
                                                shallow=False), (out, name))

if __name__ == "__main__":
    unittest.main()
