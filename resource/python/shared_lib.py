"""Chores that Kavrin hands to its embedded interpreter.

Log upkeep, system facts, transfers from the download server, archive
unpacking and the particle cache files.  Every public function takes
``str_list``, a list of str built by the program, as its first argument.

Calls may come from several program threads.  Each call holds the
interpreter lock, but the interpreter lets other threads in while a call
waits for the disk or the network, so nothing here keeps mutable state
between calls: every call writes through its own uniquely named temporary
file and only the final rename makes its result visible.
"""

import configparser
import gc
import http.client
import os
import platform
import secrets
import shutil
import socket
import stat
import struct
import threading
import time
import urllib.error
import urllib.parse
import urllib.request
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))

# ---------------------------------------------------------------------------
# Arguments and atomic files
# ---------------------------------------------------------------------------


def argument(str_list, index, what):
    """Item `index` of str_list as str; a missing item is a caller error."""
    try:
        value = str_list[index]
    except (IndexError, TypeError):
        raise ValueError("missing argument %d (%s)" % (index, what)) from None
    if isinstance(value, bytes):
        value = os.fsdecode(value)
    if not isinstance(value, str):
        raise ValueError("argument %d (%s) must be a str, got %r" % (index, what, type(value)))
    return value


def _open_beside(path):
    """Opens a new temporary file in the folder of `path`; returns (file, temp path).

    The name is unique per call, so threads writing the same target never
    share a temporary file; the mode follows the umask like a plain open().
    """
    folder, base = os.path.split(path)
    while True:
        temp = os.path.join(folder, ".%s.%s.part" % (base, secrets.token_hex(6)))
        try:
            fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
        except FileExistsError:
            continue
        return os.fdopen(fd, "wb"), temp


def _remove_quietly(path):
    try:
        os.unlink(path)
    except OSError:
        pass


def _write_atomic(path, chunks):
    """Writes the byte strings of `chunks` to `path` so that readers see the old file or the
    whole new one, never a part."""
    out, temp = _open_beside(path)
    try:
        with out:
            for chunk in chunks:
                out.write(chunk)
        os.replace(temp, path)
    except BaseException:
        _remove_quietly(temp)
        raise


# ---------------------------------------------------------------------------
# Download server
# ---------------------------------------------------------------------------

STALL = 3.0  # seconds a connection may stay silent: an absent or mute server fails fast
ANSWER_WITHIN = 3.0  # seconds from sending a request to its answer; the whole of a small call
MIN_RATE = 32 << 10  # bytes per second that a body must keep up on average after that
DEFAULT_SERVER = "http://127.0.0.1:8765/"
SERVER_SETTINGS = os.path.join(HERE, "server.ini")
DOWNLOAD_LIMIT = 1 << 30  # refuse to store a single download larger than 1 GiB
_CHUNK = 1 << 16
_POLL = 0.05  # how often a running transfer's watcher looks at the clock and the program


class TransferError(OSError):
    """A request to the download server failed; the message names the URL."""


def server_base(settings=None):
    """Base URL of the download server, ending with "/".

    KAVRIN_SERVER_URL wins; otherwise key "base" of section [server] of the
    first settings file that exists among `settings` and server.ini beside
    this module; otherwise the loopback default.
    """
    base = os.environ.get("KAVRIN_SERVER_URL", "").strip()
    if not base:
        for candidate in (settings, SERVER_SETTINGS):
            if candidate and os.path.isfile(candidate):
                parser = configparser.ConfigParser()
                try:
                    parser.read(candidate, encoding="utf-8")
                except (configparser.Error, UnicodeDecodeError) as error:
                    raise ValueError("server settings %s: %s" % (candidate, error)) from None
                base = parser.get("server", "base", fallback="").strip()
                break
    base = base or DEFAULT_SERVER
    parts = urllib.parse.urlsplit(base)
    if parts.scheme not in ("http", "https") or not parts.netloc:
        raise ValueError("server address %r is not an http:// or https:// URL" % base)
    return base if base.endswith("/") else base + "/"


def server_url(remote, settings=None):
    """URL of `remote`, a relative path on the download server."""
    parts = remote.replace("\\", "/").split("/")
    if not remote or remote.startswith(("/", "\\")) or ".." in parts or ":" in parts[0]:
        raise ValueError("remote path %r must be relative to the server folder" % remote)
    return server_base(settings) + urllib.parse.quote(remote, safe="/")


