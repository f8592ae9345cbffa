"""Transfers with the download server: the loopback sample server, and no server at all."""

import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from unittest import mock

import shared_lib
import wrap_ftp

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
import sample_server  # noqa: E402


def closed_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class WithServer(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.served = tempfile.TemporaryDirectory()
        cls.server = sample_server.start(cls.served.name)
        os.makedirs(os.path.join(cls.served.name, "web", "camera"))
        os.makedirs(os.path.join(cls.served.name, "rev", "0022"))
        with open(os.path.join(cls.served.name, "web", "camera", "wine_cam.zip"), "wb") as f:
            f.write(bytes(range(256)) * 300)
        with open(os.path.join(cls.served.name, "rev", "0022", "splash.png"), "wb") as f:
            f.write(b"\x89PNG splash")
        with open(os.path.join(cls.served.name, "rev", "0023.zip"), "wb") as f:
            f.write(b"package")

    @classmethod
    def tearDownClass(cls):
        cls.server.shutdown()
        cls.server.server_close()
        cls.served.cleanup()

    def setUp(self):
        patch = mock.patch.dict(os.environ, {"KAVRIN_SERVER_URL": self.server.url})
        patch.start()
        self.addCleanup(patch.stop)
        self.local = tempfile.TemporaryDirectory()
        self.addCleanup(self.local.cleanup)

    def test_exist(self):
        self.assertIs(shared_lib.exist(["web/camera/wine_cam.zip", "/app/"]), True)
        self.assertIs(shared_lib.exist(["web/geometry/.zip", "/app/"]), False)

    def test_download_into_new_folders_and_upload_back(self):
        target = os.path.join(self.local.name, "samples", "camera", "wine_cam.zip")
        self.assertIs(wrap_ftp.get_put(["web/camera/wine_cam.zip", target], True), True)
        with open(target, "rb") as got:
            self.assertEqual(got.read(), bytes(range(256)) * 300)
        self.assertIs(wrap_ftp.get_put(["up/copy.zip", target], False), True)
        with open(os.path.join(self.served.name, "up", "copy.zip"), "rb") as sent:
            self.assertEqual(sent.read(), bytes(range(256)) * 300)

    def test_missing_remote_file_writes_nothing(self):
        target = os.path.join(self.local.name, "samples", "nothing.zip")
        with self.assertRaises(shared_lib.TransferError) as caught:
            wrap_ftp.get_put(["web/nothing.zip", target], True)
        self.assertIn(self.server.url + "web/nothing.zip", str(caught.exception))
        self.assertIn("404", str(caught.exception))
        self.assertEqual(os.listdir(self.local.name), [])

    def test_sync_and_update(self):
        image = os.path.join(self.local.name, "image", "splash.png")
        wrap_ftp.sync([image, "None", "rev/0022/"])
        with open(image, "rb") as got:
            self.assertEqual(got.read(), b"\x89PNG splash")
        text = shared_lib.update(["0022", "0023", "rev/", self.local.name + "/"])
        stored = os.path.join(self.local.name, "update", "0023.zip")
        self.assertIn(stored, text)
        with open(stored, "rb") as got:
            self.assertEqual(got.read(), b"package")
        self.assertRaises(ValueError, shared_lib.update, ["0022", "../x", "rev/", "/tmp/"])

    def test_installed_layout_finds_library_and_settings(self):
        # The program defines and calls this wrapper, with the application folder on the path.
        app = os.path.join(self.local.name, "kavrin") + "/"
        scripts = os.path.join(app, "resource", "python")
        os.makedirs(scripts)
        shutil.copy(wrap_ftp.__file__, app)
        shutil.copy(shared_lib.__file__, scripts)
        with open(os.path.join(scripts, "server.ini"), "w") as settings:
            settings.write("[server]\nbase = %s\n" % self.server.url)
        target = os.path.join(app, "resource", "image", "splash.png")
        wrapper = ("def sync(str_list):\n\timport sys\n\tsys.path.append('%s')\n\timport os\n"
                   "\timport wrap_ftp\n\treturn wrap_ftp.sync(str_list)\n\t" % app)
        program = "%s\nprint(sync([%r, 'None', 'rev/0022/']))" % (wrapper, target)
        env = {key: value for key, value in os.environ.items()
               if key not in ("PYTHONPATH", "KAVRIN_SERVER_URL")}
        done = subprocess.run([sys.executable, "-c", program], env=env, cwd=self.local.name,
                              capture_output=True, text=True, timeout=20)
        self.assertEqual(done.stdout.strip(), "True", done.stderr)
        with open(target, "rb") as got:
            self.assertEqual(got.read(), b"\x89PNG splash")


class WithoutServer(unittest.TestCase):
    def test_every_call_fails_fast_and_writes_nothing(self):
        url = "http://127.0.0.1:%d/" % closed_port()
        with tempfile.TemporaryDirectory() as local, \
                mock.patch.dict(os.environ, {"KAVRIN_SERVER_URL": url}):
            upload = os.path.join(local, "up.bin")
            with open(upload, "wb") as f:
                f.write(b"data")
            calls = [
                lambda: shared_lib.exist(["web/cache/wine.zip", local + "/"]),
                lambda: wrap_ftp.get_put(["web/cache/wine.zip", local + "/s/wine.zip"], True),
                lambda: wrap_ftp.get_put(["web/up.bin", upload], False),
                lambda: wrap_ftp.sync([local + "/image/splash.png", "None", "rev/0022/"]),
                lambda: shared_lib.update(["0022", "0023", "rev/", local + "/"]),
            ]
            for call in calls:
                start = time.perf_counter()
                with self.assertRaises(shared_lib.TransferError) as caught:
                    call()
                self.assertLess(time.perf_counter() - start, 2.0)
                self.assertIn(url, str(caught.exception))
            self.assertEqual(os.listdir(local), ["up.bin"])

    def test_silent_server_times_out(self):
        with socket.socket() as silent:
            silent.bind(("127.0.0.1", 0))
            silent.listen(4)  # connections are accepted by the system but never answered
            url = "http://127.0.0.1:%d/" % silent.getsockname()[1]
            with tempfile.TemporaryDirectory() as local, \
                    mock.patch.dict(os.environ, {"KAVRIN_SERVER_URL": url}):
                start = time.perf_counter()
                with self.assertRaisesRegex(shared_lib.TransferError, "no answer"):
                    wrap_ftp.get_put(["web/cache/wine.zip", local + "/wine.zip"], True)
                self.assertLess(time.perf_counter() - start, shared_lib.ANSWER_WITHIN + 1.0)
                self.assertEqual(os.listdir(local), [])


class Trickle:
    """A loopback server that answers every request `piece` bytes every `pause` seconds: its
    headers (when `headers_too`) or a body of `size` bytes after prompt headers."""

    def __init__(self, size=100000, pause=0.2, headers_too=False, piece=1):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.url = "http://127.0.0.1:%d/" % self.listener.getsockname()[1]
        self.size, self.pause, self.headers_too, self.piece = size, pause, headers_too, piece
        self.stop = threading.Event()
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while not self.stop.is_set():
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self._answer, args=(conn,), daemon=True).start()

    def _answer(self, conn):
        head = b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n" % self.size
        try:
            conn.recv(4096)
            if not self.headers_too:
                conn.sendall(head)
                head = b""
            answer = head + b"x" * self.size
            for at in range(0, len(answer), self.piece):
                if self.stop.wait(self.pause):
                    break
                conn.sendall(answer[at:at + self.piece])
        except OSError:
            pass
        finally:
            conn.close()

    def close(self):
        self.stop.set()
        self.listener.close()


