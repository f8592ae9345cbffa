"""The README's examples, run as they are written: the commands that make a fountain cache, paint
it from Python and replay its log with kavrin-batch, then the Python example."""

import os
import re
import subprocess
import tempfile
import unittest

README = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "README.md")


def examples():
    with open(README) as f:
        text = f.read()
    section = text.split("## Stroke logs, kavrin-batch and Python", 1)[1]
    block = re.search(r"\n\n((?:    .*\n|\n)+?)\n\S", section).group(1)
    commands = "\n".join(line[4:] for line in block.splitlines())
    python = re.search(r"```python\n(.*?)```", text, re.S).group(1)
    return commands, python


class ReadmeCase(unittest.TestCase):
    def test_the_examples_run_as_written(self):
        commands, python = examples()
        self.assertIn("kavrin-batch", commands)
        with tempfile.TemporaryDirectory() as root:
            os.symlink(os.environ["KAVRIN_BUILD"], os.path.join(root, "build"))
            done = subprocess.run(["bash", "-euo", "pipefail", "-c", commands], cwd=root,
                                  capture_output=True, text=True, timeout=300)
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertTrue(os.listdir(os.path.join(root, "shots", "out")))
            env = dict(os.environ, PYTHONPATH=os.path.join(root, "build"))
            done = subprocess.run(["/usr/bin/python3", "-c", python], cwd=root, env=env,
                                  capture_output=True, text=True, timeout=300)
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertIn("fountain_edited.strokes.json",
                          os.listdir(os.path.join(root, "shots", "fountain_edited")))


if __name__ == "__main__":
    unittest.main()