# How the program watches this thread's transfers; see watch_transfers.
_local = threading.local()


def watch_transfers(str_list, cancelled, progress, budget):
    """[] -> None.  From now on this thread's transfers ask `cancelled`() whether to stop, tell
    `progress`(bytes so far, bytes expected or -1) as a body arrives, and each ends within
    `budget` seconds when that is above 0.  None, None, 0 stops watching."""
    if cancelled is None and progress is None and not budget:
        _local.watch = None
    else:
        _local.watch = (cancelled, progress, float(budget or 0))


class _Guard:
    """Ends one request when it runs out of time or the program cancels it.

    The socket timeout only bounds each read; a server that trickles a byte now and then would
    keep a call alive for ever.  A watcher thread shuts the request's socket down instead, which
    wakes a read blocked on it, when the answer has not come within ANSWER_WITHIN, when the body
    falls behind MIN_RATE, when the caller's budget is spent or when the program cancels.
    """

    def __init__(self, verb, url):
        self._cancelled, self._progress, budget = getattr(_local, "watch", None) or (None, None, 0)
        self.verb, self.url = verb, url
        self.start = time.monotonic()
        self.end = self.start + budget if budget > 0 else float("inf")
        self.received = None  # bytes of the body so far; None until the answer came
        self.reason = None
        self._sockets = []
        self._lock = threading.Lock()
        self._done = threading.Event()
        self._watcher = threading.Thread(target=self._watch, name="transfer guard", daemon=True)

    def __enter__(self):
        _local.guard = self
        self._watcher.start()
        return self

    def __exit__(self, *exc):
        _local.guard = None
        self._done.set()
        self._watcher.join()
        return False

    def add_socket(self, sock):
        with self._lock:
            self._sockets.append(sock)
            if self.reason:
                _shut(sock)

    def answered(self):
        self.body(0, -1, report=False)

    def body(self, received, expected, report=True):
        self.received = received
        if report and self._progress is not None:
            self._progress(received, expected)

    def failure(self):
        """The TransferError for a request that the watcher ended, or None."""
        if self.reason is None:
            return None
        return TransferError("%s %s: %s" % (self.verb, self.url, self.reason))

    def _limit(self):
        allowed = ANSWER_WITHIN
        if self.received is not None:
            allowed += self.received / MIN_RATE
        return min(self.start + allowed, self.end)

    def _why(self):
        if self._cancelled is not None and self._cancelled():
            return "cancelled"
        now = time.monotonic()
        if now <= self._limit():
            return None
        if now > self.end:
            return "no result within %.1f s" % (self.end - self.start)
        if self.received is None:
            return "no answer within %.1f s" % ANSWER_WITHIN
        return "too slow: %d bytes in %.1f s" % (self.received, now - self.start)

    def _watch(self):
        while not self._done.wait(_POLL):
            why = self._why()
            if why:
                with self._lock:
                    self.reason = why
                    for sock in self._sockets:
                        _shut(sock)
                return


def _shut(sock):
    try:
        sock.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass


def _guarded(connection_class):
    class Guarded(connection_class):
        def connect(self):
            super().connect()
            guard = getattr(_local, "guard", None)
            if guard is not None:
                guard.add_socket(self.sock)
    return Guarded


_GuardedHTTP = _guarded(http.client.HTTPConnection)
_GuardedHTTPS = _guarded(http.client.HTTPSConnection)


class _HTTPHandler(urllib.request.HTTPHandler):
    def http_open(self, req):
        return self.do_open(_GuardedHTTP, req)


class _HTTPSHandler(urllib.request.HTTPSHandler):
    def https_open(self, req):
        return self.do_open(_GuardedHTTPS, req, context=self._context)


_DIRECT = urllib.request.build_opener(
    urllib.request.ProxyHandler({}), _HTTPHandler, _HTTPSHandler)
_PROXIED = urllib.request.build_opener(_HTTPHandler, _HTTPSHandler)


def _open(request):
    """Sends `request`; loopback servers are always reached without a proxy."""
    host = urllib.parse.urlsplit(request.full_url).hostname or ""
    opener = _DIRECT if host in ("127.0.0.1", "localhost", "::1") else _PROXIED
    return opener.open(request, timeout=STALL)