class SlowServers(unittest.TestCase):
    """Whatever a server does, a call ends within its deadline and leaves no file behind."""

    def run_call(self, server, call):
        with tempfile.TemporaryDirectory() as local, \
                mock.patch.dict(os.environ, {"KAVRIN_SERVER_URL": server.url}):
            start = time.perf_counter()
            with self.assertRaises(shared_lib.TransferError) as caught:
                call(local)
            took = time.perf_counter() - start
            self.assertEqual(os.listdir(local), [])
        return took, str(caught.exception)

    @mock.patch.object(shared_lib, "ANSWER_WITHIN", 1.0)
    def test_trickles_end_within_their_deadline(self):
        for headers_too in (False, True):
            server = Trickle(headers_too=headers_too)
            self.addCleanup(server.close)
            calls = [lambda local: wrap_ftp.get_put(["web/a.zip", local + "/a.zip"], True),
                     lambda local: wrap_ftp.sync([local + "/splash.png", "None", "rev/0022/"])]
            if headers_too:
                calls.append(lambda local: shared_lib.exist(["web/a.zip", local + "/"]))
            for call in calls:
                took, message = self.run_call(server, call)
                self.assertLess(took, shared_lib.ANSWER_WITHIN + 1.0, message)
                self.assertRegex(message, "no answer|too slow|no result")

    def test_a_cancelled_or_budgeted_download_stops_and_keeps_nothing(self):
        server = Trickle(size=10 << 20, pause=0.001, piece=1024)
        self.addCleanup(server.close)
        seen = []
        shared_lib.watch_transfers([], lambda: len(seen) > 20,
                                   lambda done, total: seen.append((done, total)), 0)
        self.addCleanup(shared_lib.watch_transfers, [], None, None, 0)
        took, message = self.run_call(
            server, lambda local: wrap_ftp.get_put(["web/a.zip", local + "/a.zip"], True))
        self.assertIn("cancelled", message)
        self.assertEqual(seen[0][1], 10 << 20)
        self.assertTrue(all(a[0] < b[0] for a, b in zip(seen, seen[1:])))

        seen.clear()
        shared_lib.watch_transfers([], None, None, 0.5)
        took, message = self.run_call(
            server, lambda local: wrap_ftp.get_put(["web/a.zip", local + "/a.zip"], True))
        self.assertIn("no result within 0.5 s", message)
        self.assertLess(took, 1.5)


if __name__ == "__main__":
    unittest.main()
