"""kavrin-batch on the command line: frame ranges that add up to the whole save, progress, and
clear failures with their own exit status and nothing half-written (KAVRIN_BATCH names the
program)."""

import filecmp
import hashlib
import json
import os
import re
import signal
import socket
import shutil
import subprocess
import tempfile
import time
import struct
import unittest

from cache_maker import frame_particles, make_cache, write_frame

BATCH = os.environ["KAVRIN_BATCH"]


def stroke_event(frame, kind, time, steps):
    """A stroke written by hand in the log's documented shape."""
    return {"event": "stroke", "frame": frame, "type": kind, "power": 0.8, "space": 0.1,
            "time": time, "near_curve": 19, "select_curve": 19, "hard": False, "left": False,
            "right": False, "mirror": False,
            "keys": {"alt": False, "ctrl": False, "shift": False},
            "camera": {"focal_mag": 3, "brush_distance": 3, "position": [0, 0, 3],
                       "scene_view": False, "scene_eye": [0, 0, 0]},
            "steps": [{"pick": [0.02 * i, 0.05 + 0.02 * frame, 0.0], "vector": [0, 1, 0]}
                      for i in steps],
            "end": {"drew": True, "time": time, "near_curve": 19, "left": False,
                    "right": False}}


def write_log(path, events):
    with open(path, "w") as out:
        json.dump({"format": "kavrin stroke log", "version": 1, "events": events}, out)


def run(*args):
    return subprocess.run([BATCH, *args], capture_output=True, text=True, timeout=120)


class BatchCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.root = self.tmp.name
        self.cache = os.path.join(self.root, "sheet")
        make_cache(self.cache)
        self.log = os.path.join(self.root, "edit.strokes.json")
        write_log(self.log, [stroke_event(5, "grab", 3, range(4)),
                             stroke_event(8, "converge", 2, range(3)),
                             {"event": "undo", "frame": 8},
                             stroke_event(3, "scale", 4, range(5))])

    def tearDown(self):
        self.tmp.cleanup()

    def leftovers(self):
        return [name for name in os.listdir(self.root) if ".partial-" in name]

    def test_ranges_written_into_one_folder_make_up_the_whole_save(self):
        whole = os.path.join(self.root, "out")
        done = run(self.cache, self.log, whole)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("replay / 3 of 4 / undo / frame 8", done.stderr)
        names = sorted(os.listdir(whole))
        self.assertEqual(names, ["out.%03d.bin" % f for f in range(12)] + ["out.strokes.json"])

        split_root = os.path.join(self.root, "split")
        split = os.path.join(split_root, "out")
        jobs = [subprocess.Popen([BATCH, "--frames", frames, self.cache, self.log, split],
                                 stderr=subprocess.PIPE, text=True)
                for frames in ("0-4", "5-20")]
        for job in jobs:
            _, err = job.communicate(timeout=120)
            self.assertEqual(job.returncode, 0, err)
        self.assertEqual(sorted(os.listdir(split)), names)
        for name in names:
            self.assertTrue(filecmp.cmp(os.path.join(whole, name), os.path.join(split, name),
                                        shallow=False), name)
        self.assertEqual(os.listdir(split_root), ["out"])

        # A retry finds its files as it would write them: nothing is rewritten. Another log's
        # frames are refused, or replaced with --overwrite.
        before = {name: os.stat(os.path.join(split, name)).st_mtime_ns for name in names}
        again = run("--frames", "4-6", "--progress", self.cache, self.log, split)
        self.assertEqual(again.returncode, 0, again.stderr)
        self.assertIn("save / unchanged / 4 files", again.stderr)
        counts = [tuple(map(int, line.split()[1:])) for line in again.stdout.splitlines()]
        self.assertTrue(counts and all(line.startswith("progress ") for line in
                                       again.stdout.splitlines()), again.stdout)
        self.assertEqual(counts, sorted(counts))
        self.assertEqual(counts[-1][0], counts[-1][1])
        self.assertEqual(before, {name: os.stat(os.path.join(split, name)).st_mtime_ns
                                  for name in names})
        other = os.path.join(self.root, "other.strokes.json")
        write_log(other, [stroke_event(5, "grab", 2, range(2))])
        refused = run("--frames", "4-6", self.cache, other, split)
        self.assertEqual(refused.returncode, 5)
        self.assertRegex(refused.stderr, "out.00[4-6].bin exists already with other contents")
        replaced = run("--frames", "4-6", "--overwrite", self.cache, other, split)
        self.assertEqual(replaced.returncode, 0, replaced.stderr)
        self.assertFalse(filecmp.cmp(os.path.join(whole, "out.005.bin"),
                                     os.path.join(split, "out.005.bin"), shallow=False))
        self.assertEqual(self.leftovers(), [])

    def test_a_chunk_reads_what_its_frames_need_and_writes_what_a_whole_run_does(self):
        # Strokes reach 2-8, 6-10, -1-7 and 10-12; undo and redo cross chunks, and a stroke after
        # an undo ends what redo could bring back.
        write_log(self.log, [stroke_event(5, "grab", 3, range(4)),
                             stroke_event(8, "converge", 2, range(3)),
                             {"event": "undo", "frame": 8},
                             stroke_event(3, "scale", 4, range(5)),
                             stroke_event(11, "grab", 1, range(3)),
                             {"event": "undo", "frame": 11},
                             {"event": "redo", "frame": 11}])
        whole = os.path.join(self.root, "out")
        done = run(self.cache, self.log, whole)
        self.assertEqual(done.returncode, 0, done.stderr)
        split = os.path.join(self.root, "split", "out")
        # Frames 0-1 need 3 (its stroke reaches them) and so 5; 10-11 need 8 and so 5, but not
        # 3, whose stroke came after the one painted on 5.
        for frames, needed in (("0-1", 4), ("2-9", 8), ("10-11", 4)):
            chunk = run("--frames", frames, self.cache, self.log, split)
            self.assertEqual(chunk.returncode, 0, chunk.stderr)
            self.assertIn("open / frames needed / %d of 12" % needed, chunk.stderr)
        names = sorted(os.listdir(whole))
        self.assertEqual(sorted(os.listdir(split)), names)
        for name in names:
            self.assertTrue(filecmp.cmp(os.path.join(whole, name), os.path.join(split, name),
                                        shallow=False), name)

    def test_partial_folders_of_stopped_runs_go(self):
        out = os.path.join(self.root, "out")
        host = re.sub("[^A-Za-z0-9.]", "_", socket.gethostname())
        ended = subprocess.Popen(["true"])
        ended.wait()
        stale, running, other_host = (os.path.join(self.root, ".out.partial-%s-%d-ab" % owner)
                                      for owner in ((host, ended.pid), (host, os.getpid()),
                                                    ("elsewhere", ended.pid)))
        for folder in (stale, running, other_host):
            os.makedirs(folder)
            open(os.path.join(folder, "out.001.bin"), "w").close()
        done = run(self.cache, self.log, out)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(sorted(self.leftovers()), sorted(map(os.path.basename,
                                                              (running, other_host))))
        for folder in (running, other_host):
            shutil.rmtree(folder)

        # Stopped while it saves: its own partial folder goes with it.
        big = os.path.join(self.root, "big")
        make_cache(big, frames=30, count=4000)
        job = subprocess.Popen([BATCH, big, self.log, os.path.join(self.root, "big_out")],
                               stderr=subprocess.PIPE, text=True)
        while job.poll() is None and not self.leftovers():
            time.sleep(0.001)
        if job.poll() is not None:
            self.skipTest("the run ended before its partial folder could be seen")
        job.send_signal(signal.SIGTERM)
        _, err = job.communicate(timeout=60)
        self.assertEqual(job.returncode, 128 + signal.SIGTERM, err)
        self.assertEqual(self.leftovers(), [])

    def test_a_log_replays_only_on_the_cache_it_names(self):
        def ids_hash(ids):  # FNV-1a over the little-endian int32 ids, in file order
            h = 14695981039346656037
            for byte in b"".join(struct.pack("<i", i) for i in ids):
                h = ((h ^ byte) * 1099511628211) % 2 ** 64
            return "%016x" % h
        with open(self.log) as f:
            log = json.load(f)
        log["source"] = [{"frame": f, "particles": 400, "ids": ids_hash(range(400))}
                         for f in range(12)]
        named = os.path.join(self.root, "named.strokes.json")
        with open(named, "w") as f:
            json.dump(log, f)
        out = os.path.join(self.root, "out")
        done = run(self.cache, named, out)
        self.assertEqual(done.returncode, 0, done.stderr)
        with open(os.path.join(out, "out.strokes.json")) as f:
            self.assertEqual(json.load(f)["source"], log["source"])

        offset = os.path.join(self.root, "offset")
        os.makedirs(offset)
        for f in range(12):
            write_frame(os.path.join(offset, "offset.%03d.bin" % f),
                        [(pid + 1000, at, scale) for pid, at, scale in frame_particles(f, 400)])
        for args in ((offset, named, out + "2"), ("--frames", "3-4", offset, named, out + "2")):
            refused = run(*args)
            self.assertEqual(refused.returncode, 4, refused.stderr)
            self.assertRegex(refused.stderr,
                             "recorded on another cache: frame [0-9]+ holds other particle ids")
            self.assertFalse(os.path.exists(out + "2"))
        forced = run("--force", "--frames", "3-4", offset, named, out + "2")
        self.assertEqual(forced.returncode, 0, forced.stderr)

    def test_another_python_on_path_or_in_the_environment_is_not_used(self):
        fake = os.path.join(self.root, "fake")
        os.makedirs(os.path.join(fake, "bin"))
        os.makedirs(os.path.join(fake, "lib", "python3.11", "lib-dynload"))
        with open(os.path.join(fake, "bin", "python3"), "w") as f:
            f.write("#!/bin/sh\n")
        os.chmod(os.path.join(fake, "bin", "python3"), 0o755)
        with open(os.path.join(fake, "lib", "python3.11", "os.py"), "w") as f:
            f.write("raise ImportError('a foreign library')\n")
        env = dict(os.environ, PATH=os.path.join(fake, "bin") + ":" + os.environ["PATH"],
                   PYTHONHOME=fake, PYTHONPATH=os.path.join(fake, "lib", "python3.11"))
        done = subprocess.run([BATCH, self.cache, self.log, os.path.join(self.root, "out")],
                              capture_output=True, text=True, timeout=120, env=env)
        self.assertEqual(done.returncode, 0, done.stderr)

    def test_failures_have_their_own_status_and_leave_no_output(self):
        out = os.path.join(self.root, "out")
        bad_json = os.path.join(self.root, "bad.strokes.json")
        with open(bad_json, "w") as f:
            f.write('{"format": "kavrin stroke log",\n"version": 1,\n"events": [}')
        bad_field = os.path.join(self.root, "field.strokes.json")
        event = stroke_event(5, "grab", 3, range(2))
        event["steps"][1]["pick"] = [0, "up", 0]
        write_log(bad_field, [event])
        elsewhere = os.path.join(self.root, "elsewhere.strokes.json")
        write_log(elsewhere, [stroke_event(5, "grab", 3, range(2)),
                              stroke_event(50, "grab", 3, range(2))])
        a_file = os.path.join(self.root, "a_file")
        open(a_file, "w").close()
        cases = [
            ((os.path.join(self.root, "none"), self.log, out), 3, "cache folder .* does not exist"),
            ((self.cache, os.path.join(self.root, "none.json"), out), 3, "stroke log .* does not exist"),
            ((self.cache, bad_json, out), 4, "bad.strokes.json: line 3, column 13"),
            ((self.cache, bad_field, out), 4, r"events\[0\]\.steps\[1\]\.pick\[1\]: must be a"),
            ((self.cache, self.log, os.path.join(a_file, "out")), 5, "cannot write in"),
            ((self.cache, self.log, self.cache), 5, "lies in the cache folder it reads"),
            (("--frames", "7-2", self.cache, self.log, out), 2, "--frames takes"),
            ((self.cache, self.log), 2, "expected a cache folder"),
            ((self.cache, elsewhere, out), 1, "event 2: stroke / frame 50 .*not in the scene"),
        ]
        for args, status, message in cases:
            done = run(*args)
            self.assertEqual(done.returncode, status, (args, done.stderr))
            self.assertRegex(done.stderr, "kavrin-batch: error: .*" + message)
            self.assertFalse(os.path.exists(out), args)
        self.assertEqual(self.leftovers(), [])