def _failure(verb, url, error, guard=None):
    ended = guard.failure() if guard is not None else None
    if ended is not None:
        return ended
    if isinstance(error, urllib.error.HTTPError):
        why = "HTTP %d %s" % (error.code, error.reason)
    elif isinstance(error, urllib.error.URLError):
        why = "cannot reach the server (%s)" % (error.reason,)
    elif isinstance(error, TimeoutError):
        why = "no answer within %.1f s" % STALL
    else:
        why = str(error) or type(error).__name__
    return TransferError("%s %s: %s" % (verb, url, why))


_NETWORK_ERRORS = (urllib.error.URLError, http.client.HTTPException, OSError)


def http_status(url):
    """Status of a HEAD request: 2xx or 404/410; other answers and failures raise."""
    with _Guard("HEAD", url) as guard:
        try:
            with _open(urllib.request.Request(url, method="HEAD")) as answer:
                status = answer.status
        except urllib.error.HTTPError as error:
            if error.code in (404, 410) and guard.failure() is None:
                return error.code
            raise _failure("HEAD", url, error, guard) from None
        except _NETWORK_ERRORS as error:
            raise _failure("HEAD", url, error, guard) from None
        ended = guard.failure()
        if ended is not None:
            raise ended
        return status


def http_download(url, path, limit=DOWNLOAD_LIMIT):
    """Stores the body of a GET of `url` at `path` (parents created); returns its size.

    The body goes to a temporary file beside `path` and is renamed only when
    complete, so a failed, late or cancelled transfer leaves the disk as it was.
    """
    temp = None
    with _Guard("GET", url) as guard:
        try:
            with _open(urllib.request.Request(url)) as answer:
                guard.answered()
                expected = answer.headers.get("Content-Length")
                expected = int(expected) if expected and expected.isdigit() else None
                if expected is not None and expected > limit:
                    raise TransferError("GET %s: %d bytes exceed the %d byte limit"
                                        % (url, expected, limit))
                os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
                out, temp = _open_beside(path)
                size = 0
                with out:
                    while True:
                        chunk = answer.read1(_CHUNK)  # what has come, for timely progress
                        if not chunk:
                            break
                        size += len(chunk)
                        if size > limit:
                            raise TransferError("GET %s: body exceeds the %d byte limit"
                                                % (url, limit))
                        out.write(chunk)
                        guard.body(size, -1 if expected is None else expected)
                    out.flush()
                    os.fsync(out.fileno())
                # A body cut short by the watcher ends like a complete one: ask it first.
                ended = guard.failure()
                if ended is not None:
                    raise ended
                if expected is not None and size != expected:
                    raise TransferError("GET %s: %d of %d bytes received" % (url, size, expected))
            os.replace(temp, path)
            temp = None
            return size
        except TransferError:
            raise
        except _NETWORK_ERRORS as error:
            local = not isinstance(error, (urllib.error.URLError, http.client.HTTPException))
            if local and getattr(error, "filename", None):
                raise  # a local file error, reported as such
            raise _failure("GET", url, error, guard) from None
        finally:
            if temp is not None:
                _remove_quietly(temp)


def http_upload(path, url):
    """Sends the file at `path` to `url` with PUT; returns the answer's status."""
    with open(path, "rb") as body, _Guard("PUT", url) as guard:
        size = os.fstat(body.fileno()).st_size
        # The upload's body counts as received for the rate the watcher asks for.
        guard.body(size, size, report=False)
        request = urllib.request.Request(
            url, data=body, method="PUT",
            headers={"Content-Length": str(size), "Content-Type": "application/octet-stream"})
        try:
            with _open(request) as answer:
                status = answer.status
        except _NETWORK_ERRORS as error:
            raise _failure("PUT", url, error, guard) from None
        ended = guard.failure()
        if ended is not None:
            raise ended
        return status


def exist(str_list):
    """[remote path, application folder] -> whether the server has the file."""
    url = server_url(argument(str_list, 0, "remote path"))
    return 200 <= http_status(url) < 300


def update(str_list):
    """[current revision, latest revision, server package folder, application folder] -> text.

    Downloads the package of the latest revision into the update folder of
    the application folder and says where it was stored.
    """
    latest = argument(str_list, 1, "latest revision")
    package_folder = argument(str_list, 2, "server package folder")
    app_folder = argument(str_list, 3, "application folder")
    if not latest or latest.startswith(".") or not all(c.isalnum() or c in "._-" for c in latest):
        raise ValueError("revision %r is not a plain name" % latest)
    name = latest + ".zip"
    target = os.path.join(app_folder, "update", name)
    http_download(server_url(package_folder + name), target)
    return "The package is stored in %s" % target


