"""Log upkeep, system facts, archive unpacking and the server settings."""

import os
import random
import shutil
import tempfile
import unittest
import zipfile
from unittest import mock

import shared_lib


class Folder(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)
        self.root = self.folder.name

    def path(self, *parts):
        return os.path.join(self.root, *parts)


class Clean(Folder):
    def write_log(self, size):
        lines, total, index = [], 0, 0
        while total < size:
            line = "line %07d / %s\r\n" % (index, "x" * (index % 50))
            lines.append(line)
            total += len(line)
            index += 1
        with open(self.path("debug.txt"), "w", newline="") as log:
            log.write("".join(lines))
        return "".join(lines).encode()

    def test_big_log_keeps_its_newest_whole_lines(self):
        original = self.write_log(3 << 20)
        shared_lib.clean([self.root + "/", self.path("debug.txt")], 0, False)
        with open(self.path("debug.txt"), "rb") as log:
            kept = log.read()
        self.assertLessEqual(len(kept), 1 << 20)
        self.assertGreater(len(kept), (1 << 20) - 200)
        self.assertTrue(original.endswith(kept))
        self.assertEqual(original[-len(kept) - 2:-len(kept)], b"\r\n")
        self.assertRegex(kept[:40].decode(), r"^line \d{7} / ")
        self.assertEqual(os.listdir(self.root), ["debug.txt"])

    def test_small_or_missing_log_is_left_alone(self):
        original = self.write_log(5000)
        shared_lib.clean([self.root + "/", self.path("debug.txt")], 0, True)
        with open(self.path("debug.txt"), "rb") as log:
            self.assertEqual(log.read(), original)
        shared_lib.clean([self.root + "/", self.path("other.txt")], 0, True)
        self.assertFalse(os.path.exists(self.path("other.txt")))

    def test_partial_downloads_are_dropped(self):
        os.mkdir(self.path("update"))
        for name in (".0023.zip.1a2b.part", "0022.zip"):
            open(self.path("update", name), "w").close()
        shared_lib.clean([self.root + "/", self.path("debug.txt")], 0, False)
        self.assertEqual(os.listdir(self.path("update")), ["0022.zip"])


class Place(unittest.TestCase):
    def test_facts_are_texts_with_the_core_count(self):
        facts = shared_lib.place(["debug.txt"], False)
        self.assertEqual(facts["core"], str(os.cpu_count()))
        self.assertTrue(all(isinstance(k, str) and isinstance(v, str) for k, v in facts.items()))
        self.assertRegex(facts.get("memory_total", "0"), r"^\d+$")
        self.assertEqual(facts["online"], "false")