if __name__ == "__main__":
    unittest.main()


class DataProblemsCase(unittest.TestCase):
    def test_skipped_files_and_dropped_particles_are_reported_without_verbose(self):
        with tempfile.TemporaryDirectory() as root:
            cache = os.path.join(root, "sheet")
            make_cache(cache, frames=6, count=100)
            shutil.copy(os.path.join(cache, "sheet.003.bin"), os.path.join(cache, "sheet.3.bin"))
            particles = frame_particles(4, 100)
            write_frame(os.path.join(cache, "sheet.004.bin"), particles + particles[:5])
            log = os.path.join(root, "none.strokes.json")
            write_log(log, [])
            done = run(cache, log, os.path.join(root, "out"))
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertIn("warning / 1 cache files skipped", done.stderr)
            self.assertIn("warning / Frame 4: 5 particles dropped", done.stderr)
            # Inputs no run can take are refused before any work, with their own status.
            endless = run(cache, "/dev/zero", os.path.join(root, "out2"))
            self.assertEqual(endless.returncode, 4, endless.stderr)
            self.assertIn("larger than a stroke log can be", endless.stderr)
            crowd = run("--threads", "100000", cache, log, os.path.join(root, "out2"))
            self.assertEqual(crowd.returncode, 2, crowd.stderr)
            inside = run("--frames", "1-2", cache, log, os.path.join(cache, "sub"))
            self.assertEqual(inside.returncode, 5, inside.stderr)
            self.assertIn("lies in the cache folder it reads", inside.stderr)
            mixed = os.path.join(root, "mixed")
            os.makedirs(mixed)
            open(os.path.join(mixed, "notes.txt"), "w").close()
            refused = run("--frames", "1-2", cache, log, mixed)
            self.assertEqual(refused.returncode, 5, refused.stderr)
            self.assertIn("notes.txt, which is not a file of this save", refused.stderr)