# ---------------------------------------------------------------------------
# Log upkeep and system facts
# ---------------------------------------------------------------------------

LOG_KEEP = 1 << 20  # bytes of the newest log lines that survive a clean-up


def _trim_log(path, keep):
    """Cuts the log at `path` down to its newest `keep` bytes at a line start."""
    with open(path, "rb") as log:
        size = os.fstat(log.fileno()).st_size
        if size <= keep:
            return
        # Two bytes more than kept, so that a line starting right at the
        # border is seen to start there and is kept.
        log.seek(size - keep - 2)
        window = log.read(keep + 2)
        # A line ends with "\r\n"; fall back to "\n" for lines written by hand.
        for end in (b"\r\n", b"\n"):
            cut = window.find(end, 2 - len(end))
            if cut >= 0:
                tail = window[cut + len(end):]
                break
        else:
            tail = b""  # one line longer than the budget: nothing worth keeping
        out, temp = _open_beside(path)
        try:
            with out:
                out.write(tail)
                # Lines the program appended while we copied go along too.
                log.seek(size)
                while True:
                    more = log.read(_CHUNK)
                    if not more:
                        break
                    out.write(more)
            os.replace(temp, path)
        except BaseException:
            _remove_quietly(temp)
            raise


def clean(str_list, type, is_release):
    """[application folder, debug log path]: keeps the debug log within LOG_KEEP bytes and
    drops partial downloads that an interrupted update left behind.

    `type` and `is_release` are part of the call; the clean-up is the same for all.
    """
    app_folder = argument(str_list, 0, "application folder")
    log_path = argument(str_list, 1, "debug log path")
    if os.path.isfile(log_path):
        _trim_log(log_path, LOG_KEEP)
    update_folder = os.path.join(app_folder, "update")
    if os.path.isdir(update_folder):
        for name in os.listdir(update_folder):
            if name.startswith(".") and name.endswith(".part"):
                _remove_quietly(os.path.join(update_folder, name))


def _meminfo():
    facts = {}
    try:
        with open("/proc/meminfo", encoding="ascii") as info:
            for line in info:
                key, _, rest = line.partition(":")
                fields = rest.split()
                if key in ("MemTotal", "MemAvailable") and fields and fields[0].isdigit():
                    facts[key] = int(fields[0]) * 1024  # the file counts kB
    except OSError:
        pass
    return facts


def place(str_list, is_online):
    """[debug log path] -> facts about this computer, str -> str; "core" is the processor count."""
    facts = {
        "core": str(os.cpu_count() or 1),
        "system": platform.system(),
        "release": platform.release(),
        "machine": platform.machine(),
        "python": platform.python_version(),
        "online": "true" if is_online else "false",
    }
    memory = _meminfo()
    if "MemTotal" in memory:
        facts["memory_total"] = str(memory["MemTotal"])
    if "MemAvailable" in memory:
        facts["memory_available"] = str(memory["MemAvailable"])
    return facts


# ---------------------------------------------------------------------------
# Archives
# ---------------------------------------------------------------------------

UNZIP_LIMIT = 512 << 20  # total bytes an archive may unpack to
UNZIP_MEMBERS = 100000


def _member_parts(name):
    """Path components of an archive member, or None when it could leave the target folder."""
    unified = name.replace("\\", "/")
    if unified.startswith("/") or (len(unified) > 1 and unified[1] == ":"):
        return None
    parts = [part for part in unified.split("/") if part not in ("", ".")]
    if not parts or ".." in parts:
        return None
    return parts


def _check_archive(archive, members):
    if len(members) > UNZIP_MEMBERS:
        raise ValueError("archive %s: %d members, at most %d allowed"
                         % (archive, len(members), UNZIP_MEMBERS))
    total = 0
    for info in members:
        if _member_parts(info.filename) is None:
            raise ValueError("archive %s: member %r would land outside the target folder"
                             % (archive, info.filename))
        if stat.S_ISLNK(info.external_attr >> 16):
            raise ValueError("archive %s: member %r is a symbolic link" % (archive, info.filename))
        total += info.file_size
    if total > UNZIP_LIMIT:
        raise ValueError("archive %s: unpacks to %d bytes, at most %d allowed"
                         % (archive, total, UNZIP_LIMIT))