class Unzip(Folder):
    def archive(self, name, members):
        path = self.path(name)
        with zipfile.ZipFile(path, "w") as zipped:
            for member, data in members:
                zipped.writestr(member, data)
        return path

    def test_folder_archive_appears_beside_it(self):
        path = self.archive("wine.zip", [("wine/wine.0001.bin", b"one"),
                                         ("wine/wine.0002.bin", b"two")])
        shared_lib.unzip([path])
        self.assertEqual(sorted(os.listdir(self.root)), ["wine", "wine.zip"])
        with open(self.path("wine", "wine.0002.bin"), "rb") as unpacked:
            self.assertEqual(unpacked.read(), b"two")

    def test_single_file_archive_and_repeat(self):
        path = self.archive("wine_cam.zip", [("wine_cam.fbx", b"camera")])
        shared_lib.unzip([path])
        shared_lib.unzip([path])
        self.assertEqual(sorted(os.listdir(self.root)), ["wine_cam.fbx", "wine_cam.zip"])

    def test_loose_members_go_into_a_folder_of_the_archive_name(self):
        path = self.archive("fire.zip", [("a.bin", b"a"), ("b.bin", b"b")])
        shared_lib.unzip([path])
        self.assertEqual(sorted(os.listdir(self.path("fire"))), ["a.bin", "b.bin"])

    def test_escaping_members_are_refused_whole(self):
        for evil in ("../evil", "/abs", "wine/../../evil", "C:\\evil", "wine\\..\\..\\evil"):
            path = self.archive("wine.zip", [("wine/fine.bin", b"fine"), (evil, b"evil")])
            with self.assertRaises(ValueError) as caught:
                shared_lib.unzip([path])
            self.assertIn("outside the target folder", str(caught.exception))
            self.assertEqual(os.listdir(self.root), ["wine.zip"], evil)
        self.assertFalse(os.path.exists(os.path.join(os.path.dirname(self.root), "evil")))

    def test_oversized_broken_and_missing_archives(self):
        path = self.archive("big.zip", [("big/a.bin", b"a" * 4000)])
        with mock.patch.object(shared_lib, "UNZIP_LIMIT", 1000):
            with self.assertRaisesRegex(ValueError, "unpacks to 4000 bytes"):
                shared_lib.unzip([path])
        with mock.patch.object(shared_lib, "UNZIP_MEMBERS", 0):
            with self.assertRaisesRegex(ValueError, "1 members, at most 0"):
                shared_lib.unzip([path])
        with open(self.path("bad.zip"), "wb") as bad:
            bad.write(b"PK\3\4 not really an archive")
        with self.assertRaisesRegex(ValueError, "bad.zip"):
            shared_lib.unzip([self.path("bad.zip")])
        with self.assertRaises(FileNotFoundError):
            shared_lib.unzip([self.path("gone.zip")])
        self.assertEqual(sorted(os.listdir(self.root)), ["bad.zip", "big.zip"])

    def test_damaged_archives_raise_value_error_and_leave_nothing(self):
        # Each decompressor fails in its own way on damaged data (zlib.error, LZMAError,
        # OSError, NotImplementedError ...); unzip reports every one as the archive's ValueError.
        rng = random.Random(5)
        data = bytes(rng.randrange(256) for _ in range(200)) + b"wine " * 400
        for method in (zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED, zipfile.ZIP_BZIP2,
                       zipfile.ZIP_LZMA):
            path = self.path("wine.zip")
            with zipfile.ZipFile(path, "w", compression=method) as zipped:
                zipped.writestr("wine/a.bin", data)
            with open(path, "rb") as archive:
                original = archive.read()
            damaged_members = 0
            for _ in range(60):
                damaged = bytearray(original)
                for _ in range(rng.randint(1, 3)):
                    damaged[rng.randrange(len(damaged))] = rng.randrange(256)
                with open(path, "wb") as archive:
                    archive.write(damaged)
                try:
                    shared_lib.unzip([path])
                except ValueError as error:
                    self.assertIn(path, str(error))
                    damaged_members += "is damaged" in str(error)
                    self.assertEqual(os.listdir(self.root), ["wine.zip"])
                for name in set(os.listdir(self.root)) - {"wine.zip"}:  # what a success unpacked
                    unpacked = self.path(name)
                    shutil.rmtree(unpacked) if os.path.isdir(unpacked) else os.unlink(unpacked)
            if method != zipfile.ZIP_STORED:
                self.assertGreater(damaged_members, 0, method)

    def test_corrupt_member_leaves_nothing(self):
        path = self.archive("wine.zip", [("wine/a.bin", b"a" * 1000), ("wine/b.bin", b"b" * 1000)])
        with open(path, "r+b") as archive:
            data = archive.read()
            archive.seek(data.rindex(b"b" * 1000) + 10)
            archive.write(b"X")  # the stored bytes no longer match their checksum
        with self.assertRaises(ValueError):
            shared_lib.unzip([path])
        self.assertEqual(os.listdir(self.root), ["wine.zip"])


class ServerSettings(Folder):
    def test_settings_file_then_environment(self):
        ini = self.path("server.ini")
        with open(ini, "w") as settings:
            settings.write("[server]\nbase = http://example.invalid:9/kavrin\n")
        with mock.patch.dict(os.environ, {"KAVRIN_SERVER_URL": ""}):
            self.assertEqual(shared_lib.server_base(ini), "http://example.invalid:9/kavrin/")
            self.assertEqual(shared_lib.server_url("web/cache/a b.zip", ini),
                             "http://example.invalid:9/kavrin/web/cache/a%20b.zip")
        with mock.patch.dict(os.environ, {"KAVRIN_SERVER_URL": "http://127.0.0.1:1/"}):
            self.assertEqual(shared_lib.server_base(ini), "http://127.0.0.1:1/")
        with mock.patch.dict(os.environ, {"KAVRIN_SERVER_URL": "ftp://host/"}):
            self.assertRaises(ValueError, shared_lib.server_base, ini)

    def test_remote_paths_stay_below_the_base(self):
        for remote in ("../secret", "/etc/passwd", "web/../../x", "http://other/x", ""):
            with self.assertRaises(ValueError, msg=remote):
                shared_lib.server_url(remote)


if __name__ == "__main__":
    unittest.main()
