"""The Python module kavrin: reading frames, strokes with propagation, undo, replay, saving, and
errors as exceptions. The package is imported from the build folder (KAVRIN_BUILD)."""

import ctypes
import filecmp
import json
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.environ["KAVRIN_BUILD"])
import kavrin  # noqa: E402

from cache_maker import f32, make_cache, write_frame  # noqa: E402


def centre(scene, frame):
    positions = scene.positions(frame)
    return [sum(p[i] for p in positions) / len(positions) for i in range(3)]


def stroke(scene, frame, kind, **fields):
    """A stroke through the middle of a frame, five steps along x."""
    c = centre(scene, frame)
    steps = [{"pick": [c[0] + 0.02 * i, c[1], c[2]], "vector": [0.0, 1.0, 0.2]} for i in range(5)]
    scene.stroke(frame=frame, type=kind, steps=steps, **fields)


def snapshot(scene):
    return {f: (scene.ids(f), scene.positions(f), scene.scales(f), scene.weights(f))
            for f in scene.frames()}


class ModuleCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.cache = os.path.join(self.tmp.name, "sheet")
        self.written = make_cache(self.cache)
        self.scene = kavrin.Scene(self.cache, threads=2)

    def tearDown(self):
        del self.scene
        self.tmp.cleanup()

    def test_no_qt_application_is_made(self):
        # The engine needs no event loop: neither the import nor a scene's work makes one.
        stroke(self.scene, 0, "grab")
        core = ctypes.CDLL("libQt6Core.so.6")
        self.assertIsNone(ctypes.c_void_p.in_dll(core, "_ZN16QCoreApplication4selfE").value)

    def test_frames_read_as_lists_and_as_views_of_the_same_values(self):
        self.assertEqual(self.scene.frames(), sorted(self.written))
        write_frame(os.path.join(self.cache, "sheet.012.bin"), [])  # a frame without particles
        self.written[12] = []
        self.scene = kavrin.Scene(self.cache)
        for f in (0, 7, 12):
            want = self.written[f]
            self.assertEqual(self.scene.ids(f), [pid for pid, _, _ in want])
            # x, y, z as the file stores them.
            self.assertEqual(self.scene.positions(f), [tuple(map(f32, p)) for _, p, _ in want])
            self.assertEqual(self.scene.scales(f), [f32(s) for _, _, s in want])
            self.assertEqual(self.scene.weights(f), [1.0] * len(want))
            view = self.scene.positions(f, view=True)
            shape = (len(want), 3) if want else (0,)  # a memoryview cannot have a zero in (0, 3)
            self.assertEqual((view.format, view.shape, view.readonly), ("f", shape, True))
            self.assertEqual([tuple(row) for row in view.tolist()], self.scene.positions(f))
            self.assertEqual(self.scene.ids(f, view=True).tolist(), self.scene.ids(f))
            self.assertEqual(self.scene.scales(f, view=True).tolist(), self.scene.scales(f))
            self.assertEqual(self.scene.weights(f, view=True).tolist(), self.scene.weights(f))

    def test_a_stroke_reaches_the_frames_within_its_time_and_undo_takes_it_back(self):
        before = snapshot(self.scene)
        stroke(self.scene, 6, "grab", time=2, power=1.0, space=0.1)
        after = snapshot(self.scene)
        changed = sorted(f for f in before if before[f] != after[f])
        self.assertEqual(changed, [4, 5, 6, 7, 8])
        self.assertEqual(self.scene.current_frame, 6)
        self.scene.undo()
        self.assertEqual(snapshot(self.scene), before)
        with self.assertRaises(kavrin.Error):
            self.scene.undo()  # nothing left to undo
        self.scene.redo()
        self.assertEqual(snapshot(self.scene), after)

    def test_a_replayed_log_saves_the_same_files(self):
        stroke(self.scene, 3, "converge", time=3)
        stroke(self.scene, 8, "scale", time=2, keys={"shift": True})
        stroke(self.scene, 5, "remove", power=0.9, hard=True)
        self.scene.undo()
        self.scene.undo()
        self.scene.redo()
        stroke(self.scene, 5, "normal", right=True, mirror=True)
        painted = os.path.join(self.tmp.name, "painted")
        self.scene.save(painted)
        log = os.path.join(painted, "painted.strokes.json")
        with open(log) as saved:
            self.assertEqual(json.loads(self.scene.log()), json.load(saved))

        again = kavrin.Scene(self.cache)
        again.replay(log)
        replayed = os.path.join(self.tmp.name, "replayed")
        again.save(replayed)
        for f in self.scene.frames():
            self.assertTrue(filecmp.cmp(os.path.join(painted, "painted.%03d.bin" % f),
                                        os.path.join(replayed, "replayed.%03d.bin" % f),
                                        shallow=False), f)
        self.assertEqual(again.log(), self.scene.log())

        part = os.path.join(self.tmp.name, "part")
        again.save(part, frames=(2, 4))
        self.assertEqual(sorted(os.listdir(part)),
                         ["part.%03d.bin" % f for f in (2, 3, 4)] + ["part.strokes.json"])

    def test_numpy_values_a_with_block_and_the_version(self):
        import numpy as np
        self.assertRegex(kavrin.__version__, r"^\d+\.\d+")
        with kavrin.Scene(self.cache) as scene:
            self.assertEqual(len(scene), len(self.written))
            self.assertEqual(scene.positions(np.int64(3)), scene.positions(3))
            c = np.asarray(scene.positions(np.int32(3), view=True)).mean(axis=0)
            effect = scene.stroke(frame=np.int64(3), type="grab", time=np.float32(2),
                                  steps=[{"pick": c, "vector": np.array([0, 1, 0], np.float32)}])
            # Time 2 reaches two frames either side; each changed some particles.
            self.assertTrue(effect["drew"])
            self.assertEqual(sorted(effect["particles"]), [1, 2, 3, 4, 5])
            self.assertTrue(all(n > 0 for n in effect["particles"].values()), effect)
            with self.assertRaisesRegex(ValueError, "every vector is"):
                scene.stroke(frame=3, type="grab", steps=[{"pick": c}])
            logged = json.loads(scene.log())["events"][0]["steps"][0]["pick"]
            self.assertEqual(np.float32(logged).tolist(), c.astype(np.float32).tolist())
            with self.assertRaisesRegex(TypeError, "frame must be a whole number, not float"):
                scene.ids(2.5)
            with self.assertRaisesRegex(TypeError, r"^Scene.ids does not take \(int, str\)"):
                scene.ids(2, "view")
            self.assertNotIn("C++", kavrin.Scene.ids.__doc__ + str(kavrin.Scene.__init__.__doc__))
        with self.assertRaisesRegex(kavrin.Error, "closed"):
            scene.frames()

    def test_progress_is_reported_and_an_exception_in_it_stops_the_work(self):
        seen = []
        scene = kavrin.Scene(self.cache, progress=lambda *count: seen.append(count))
        self.assertEqual(seen[-1], ("open", len(self.written), len(self.written)))

        def stop(phase, done, total):
            raise KeyboardInterrupt  # as Ctrl-C would at that count
        with self.assertRaises(KeyboardInterrupt):
            kavrin.Scene(self.cache, progress=stop)
        stroke(scene, 4, "grab", time=2)
        log = os.path.join(self.tmp.name, "log.strokes.json")
        with open(log, "w") as out:
            out.write(scene.log())
        with self.assertRaises(KeyboardInterrupt):
            self.scene.replay(log, progress=stop)
        # A save stopped by its progress still finishes its files, then raises.
        out = os.path.join(self.tmp.name, "saved")
        with self.assertRaises(KeyboardInterrupt):
            scene.save(out, progress=stop)
        self.assertEqual(len(os.listdir(out)), len(self.written) + 1)

    def test_failures_are_exceptions_that_say_what_went_wrong(self):
        with self.assertRaisesRegex(FileNotFoundError, "does not exist"):
            kavrin.Scene(os.path.join(self.tmp.name, "nowhere"))
        with self.assertRaisesRegex(ValueError, r"steps\[1\]\.pick: must be a list of 3"):
            self.scene.stroke(frame=2, type="grab", steps=[{"pick": [0, 0, 0]}, {"pick": [0]}])
        with self.assertRaisesRegex(ValueError, "power: must be a number from 0.01 to 1"):
            self.scene.stroke(frame=2, type="grab", power=3, steps=[{"pick": [0, 0, 0]}])
        with self.assertRaisesRegex(ValueError, "type: is missing"):
            self.scene.stroke({"frame": 2, "steps": [{"pick": [0, 0, 0]}]})
        with self.assertRaisesRegex(kavrin.Error, "frame 99 is not in the scene"):
            self.scene.stroke(frame=99, type="grab", steps=[{"pick": [0, 0, 0]}])
        blocker = os.path.join(self.tmp.name, "a_file")
        open(blocker, "w").close()
        with self.assertRaisesRegex(OSError, "cannot write in"):
            self.scene.save(os.path.join(blocker, "out"))
        with self.assertRaisesRegex(OSError, "lies in the cache folder it reads"):
            self.scene.save(self.cache)
        occupied = os.path.join(self.tmp.name, "occupied")
        os.makedirs(occupied)
        open(os.path.join(occupied, "notes.txt"), "w").close()
        with self.assertRaisesRegex(OSError, "is not empty"):
            self.scene.save(occupied)
        bad_log = os.path.join(self.tmp.name, "bad.strokes.json")
        with open(bad_log, "w") as out:
            out.write('{"format": "kavrin stroke log",\n "version": 1,\n "events": [}\n')
        with self.assertRaisesRegex(ValueError, "line 3, column"):
            self.scene.replay(bad_log)
        self.assertEqual(self.scene.frames(), sorted(self.written))  # the scene is still usable


if __name__ == "__main__":
    unittest.main()