def _damage(error):
    return str(error) or type(error).__name__


def _member_chunks(archive, zipped, info):
    """Yields the unpacked bytes of one member.

    Each decompressor fails in its own way on damaged data (zlib.error,
    lzma.LZMAError, OSError from bz2, NotImplementedError, EOFError ...);
    all of them mean that the archive is damaged and become one ValueError.
    """
    try:
        with zipped.open(info) as source:
            while True:
                chunk = source.read(_CHUNK)
                if not chunk:
                    return
                yield chunk
    except Exception as error:
        raise ValueError("archive %s: member %r is damaged: %s"
                         % (archive, info.filename, _damage(error))) from None


def _extract(archive, zipped, members, into):
    """Writes every member under the folder `into`, never past UNZIP_LIMIT bytes in all."""
    root = os.path.realpath(into)
    written = 0
    for info in members:
        target = os.path.join(root, *_member_parts(info.filename))
        if os.path.commonpath([root, os.path.realpath(target)]) != root:
            raise ValueError("archive %s: member %r resolves outside the target folder"
                             % (archive, info.filename))
        if info.is_dir():
            os.makedirs(target, exist_ok=True)
            continue
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as out:
            for chunk in _member_chunks(archive, zipped, info):
                written += len(chunk)
                if written > UNZIP_LIMIT:
                    raise ValueError("archive %s: unpacks to more than %d bytes"
                                     % (archive, UNZIP_LIMIT))
                out.write(chunk)


def _put_in_place(source, target):
    """Moves `source` to `target`, replacing what was there only once the move succeeded."""
    old = None
    if os.path.lexists(target):
        old = "%s.%s.old" % (target, secrets.token_hex(4))
        os.rename(target, old)
    try:
        os.rename(source, target)
    except BaseException:
        if old is not None:
            os.rename(old, target)
        raise
    if old is not None:
        if os.path.isdir(old) and not os.path.islink(old):
            shutil.rmtree(old, ignore_errors=True)
        else:
            _remove_quietly(old)


def unzip(str_list):
    """[archive path]: unpacks "x.zip" beside itself, so that its contents appear as "x"
    (a folder) or "x.ext" (a single file).

    The archive is checked whole before a byte is written and unpacked into a
    temporary folder first, so a refused or broken archive leaves nothing behind.
    A refused or damaged archive raises ValueError naming it; a missing one
    FileNotFoundError; failures to write beside it stay OSError.
    """
    archive = argument(str_list, 0, "archive path")
    folder, base = os.path.split(os.path.abspath(archive))
    if not base.lower().endswith(".zip") or len(base) == 4:
        raise ValueError("archive %s: the name must end with .zip" % archive)
    stem = base[:-4]
    if not os.path.isfile(archive):
        raise FileNotFoundError(2, "archive not found", archive)
    try:
        zipped = zipfile.ZipFile(archive)
    except Exception as error:  # a directory that cannot be read, whatever the reason
        raise ValueError("archive %s: %s" % (archive, _damage(error))) from None
    with zipped:
        members = [info for info in zipped.infolist()
                   if not info.filename.replace("\\", "/").startswith("__MACOSX/")]
        _check_archive(archive, members)
        work = os.path.join(folder, ".%s.%s.unzip" % (stem, secrets.token_hex(4)))
        os.mkdir(work)
        try:
            _extract(archive, zipped, members, work)
            tops = os.listdir(work)
            named = [top for top in tops
                     if top == stem or (top.startswith(stem + ".") and top != base)]
            if tops and len(named) == len(tops):
                for top in tops:
                    _put_in_place(os.path.join(work, top), os.path.join(folder, top))
            else:
                # Loose members: the folder named after the archive holds them.
                _put_in_place(work, os.path.join(folder, stem))
                work = None
        finally:
            if work is not None:
                shutil.rmtree(work, ignore_errors=True)


# ---------------------------------------------------------------------------
# Particle cache files
# ---------------------------------------------------------------------------
#
# One file per frame: a 356-byte header, fixed-size particle records and a
# short footer, all little-endian and packed.  Kavrin reads versions 7 to 13
# and writes a frame in the version its set point's header names (9 for the
# scenes it generates).

