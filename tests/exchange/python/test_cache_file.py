"""Particle cache files: round trips, byte layout, foreign files and refused files."""

import math
import os
import random
import struct
import tempfile
import threading
import time
import unittest
from unittest import mock

import shared_lib

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")
PARTICLE_KEYS = ["pos", "pressure", "texture_vector", "velocity", "force", "vorticity",
                 "normal_vector", "neighbors", "info_bits", "elapsed_particle_time",
                 "isolation_time", "viscosity", "density", "mass", "temperature"]
HEADER_KEYS = ["code", "version", "fps", "name", "particles", "fluid_type", "emitter_position",
               "emitter_rotation", "emitter_scale", "pressure", "speed", "temperature",
               "frame_number", "scale_scene", "elapsed_simulation_time", "radius"]


def f32(value):
    """`value` rounded to single precision, as the file stores it."""
    return struct.unpack("<f", struct.pack("<f", value))[0]


def xyz(x=0.0, y=0.0, z=0.0):
    return {"x": x, "y": y, "z": z}


def particle(x, y, z, pressure):
    """A particle dict as the program builds it."""
    return {"pos": xyz(x, y, z), "pressure": pressure,
            "texture_vector": {"u": 0.0, "v": 0.0, "w": 0.0}, "velocity": xyz(), "force": xyz(),
            "vorticity": xyz(), "normal_vector": xyz(), "neighbors": 0.0, "info_bits": 0.0,
            "elapsed_particle_time": 0.0, "isolation_time": 0.0, "viscosity": 0.0,
            "density": 0.0, "mass": 0.0, "temperature": 0.0}


def set_point(particle_map, **header):
    head = {"code": int("0xFABADA", 0), "version": 9, "fps": 30, "name": "",
            "particles": len(particle_map), "fluid_type": -2147483646, "frame_number": 0.0}
    head.update(header)
    return {"header": head, "particle": particle_map, "footer": {}}


def raw_header(version, count, code=0x00FABADA, name=b"hand"):
    """A header built field by field from the documented offsets."""
    head = bytearray(356)
    struct.pack_into("<i", head, 0, code)
    head[4:4 + len(name)] = name
    struct.pack_into("<h", head, 254, version)
    struct.pack_into("<i", head, 260, 8)
    struct.pack_into("<i", head, 276, count)
    return bytes(head)


class CacheCase(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)

    def path(self, name="frame.0001.bin"):
        return os.path.join(self.folder.name, name)

    def write(self, data, name="frame.0001.bin"):
        with open(self.path(name), "wb") as out:
            out.write(data)
        return self.path(name)

    def export(self, sp, path=None):
        shared_lib.export_bin([self.folder.name + "/", path or self.path()], sp)

    def load(self, path=None):
        return shared_lib.import_bin([self.folder.name + "/", path or self.path()])


