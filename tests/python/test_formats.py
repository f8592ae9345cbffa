"""Caches saved as .ply and .vdb through the module: PLY output read back by numpy alone, the
round trips .bin -> .ply -> .bin and .bin -> .vdb -> .bin, and an ASCII PLY with faces written
back as it came."""

import os
import struct
import sys
import tempfile
import unittest

import numpy as np

sys.path.insert(0, os.environ["KAVRIN_BUILD"])
import kavrin  # noqa: E402

from cache_maker import RECORD, channel_values, f32, make_cache, write_frame  # noqa: E402

PLY_TYPES = {"char": "i1", "uchar": "u1", "short": "i2", "ushort": "u2", "int": "i4",
             "uint": "u4", "float": "f4", "double": "f8"}


def read_ply_vertices(path):
    """The vertex rows of a PLY file whose first element is the vertices, without lists."""
    with open(path, "rb") as f:
        data = f.read()
    end = data.index(b"end_header\n") + len(b"end_header\n")
    lines = data[:end].decode().splitlines()
    encoding = lines[1].split()[1]
    count = int(next(l for l in lines if l.startswith("element vertex")).split()[2])
    first = next(i for i, l in enumerate(lines) if l.startswith("element vertex"))
    props = []
    for line in lines[first + 1:]:
        if not line.startswith("property"):
            break
        kind, name = line.split()[1:3]
        props.append((name, PLY_TYPES[kind]))
    if encoding == "ascii":
        return np.loadtxt(data[end:].decode().splitlines()[:count], dtype=props, ndmin=1)
    order = "<" if encoding == "binary_little_endian" else ">"
    return np.frombuffer(data, dtype=[(n, order + t) for n, t in props], count=count,
                         offset=end)


class FormatCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.cache = os.path.join(self.tmp.name, "sheet")
        self.written = make_cache(self.cache, frames=3, count=300, channels=True)

    def tearDown(self):
        self.tmp.cleanup()

    def folder(self, name):
        return os.path.join(self.tmp.name, name)

    def assert_frames_as_written(self, scene):
        for f, want in self.written.items():
            self.assertEqual(scene.ids(f).tolist(), [pid for pid, _, _ in want])
            self.assertEqual(scene.positions(f).tolist(), [list(map(f32, p)) for _, p, _ in want])
            self.assertEqual(scene.scales(f).tolist(), [f32(s) for _, _, s in want])

    def records(self, folder):
        """Every record of every .bin file of a folder, by frame and id, as bytes."""
        out = {}
        for name in sorted(os.listdir(folder)):
            if name.endswith(".bin"):
                with open(os.path.join(folder, name), "rb") as f:
                    data = f.read()
                count = struct.unpack_from("<i", data, 276)[0]
                rows = [data[356 + i * RECORD.size:356 + (i + 1) * RECORD.size]
                        for i in range(count)]
                out[int(name.split(".")[1])] = {struct.unpack_from("<i", r, 106)[0]: r
                                                for r in rows}
        return out

    def test_ply_output_reads_with_numpy_and_every_format_round_trips(self):
        scene = kavrin.Scene(self.cache, threads=2)
        scene.save(self.folder("ply"), format="ply")
        for f, want in self.written.items():
            rows = read_ply_vertices(os.path.join(self.folder("ply"), "ply.%02d.ply" % f))
            self.assertEqual(rows.dtype.names, (
                "x", "y", "z", "id", "pscale", "red", "green", "blue", "vx", "vy", "vz", "fx",
                "fy", "fz", "vorticity_x", "vorticity_y", "vorticity_z", "nx", "ny", "nz",
                "neighbors", "u", "v", "w", "info_bits", "age", "isolation_time", "viscosity",
                "density", "mass", "temperature"))
            order = np.argsort(rows["id"])
            # Every other field of the records, under the names point tools read.
            for pid, row in zip(rows["id"][order].tolist(), rows[order]):
                vectors, neighbours, texture, bits, times, last = channel_values(pid)
                fields = vectors + [neighbours] + texture + [bits] + times + last
                self.assertEqual([f32(v) for v in row.tolist()[8:]], [f32(v) for v in fields])
            self.assertEqual(rows["id"][order].tolist(), [pid for pid, _, _ in want])
            xyz = np.stack([rows["x"], rows["y"], rows["z"]], axis=1)[order]
            self.assertTrue(np.array_equal(xyz, np.array([p for _, p, _ in want], "f4")))
            self.assertTrue(np.array_equal(rows["pscale"][order],
                                           np.array([s for _, _, s in want], "f4")))
        for fmt in ("ply", "vdb"):
            if fmt == "vdb":
                scene.save(self.folder("vdb"), format="vdb")
            # The attributes written beside the particles read back as channels, in id order.
            opened = kavrin.Scene(self.folder(fmt))
            self.assertEqual(opened.channel(1, "id").tolist(), opened.ids(1).tolist())
            if fmt == "vdb":
                self.assertEqual(opened.channel(1, "Alpha").tolist(), opened.weights(1).tolist())
                self.assertEqual(opened.channel(1, "Cd").shape, (300, 3))
            else:
                self.assertEqual(opened.channel(1, "red").dtype, np.uint8)
            back = self.folder("back_" + fmt)
            opened.save(back, format="bin")
            self.assertTrue(all(name.endswith((".bin", ".json")) for name in os.listdir(back)))
            self.assert_frames_as_written(kavrin.Scene(back))
            self.assertEqual(self.records(back), self.records(self.cache), fmt)
        with self.assertRaises(ValueError):
            scene.save(self.folder("none"), format="obj")

    def test_an_ascii_ply_with_faces_is_written_back_as_it_came(self):
        os.makedirs(self.folder("scan"))
        text = ("ply\nformat ascii 1.0\ncomment scanned\nelement vertex 3\n"
                "property float x\nproperty float y\nproperty float z\nproperty uchar quality\n"
                "element face 1\nproperty list uchar int vertex_indices\nend_header\n"
                "0.5 1 -2 7\n0.25 1e-05 3 8\n1 2 3 9\n3 0 1 2\n")
        with open(os.path.join(self.folder("scan"), "scan.1.ply"), "w") as f:
            f.write(text)
        scene = kavrin.Scene(self.folder("scan"))
        self.assertEqual(scene.ids(1).tolist(), [0, 1, 2])
        self.assertEqual(scene.positions(1)[1].tolist(), [0.25, f32(1e-05), 3.0])
        # Every vertex property is a channel in its own type; x, y, z are the scene's positions.
        self.assertEqual(scene.channel(1, "quality").dtype, np.uint8)
        self.assertEqual(scene.channel(1, "quality").tolist(), [7, 8, 9])
        self.assertEqual(scene.channel(1, "y").tolist(), scene.positions(1)[:, 1].tolist())
        scene.save(self.folder("again"))
        with open(os.path.join(self.folder("again"), "again.01.ply")) as f:
            self.assertEqual(f.read(), text)
        rows = read_ply_vertices(os.path.join(self.folder("again"), "again.01.ply"))
        self.assertEqual(rows["quality"].tolist(), [7, 8, 9])

    def test_a_refused_cache_frame_names_its_file_and_frame(self):
        huge = os.path.join(self.cache, "sheet.001.bin")
        write_frame(huge, [(0, (0.0, 1.0, 2.0), 1.0), (1, (3.4e38, 0.0, -3.4e38), 1.0)])
        with self.assertRaises(ValueError) as refused:
            kavrin.Scene(self.cache, threads=2)
        self.assertEqual((refused.exception.file, refused.exception.frame), (huge, 1))
        self.assertIn("lies beyond ±8.50706e+37", str(refused.exception))
        with self.assertRaises(FileNotFoundError) as missing:
            kavrin.Scene(self.folder("nowhere"))
        self.assertEqual((missing.exception.file, missing.exception.frame), (None, None))


if __name__ == "__main__":
    unittest.main()