MAGIC = 0x00FABADA
WRITE_VERSION = 9
FOOTER = struct.pack("<iH", 0, 0)  # no extra data channels
FLUID_TYPE_PRESSURE = -2147483646  # the per-particle value travels in "pressure"

# code, name, version, scene scale, fluid type, elapsed time, frame, fps,
# particle count, radius, then six float triples (pressure, speed and
# temperature statistics; emitter position, rotation and scale).
HEADER = struct.Struct("<i250shfifiiif18f")

_TRIPLES = (("pressure", ("max", "min", "ave")), ("speed", ("max", "min", "ave")),
            ("temperature", ("max", "min", "ave")), ("emitter_position", ("x", "y", "z")),
            ("emitter_rotation", ("x", "y", "z")), ("emitter_scale", ("x", "y", "z")))


class _Layout:
    """How the records of one group of file versions are laid out."""

    def __init__(self, full, sparse, zero_spans, id_offset, vorticity):
        self.full = struct.Struct(full)
        # Position, pressure, mass and id only, for files whose other fields
        # are all zero bytes (as Kavrin writes them).
        self.sparse = struct.Struct(sparse)
        self.zero_spans = zero_spans
        self.id_offset = id_offset
        self.vorticity = vorticity
        self.size = self.full.size
        assert self.sparse.size == self.size


# Records of versions 9-11: position, velocity, force, vorticity, normal
# (15 floats), neighbours (int32), texture u v w, info bits (int16), elapsed
# particle time, isolation time, viscosity, density, pressure, mass,
# temperature (7 floats), id (int32).  Versions 12 and 13 widen the id to
# 64 bits; versions 7 and 8 have no vorticity.
_NARROW = _Layout("<15fi3fh7fi", "<3f82xff4xi", ((12, 94), (102, 106)), 106, True)
_WIDE = _Layout("<15fi3fh7fQ", "<3f82xff4xQ", ((12, 94), (102, 106)), 106, True)
_OLD = _Layout("<12fi3fh7fi", "<3f70xff4xi", ((12, 82), (90, 94)), 94, False)
LAYOUTS = {7: _OLD, 8: _OLD, 9: _NARROW, 10: _NARROW, 11: _NARROW, 12: _WIDE, 13: _WIDE}
INT32_MAX = 2 ** 31 - 1

_ZERO = 0.0
_ZERO3 = (0.0, 0.0, 0.0)
# Particle dicts start as copies of this template: cloning a dict with the
# right keys is much cheaper than inserting fifteen keys one by one.
_PARTICLE = {"pos": None, "pressure": _ZERO, "texture_vector": None, "velocity": None,
             "force": None, "vorticity": None, "normal_vector": None, "neighbors": _ZERO,
             "info_bits": _ZERO, "elapsed_particle_time": _ZERO, "isolation_time": _ZERO,
             "viscosity": _ZERO, "density": _ZERO, "mass": _ZERO, "temperature": _ZERO}
_XYZ = {"x": _ZERO, "y": _ZERO, "z": _ZERO}
_UVW = {"u": _ZERO, "v": _ZERO, "w": _ZERO}


class _GcPaused:
    """Keeps the cycle collector still while a frame's dicts are built.

    Tens of thousands of new containers would otherwise start many
    collections that find nothing, since the new dicts hold no cycles.
    """

    def __enter__(self):
        self.was_enabled = gc.isenabled()
        gc.disable()

    def __exit__(self, *exc):
        if self.was_enabled:
            gc.enable()


def _cache_path(str_list):
    path = argument(str_list, 1, "cache file path")
    if not path:
        raise ValueError("no cache file path given")
    return path


def _build_sparse(records):
    """Particle dicts from (x, y, z, pressure, mass, id) tuples; every other field is 0.

    The first record of an id wins; later ones with the same id are dropped.
    """
    particles = {}
    new_particle = _PARTICLE.copy
    new_xyz = _XYZ.copy
    for x, y, z, pressure, mass, pid in records:
        if pid in particles:
            continue
        p = new_particle()
        p["pos"] = {"x": x, "y": y, "z": z}
        p["pressure"] = pressure
        p["texture_vector"] = _UVW.copy()
        p["velocity"] = new_xyz()
        p["force"] = new_xyz()
        p["vorticity"] = new_xyz()
        p["normal_vector"] = new_xyz()
        p["mass"] = mass
        particles[pid] = p
    return particles