class RoundTrip(CacheCase):
    def test_program_frame_comes_back_bit_exact(self):
        rng = random.Random(1)
        written = {pid: particle(f32(rng.uniform(-50, 50)), f32(rng.uniform(-50, 50)),
                                 f32(rng.uniform(-50, 50)), f32(rng.uniform(0, 2)))
                   for pid in rng.sample(range(-10 ** 6, 10 ** 6), 10000)}
        for p in list(written.values())[::100]:
            p["mass"] = f32(rng.uniform(0, 2))  # what files of the "mass" fluid type carry
        self.export(set_point(written))
        read = self.load()
        self.assertEqual(list(read), ["header", "particle", "footer"])
        self.assertEqual(read["footer"], {})
        self.assertEqual(list(read["header"]), HEADER_KEYS)
        self.assertEqual(read["header"]["particles"], 10000)
        self.assertIsInstance(read["header"]["frame_number"], float)
        self.assertEqual(read["particle"], written)
        for pid, p in read["particle"].items():
            self.assertIs(type(pid), int)
            self.assertEqual(list(p), PARTICLE_KEYS)
            self.assertIs(type(p["neighbors"]), float)
            self.assertIs(type(p["info_bits"]), float)

    def test_every_field_survives_including_signed_zero_and_nan(self):
        rng = random.Random(2)
        written = {}
        for pid in range(300):
            p = particle(0.0, 0.0, 0.0, 0.0)
            for key, value in p.items():
                if isinstance(value, dict):
                    p[key] = {axis: f32(rng.uniform(-9, 9)) for axis in value}
                elif key in ("neighbors", "info_bits"):
                    p[key] = float(rng.randint(-300, 300))
                else:
                    p[key] = f32(rng.uniform(-9, 9))
            written[pid] = p
        written[7]["pos"]["x"] = -0.0
        written[8]["velocity"]["y"] = math.nan
        self.export(set_point(written))
        read = self.load()["particle"]
        self.assertIs(type(read[5]["neighbors"]), float)
        self.assertIs(type(read[5]["info_bits"]), float)
        self.assertEqual(math.copysign(1.0, read[7]["pos"]["x"]), -1.0)
        self.assertTrue(math.isnan(read[8]["velocity"]["y"]))
        read[8]["velocity"]["y"] = written[8]["velocity"]["y"] = 0.0
        self.assertEqual(read, written)

    def test_particle_dicts_are_independent(self):
        self.export(set_point({1: particle(1.0, 2.0, 3.0, 0.5), 2: particle(4.0, 5.0, 6.0, 0.5)}))
        read = self.load()["particle"]
        read[1]["velocity"]["x"] = 9.0
        read[1]["texture_vector"]["u"] = 9.0
        self.assertEqual(read[2]["velocity"]["x"], 0.0)
        self.assertEqual(read[2]["texture_vector"]["u"], 0.0)

    def test_header_counts_written_particles(self):
        sp = set_point({pid: particle(1.0, 2.0, 3.0, 0.25) for pid in range(7)}, particles=3)
        self.export(sp)
        header = self.load()["header"]
        self.assertEqual(header["particles"], 7)
        self.assertEqual(header["code"], 16431834)
        self.assertEqual(header["version"], 9)
        self.assertEqual(header["fluid_type"], -2147483646)

    def test_long_name_is_cut_on_a_character_boundary(self):
        self.export(set_point({1: particle(0, 0, 0, 1.0)}, name="\u00e9" * 200))
        self.assertEqual(self.load()["header"]["name"], "\u00e9" * 125)

    def test_threads_writing_at_once_each_get_their_own_file(self):
        def work(worker):
            for frame in range(3):
                sp = set_point({pid: particle(float(worker), float(frame), float(pid), 1.0)
                                for pid in range(500)})
                self.export(sp, self.path("w%d.%d.bin" % (worker, frame)))

        threads = [threading.Thread(target=work, args=(w,)) for w in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        for worker in range(4):
            for frame in range(3):
                read = self.load(self.path("w%d.%d.bin" % (worker, frame)))["particle"]
                self.assertEqual(len(read), 500)
                self.assertEqual(read[499]["pos"], xyz(float(worker), float(frame), 499.0))
        self.assertEqual(len(os.listdir(self.folder.name)), 12)


class ByteLayout(CacheCase):
    def test_fields_sit_at_their_offsets(self):
        particles = {11: particle(1.5, -2.0, 3.25, 0.75), -4: particle(4.0, 5.0, 6.0, 0.5)}
        particles[-4]["neighbors"] = 12.0
        particles[-4]["info_bits"] = 3.0
        particles[-4]["mass"] = 2.5
        self.export(set_point(particles, name="wine", frame_number=41.9, fps=24))
        with open(self.path(), "rb") as cache:
            data = cache.read()
        self.assertEqual(len(data), 356 + 2 * 110 + 6)
        self.assertEqual(data[:4], bytes.fromhex("DABAFA00"))
        self.assertEqual(data[4:9], b"wine\0")
        self.assertEqual(struct.unpack_from("<h", data, 254)[0], 9)
        self.assertEqual(struct.unpack_from("<i", data, 260)[0], -2147483646)
        self.assertEqual(struct.unpack_from("<i", data, 268)[0], 41)
        self.assertEqual(struct.unpack_from("<i", data, 272)[0], 24)
        self.assertEqual(struct.unpack_from("<i", data, 276)[0], 2)
        first, second = 356, 356 + 110
        self.assertEqual(struct.unpack_from("<3f", data, first), (1.5, -2.0, 3.25))
        self.assertEqual(struct.unpack_from("<f", data, first + 94)[0], 0.75)
        self.assertEqual(struct.unpack_from("<i", data, first + 106)[0], 11)
        self.assertEqual(struct.unpack_from("<i", data, second + 60)[0], 12)
        self.assertEqual(struct.unpack_from("<h", data, second + 76)[0], 3)
        self.assertEqual(struct.unpack_from("<f", data, second + 98)[0], 2.5)
        self.assertEqual(struct.unpack_from("<i", data, second + 106)[0], -4)
        self.assertEqual(data[-6:], bytes(6))


class OtherFiles(CacheCase):
    def test_foreign_version_11_file(self):
        read = self.load(os.path.join(DATA, "foreign_v11_62.bin"))
        header, particles = read["header"], read["particle"]
        self.assertEqual(header["name"], "Circle01")
        self.assertEqual(header["version"], 11)
        self.assertEqual(header["fluid_type"], 8)
        self.assertEqual(header["particles"], 62)
        self.assertEqual(list(particles), list(range(62, 0, -1)))
        self.assertEqual(header["emitter_scale"], xyz(1.0, 1.0, 1.0))
        self.assertEqual(particles[62]["neighbors"], 8.0)
        self.assertEqual(particles[62]["temperature"], 300.0)

    def record(self, values, fmt):
        return struct.pack(fmt, *values)

    def test_version_7_records_have_no_vorticity(self):
        # position, velocity, force, normal; neighbours; texture; info bits; 7 floats; id
        values = [float(v) for v in range(1, 13)] + [13, 14.0, 15.0, 16.0, 17] + \
                 [float(v) for v in range(18, 25)] + [5]
        data = raw_header(7, 1) + self.record(values, "<12fi3fh7fi")
        p = self.load(self.write(data))["particle"][5]
        self.assertEqual(p["velocity"], xyz(4.0, 5.0, 6.0))
        self.assertEqual(p["vorticity"], xyz())
        self.assertEqual(p["normal_vector"], xyz(10.0, 11.0, 12.0))
        self.assertEqual(p["neighbors"], 13.0)
        self.assertEqual(p["texture_vector"], {"u": 14.0, "v": 15.0, "w": 16.0})
        self.assertEqual((p["pressure"], p["mass"], p["temperature"]), (22.0, 23.0, 24.0))

    def test_versions_7_and_13_sparse_records(self):
        old = self.record([1.0, 2.0, 3.0] + [0.0] * 9 + [0, 0.0, 0.0, 0.0, 0] +
                          [0.0] * 4 + [0.5, 0.25, 0.0, 9], "<12fi3fh7fi")
        wide = self.record([1.0, 2.0, 3.0] + [0.0] * 12 + [0, 0.0, 0.0, 0.0, 0] +
                           [0.0] * 4 + [0.5, 0.25, 0.0, 2 ** 31 - 1], "<15fi3fh7fQ")
        for version, record, pid in ((7, old, 9), (13, wide, 2 ** 31 - 1)):
            p = self.load(self.write(raw_header(version, 1) + record + bytes(3)))["particle"][pid]
            self.assertEqual(p["pos"], xyz(1.0, 2.0, 3.0))
            self.assertEqual((p["pressure"], p["mass"]), (0.5, 0.25))


class RefusedFiles(CacheCase):
    def assertRefused(self, data, *words):
        path = self.write(data)
        with self.assertRaises(ValueError) as caught:
            self.load(path)
        message = str(caught.exception)
        self.assertIn(path, message)
        for word in words:
            self.assertIn(word, message)

    def test_bad_headers(self):
        record = bytes(110)
        self.assertRefused(b"", "truncated")
        self.assertRefused(raw_header(9, 1)[:300], "truncated")
        self.assertRefused(raw_header(9, 1, code=0x00FABADB) + record, "verification code")
        self.assertRefused(raw_header(6, 1) + record, "unsupported version 6")
        self.assertRefused(raw_header(14, 1) + record, "unsupported version 14")
        self.assertRefused(raw_header(9, -1) + record, "negative particle count")

    def test_short_files(self):
        self.assertRefused(raw_header(9, 100) + bytes(4000 - 356), "truncated",
                           "356 + 100 x 110 bytes needed, 4000 found")
        start = time.perf_counter()
        self.assertRefused(raw_header(12, 2 ** 31 - 1) + bytes(114), "truncated")
        self.assertLess(time.perf_counter() - start, 0.5)

    def test_wide_id_beyond_32_bits(self):
        record = struct.pack("<15fi3fh7fQ", *([0.0] * 15 + [0] + [0.0] * 3 + [0] + [0.0] * 7 +
                                              [2 ** 32]))
        self.assertRefused(raw_header(12, 1) + record, "does not fit in 32 bits")

    def test_missing_file(self):
        with self.assertRaises(FileNotFoundError) as caught:
            self.load(self.path("absent.bin"))
        self.assertIn("absent.bin", str(caught.exception))


class FailedWrites(CacheCase):
    def test_bad_set_point_leaves_the_old_file_alone(self):
        good = set_point({1: particle(1.0, 2.0, 3.0, 1.0)})
        self.export(good)
        with open(self.path(), "rb") as cache:
            before = cache.read()
        missing = set_point({1: particle(1.0, 2.0, 3.0, 1.0), 2: particle(0, 0, 0, 1.0)})
        del missing["particle"][2]["velocity"]
        huge = set_point({3: particle(1e39, 0.0, 0.0, 1.0)})
        wide = set_point({2 ** 31: particle(0.0, 0.0, 0.0, 1.0)})
        for bad, words in ((missing, "particle 2: missing key 'velocity'"),
                           (huge, "particle 3"), (wide, "particle 2147483648"),
                           ({"header": {}}, "particle")):
            with self.assertRaises(ValueError) as caught:
                self.export(bad)
            self.assertIn(self.path(), str(caught.exception))
            self.assertIn(words, str(caught.exception))
        with open(self.path(), "rb") as cache:
            self.assertEqual(cache.read(), before)
        self.assertEqual(os.listdir(self.folder.name), ["frame.0001.bin"])

    def test_failed_rename_leaves_no_temporary_file(self):
        with mock.patch.object(shared_lib.os, "replace", side_effect=OSError(28, "disk full")):
            with self.assertRaises(OSError):
                self.export(set_point({1: particle(0, 0, 0, 1.0)}))
        self.assertEqual(os.listdir(self.folder.name), [])

    def test_missing_folder_writes_nothing(self):
        with self.assertRaises(FileNotFoundError):
            self.export(set_point({1: particle(0, 0, 0, 1.0)}),
                        os.path.join(self.folder.name, "gone", "f.bin"))
        self.assertEqual(os.listdir(self.folder.name), [])


if __name__ == "__main__":
    unittest.main()
