#!/usr/bin/python3
"""A small download server on the loopback interface, for tests and demos.

Serves the files of a folder (GET, HEAD) and stores uploads into it (PUT).

    /usr/bin/python3 scripts/sample_server.py [--silent | --trickle] FOLDER [PORT]

Port 0, the default, picks a free port; the first line printed is
"port N".  Stop it with Ctrl+C or SIGTERM.

For trying the program against a bad server: --silent accepts connections
and never answers; --trickle answers every request with a body of one
megabyte sent one byte a second.
"""

import functools
import http.server
import os
import secrets
import signal
import sys
import threading

UPLOAD_LIMIT = 1 << 30


class Handler(http.server.SimpleHTTPRequestHandler):
    """Static files of the served folder, plus PUT."""

    def list_directory(self, path):
        self.send_error(404, "No folder listings")
        return None

    def do_PUT(self):
        # translate_path drops "..", absolute parts and query strings.
        target = self.translate_path(self.path)
        root = os.path.realpath(self.directory)
        if self.path.endswith("/") or os.path.commonpath([root, os.path.realpath(target)]) != root \
                or os.path.realpath(target) == root:
            self.send_error(400, "Bad upload path")
            return
        length = self.headers.get("Content-Length", "")
        if not length.isdigit():
            self.send_error(411, "Content-Length required")
            return
        length = int(length)
        if length > UPLOAD_LIMIT:
            self.send_error(413, "Upload too large")
            return
        existed = os.path.isfile(target)
        temp = "%s.%s.part" % (target, secrets.token_hex(4))
        try:
            os.makedirs(os.path.dirname(target), exist_ok=True)
            with open(temp, "wb") as out:
                left = length
                while left:
                    chunk = self.rfile.read(min(left, 1 << 16))
                    if not chunk:
                        raise ConnectionError("upload ended early")
                    out.write(chunk)
                    left -= len(chunk)
            os.replace(temp, target)
        except OSError as error:
            try:
                os.unlink(temp)
            except OSError:
                pass
            self.send_error(500, "Upload failed: %s" % error)
            return
        self.send_response(204 if existed else 201)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def log_message(self, format, *args):
        if self.server.verbose:
            super().log_message(format, *args)


class Silent(http.server.BaseHTTPRequestHandler):
    """Reads the request and never answers it."""

    def handle(self):
        self.request.recv(65536)
        while not self.server.stopping.wait(1.0):
            pass

    def log_message(self, format, *args):
        pass


class Trickle(http.server.BaseHTTPRequestHandler):
    """Answers with a megabyte, one byte a second."""

    def do_GET(self):
        self.send_response(200)
        self.send_header("Content-Length", str(1 << 20))
        self.end_headers()
        self.wfile.flush()
        for _ in range(1 << 20):
            if self.server.stopping.wait(1.0):
                return
            self.wfile.write(b"x")
            self.wfile.flush()

    do_HEAD = do_GET

    def log_message(self, format, *args):
        pass


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, folder, port=0, verbose=False, behaviour=None):
        self.verbose = verbose
        self.stopping = threading.Event()
        handler = {"--silent": Silent, "--trickle": Trickle}.get(behaviour) or \
            functools.partial(Handler, directory=os.path.abspath(folder))
        super().__init__(("127.0.0.1", port), handler)

    @property
    def port(self):
        return self.server_address[1]

    @property
    def url(self):
        return "http://127.0.0.1:%d/" % self.port


def start(folder, port=0):
    """Starts a server on a background thread; stop it with .shutdown() and .server_close()."""
    server = Server(folder, port)
    threading.Thread(target=server.serve_forever, name="sample-server", daemon=True).start()
    return server


def main(argv):
    behaviour = argv.pop(1) if len(argv) > 1 and argv[1] in ("--silent", "--trickle") else None
    if len(argv) not in (2, 3) or not os.path.isdir(argv[1]):
        sys.stderr.write(__doc__)
        return 2
    server = Server(argv[1], int(argv[2]) if len(argv) == 3 else 0, verbose=True,
                    behaviour=behaviour)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    print("port %d" % server.port, flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.stopping.set()
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