def _build_full(records):
    """Particle dicts from complete records in the field order of versions 9 to 13; the first
    record of an id wins."""
    particles = {}
    new_particle = _PARTICLE.copy
    for (px, py, pz, vx, vy, vz, fx, fy, fz, ox, oy, oz, nx, ny, nz, neighbors, tu, tv, tw,
         info_bits, elapsed, isolation, viscosity, density, pressure, mass, temperature,
         pid) in records:
        if pid in particles:
            continue
        p = new_particle()
        p["pos"] = {"x": px, "y": py, "z": pz}
        p["pressure"] = pressure
        p["texture_vector"] = {"u": tu, "v": tv, "w": tw}
        p["velocity"] = {"x": vx, "y": vy, "z": vz}
        p["force"] = {"x": fx, "y": fy, "z": fz}
        p["vorticity"] = {"x": ox, "y": oy, "z": oz}
        p["normal_vector"] = {"x": nx, "y": ny, "z": nz}
        p["neighbors"] = neighbors + 0.0
        p["info_bits"] = info_bits + 0.0
        p["elapsed_particle_time"] = elapsed
        p["isolation_time"] = isolation
        p["viscosity"] = viscosity
        p["density"] = density
        p["mass"] = mass
        p["temperature"] = temperature
        particles[pid] = p
    return particles


def _only_zero_bytes(body, layout, count):
    """Whether every byte of the layout's zero spans is 0 in all `count` records."""
    zeros = bytes(count)
    size = layout.size
    return all(body[offset::size] == zeros
               for start, end in layout.zero_spans for offset in range(start, end))


def _read_checked(path):
    """Reads and checks a cache file; returns (header fields, layout, record bytes)."""
    def refuse(check):
        raise ValueError("cache file %s: %s" % (path, check))

    with open(path, "rb") as cache:
        head = cache.read(HEADER.size)
        if len(head) < HEADER.size:
            refuse("truncated: %d header bytes needed, %d found" % (HEADER.size, len(head)))
        fields = HEADER.unpack(head)
        code, version, count = fields[0], fields[2], fields[8]
        if code != MAGIC:
            refuse("bad verification code 0x%08X, 0x%08X expected" % (code & 0xFFFFFFFF, MAGIC))
        layout = LAYOUTS.get(version)
        if layout is None:
            refuse("unsupported version %d (versions %d to %d are read)"
                   % (version, min(LAYOUTS), max(LAYOUTS)))
        if count < 0:
            refuse("negative particle count %d" % count)
        found = os.fstat(cache.fileno()).st_size
        needed = HEADER.size + count * layout.size
        if found < needed:
            refuse("truncated: %d + %d x %d bytes needed, %d found"
                   % (HEADER.size, count, layout.size, found))
        body = cache.read(count * layout.size)
        if len(body) < count * layout.size:
            refuse("truncated while reading: %d record bytes needed, %d found"
                   % (count * layout.size, len(body)))
    if layout is _WIDE:
        ids = struct.Struct("<Q")
        for index in range(count):
            pid = ids.unpack_from(body, index * layout.size + layout.id_offset)[0]
            if pid > INT32_MAX:
                refuse("particle id %d of record %d does not fit in 32 bits" % (pid, index))
    return fields, layout, body


def _header_dict(fields):
    (code, name, version, scale_scene, fluid_type, elapsed, frame, fps, count, radius) = fields[:10]
    header = {"code": code, "version": version, "fps": fps,
              "name": name.partition(b"\0")[0].decode("utf-8", "replace"),
              "particles": count, "fluid_type": fluid_type}
    stats = fields[10:]
    triples = {}
    for index, (key, names) in enumerate(_TRIPLES):
        a, b, c = stats[3 * index:3 * index + 3]
        triples[key] = {names[0]: a, names[1]: b, names[2]: c}
    for key in ("emitter_position", "emitter_rotation", "emitter_scale",
                "pressure", "speed", "temperature"):
        header[key] = triples[key]
    header["frame_number"] = float(frame)
    header["scale_scene"] = scale_scene
    header["elapsed_simulation_time"] = elapsed
    header["radius"] = radius
    return header