class VersionOneLogCase(unittest.TestCase):
    """A log of version 1, recorded when scenes held positions reversed, replays to the particles
    and the log it always gave (digests taken from the replay of the program of that time)."""

    def test_replays_to_the_particles_it_always_gave(self):
        data = os.path.join(os.path.dirname(__file__), "data")
        with open(os.path.join(data, "v1_edit.particles.sha256")) as digests:
            want = dict(line.split() for line in digests)
        with tempfile.TemporaryDirectory() as root:
            cache = os.path.join(root, "sheet")
            make_cache(cache)
            out = os.path.join(root, "out")
            done = run(cache, os.path.join(data, "v1_edit.strokes.json"), out)
            self.assertEqual(done.returncode, 0, done.stderr)
            for f in range(12):
                with open(os.path.join(out, "out.%03d.bin" % f), "rb") as saved:
                    body = saved.read()
                count = struct.unpack_from("<i", body, 276)[0]
                rows = sorted((struct.unpack_from("<i", body, 356 + 110 * i + 106)[0],
                               body[356 + 110 * i:356 + 110 * i + 12] +
                               body[356 + 110 * i + 94:356 + 110 * i + 98])
                              for i in range(count))
                digest = hashlib.sha256(b"".join(struct.pack("<i", pid) + values
                                                 for pid, values in rows)).hexdigest()
                self.assertEqual(digest, want[str(f)], "frame %d" % f)
            with open(os.path.join(out, "out.strokes.json"), "rb") as log:
                self.assertEqual(hashlib.sha256(log.read()).hexdigest(), want["log"])
