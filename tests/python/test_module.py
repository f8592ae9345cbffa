"""The Python module kavrin: reading frames, strokes with propagation, undo, replay, saving, and
errors as exceptions. The package is imported from the build folder (KAVRIN_BUILD)."""

import ctypes
import filecmp
import json
import os
import sys
import tempfile
import unittest

import numpy as np

sys.path.insert(0, os.environ["KAVRIN_BUILD"])
import kavrin  # noqa: E402

from cache_maker import f32, make_cache, velocity, write_frame  # noqa: E402


def centre(scene, frame):
    return scene.positions(frame).mean(axis=0).tolist()


def stroke(scene, frame, kind, vector=(0.0, 1.0, 0.2), **fields):
    """A stroke through the middle of a frame, five steps along x; vector None leaves it out."""
    c = centre(scene, frame)
    steps = [{"pick": [c[0] + 0.02 * i, c[1], c[2]]} for i in range(5)]
    for step in steps:
        if vector is not None:
            step["vector"] = list(vector)
    return scene.stroke(frame=frame, type=kind, steps=steps, **fields)


def snapshot(scene):
    return {f: [a.tolist() for a in (scene.ids(f), scene.positions(f), scene.scales(f),
                                     scene.weights(f))]
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

    def test_frames_read_as_read_only_arrays_and_channels_of_the_records(self):
        self.assertEqual(self.scene.frames(), sorted(self.written))
        write_frame(os.path.join(self.cache, "sheet.012.bin"), [])  # a frame without particles
        self.written[12] = []
        # Records out of id order: arrays and channels still come in id order.
        write_frame(os.path.join(self.cache, "sheet.007.bin"), self.written[7][::-1])
        self.scene = kavrin.Scene(self.cache)
        for f in (0, 7, 12):
            want = self.written[f]
            arrays = {"ids": self.scene.ids(f), "positions": self.scene.positions(f),
                      "scales": self.scene.scales(f), "weights": self.scene.weights(f)}
            for name, dtype, shape in (("ids", "int32", (len(want),)),
                                       ("positions", "float32", (len(want), 3)),
                                       ("scales", "float32", (len(want),)),
                                       ("weights", "float32", (len(want),))):
                a = arrays[name]
                self.assertEqual((str(a.dtype), a.shape, a.flags.writeable),
                                 (dtype, shape, False), name)
            self.assertEqual(arrays["ids"].tolist(), [pid for pid, _, _ in want])
            # x, y, z as the file stores them.
            self.assertEqual(arrays["positions"].tolist(), [list(map(f32, p)) for _, p, _ in want])
            self.assertEqual(arrays["scales"].tolist(), [f32(s) for _, _, s in want])
            self.assertEqual(arrays["weights"].tolist(), [1.0] * len(want))
            v = self.scene.channel(f, "velocity")
            self.assertEqual((str(v.dtype), v.shape), ("float32", (len(want), 3)))
            self.assertEqual(v.tolist(), [list(map(f32, velocity(pid))) for pid, _, _ in want])
        with self.assertRaises(ValueError):
            self.scene.positions(0)[0, 0] = 1.0

        # The channels the scene edits give its values, the others the records'.
        stroke(self.scene, 7, "scale")
        stroke(self.scene, 7, "grab")
        for name, same in (("position", self.scene.positions(7)),
                           ("pressure", self.scene.scales(7)),  # the fluid type's scale
                           ("id", self.scene.ids(7))):
            self.assertEqual(self.scene.channel(7, name).tolist(), same.tolist(), name)
        self.assertNotEqual(self.scene.positions(7).tolist(),
                            [list(map(f32, p)) for _, p, _ in self.written[7]])
        self.assertEqual(self.scene.channel(7, "info_bits").dtype, "int16")
        with self.assertRaisesRegex(ValueError,
                                    r'no channel "velo"; sheet\.007\.bin holds position, velocity'):
            self.scene.channel(7, "velo")
        with kavrin.Scene.fountain("100") as generated:
            with self.assertRaisesRegex(ValueError, "not read from a cache file"):
                generated.channel(50, "velocity")

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

        # Values set directly: exactly those particles of that frame alone, undone and redone.
        ids = self.scene.ids(6)[::7]
        moved = self.scene.positions(6)[::7] + [0.0, 0.25, -0.5]
        self.scene.set_positions(6, ids, moved)
        self.scene.set_weights(6, ids[:3], [0.0, -1.0, 0.5])
        edited = snapshot(self.scene)
        self.assertEqual(sorted(f for f in after if after[f] != edited[f]), [6])
        self.assertEqual(self.scene.positions(6)[::7].tolist(), moved.astype("f4").tolist())
        self.assertEqual(self.scene.weights(6)[::7][:3].tolist(), [0.0, -1.0, 0.5])
        self.scene.undo()
        self.scene.undo()
        self.assertEqual(snapshot(self.scene), after)
        self.scene.redo()
        self.scene.redo()
        self.assertEqual(snapshot(self.scene), edited)

    def test_a_replayed_log_saves_the_same_files(self):
        stroke(self.scene, 3, "converge", time=3)
        stroke(self.scene, 8, "scale", time=2, keys={"shift": True})
        stroke(self.scene, 5, "remove", power=0.9, hard=True)
        self.scene.undo()
        self.scene.undo()
        self.scene.redo()
        stroke(self.scene, 5, "normal", right=True, mirror=True)
        # Without a vector: seen from above, the sheet's normal points up; a grab follows the
        # picks along x. The log holds the vectors used, so that the replay below repeats them.
        self.assertTrue(stroke(self.scene, 6, "normal", vector=None,
                               camera={"position": [0.0, 3.0, 0.0]})["drew"])
        self.assertTrue(stroke(self.scene, 9, "grab", vector=None, time=2)["drew"])
        normal, grab = json.loads(self.scene.log())["events"][-2:]
        self.assertTrue(all(s["vector"][1] > 0.9 for s in normal["steps"]), normal)
        self.assertTrue(all(s["vector"][0] > 0.99 for s in grab["steps"]), grab)
        ids = self.scene.ids(4)[::3]
        self.scene.set_positions(4, ids, self.scene.positions(4)[::3] + [0.0, 0.3, 0.0])
        self.scene.set_scales(np.int64(4), ids[:5].tolist(), np.full(5, 2.5))
        self.scene.undo()
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
        self.assertRegex(kavrin.__version__, r"^\d+\.\d+")
        with kavrin.Scene(self.cache) as scene:
            self.assertEqual(len(scene), len(self.written))
            self.assertEqual(scene.positions(np.int64(3)).tolist(), scene.positions(3).tolist())
            c = scene.positions(np.int32(3)).mean(axis=0)
            effect = scene.stroke(frame=np.int64(3), type="grab", time=np.float32(2),
                                  steps=[{"pick": c, "vector": np.array([0, 1, 0], np.float32)}])
            # Time 2 reaches two frames either side; each changed some particles.
            self.assertTrue(effect["drew"])
            self.assertEqual(sorted(effect["particles"]), [1, 2, 3, 4, 5])
            self.assertTrue(all(n > 0 for n in effect["particles"].values()), effect)
            with self.assertRaisesRegex(ValueError, "every vector given is"):
                scene.stroke(frame=3, type="grab", steps=[{"pick": c, "vector": [0, 0, 0]}])
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
        with self.assertRaisesRegex(ValueError, r'steps\[0\]: no "vector".*no surface under the'):
            self.scene.stroke(frame=2, type="normal", steps=[{"pick": [40, 40, 40]}])
        with self.assertRaisesRegex(ValueError, "the picks do not move across the view"):
            self.scene.stroke(frame=2, type="grab", steps=[{"pick": [0, 0, 0]}] * 3)
        for ids, values, why in (([1, 999], [[0, 0, 0]] * 2, "frame 2 holds no particle 999"),
                                 ([1, 1], [[0, 0, 0]] * 2, "particle 1 is given twice"),
                                 ([1, 2], [[0, 0, 0]], r"shape \(1, 3\) for 2 ids"),
                                 ([1], [[0, 4e38, 0]], "finite single-precision"),
                                 ([1.5], [[0, 0, 0]], "whole numbers")):
            with self.assertRaisesRegex((ValueError, TypeError), why):
                self.scene.set_positions(2, ids, values)
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
        # The scene is still usable, and nothing refused reached its log.
        self.assertEqual(self.scene.frames(), sorted(self.written))
        self.assertEqual(json.loads(self.scene.log())["events"], [])


if __name__ == "__main__":
    unittest.main()