def import_bin(str_list):
    """[script folder, cache file path] -> the set point stored in the file.

    The file is checked whole (code, version, count, size, ids) before any
    particle is built; a file that fails a check raises ValueError naming
    the file and the check.  The header's "particles" is the file's record
    count; the "particle" dict holds the first record of each id, so it is
    shorter by the number of records whose id repeats an earlier one.
    """
    path = _cache_path(str_list)
    fields, layout, body = _read_checked(path)
    count = fields[8]
    with _GcPaused():
        if _only_zero_bytes(body, layout, count):
            particles = _build_sparse(layout.sparse.iter_unpack(body))
        elif layout.vorticity:
            particles = _build_full(layout.full.iter_unpack(body))
        else:
            # Old records lack the vorticity; it reads as zero.
            particles = _build_full(r[:9] + _ZERO3 + r[9:] for r in layout.full.iter_unpack(body))
    return {"header": _header_dict(fields), "particle": particles, "footer": {}}


def _layout_of(header):
    version = int(header.get("version", WRITE_VERSION))
    layout = LAYOUTS.get(version)
    if layout is None:
        raise ValueError("version %d cannot be written (versions %d to %d are)"
                         % (version, min(LAYOUTS), max(LAYOUTS)))
    return version, layout


def _pack_header(header, count):
    get = header.get
    version, _ = _layout_of(header)
    stats = []
    for key, names in _TRIPLES:
        triple = get(key) or {}
        stats.extend(triple.get(name, 0.0) for name in names)
    name = str(get("name", "")).encode("utf-8")[:250]
    name = name.decode("utf-8", "ignore").encode("utf-8")  # no half character at the cut
    return HEADER.pack(MAGIC, name, version, get("scale_scene", 0.0),
                       int(get("fluid_type", FLUID_TYPE_PRESSURE)),
                       get("elapsed_simulation_time", 0.0), int(get("frame_number", 0.0)),
                       int(get("fps", 30)), count, get("radius", 0.0), *stats)


def _pack_records(particles, layout=_NARROW):
    """All particle records in one buffer, in the dict's order, laid out as `layout`."""
    size = layout.size
    buffer = bytearray(size * len(particles))
    pack_into = layout.full.pack_into
    offset = 0
    for pid, p in particles.items():
        pos = p["pos"]
        vel = p["velocity"]
        force = p["force"]
        normal = p["normal_vector"]
        tex = p["texture_vector"]
        if layout.vorticity:
            vort = p["vorticity"]
            vorticity = (vort["x"], vort["y"], vort["z"])
        else:
            vorticity = ()
        pack_into(buffer, offset,
                  pos["x"], pos["y"], pos["z"], vel["x"], vel["y"], vel["z"],
                  force["x"], force["y"], force["z"], *vorticity,
                  normal["x"], normal["y"], normal["z"], int(p["neighbors"]),
                  tex["u"], tex["v"], tex["w"], int(p["info_bits"]),
                  p["elapsed_particle_time"], p["isolation_time"], p["viscosity"],
                  p["density"], p["pressure"], p["mass"], p["temperature"], pid)
        offset += size
    return buffer


def _find_bad_particle(particles, layout):
    """Packs particle by particle to name the first one that cannot be written."""
    for pid in particles:
        try:
            _pack_records({pid: particles[pid]}, layout)
        except KeyError as error:
            return "particle %r: missing key %s" % (pid, error)
        except (TypeError, ValueError, OverflowError, struct.error) as error:
            return "particle %r: %s" % (pid, error)
    return None


def export_bin(str_list, set_point):
    """[script folder, cache file path], set point: writes the set point as a file of the
    version its header names (9 when it names none).

    The header's particle count is the number of particles actually written.
    The file appears complete or not at all.
    """
    path = _cache_path(str_list)
    layout = _NARROW
    try:
        particles = set_point["particle"]
        header = set_point.get("header") or {}
        _, layout = _layout_of(header)
        count = len(particles)
        records = _pack_records(particles, layout)
        head = _pack_header(header, count)
    except (AttributeError, KeyError, TypeError, ValueError, OverflowError, struct.error) as error:
        why = None
        if isinstance(set_point, dict) and isinstance(set_point.get("particle"), dict):
            why = _find_bad_particle(set_point["particle"], layout)
        raise ValueError("cache file %s: cannot write the set point: %s"
                         % (path, why or "%s: %s" % (type(error).__name__, error))) from None
    _write_atomic(path, (head, records, FOOTER))
