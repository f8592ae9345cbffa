"""File transfers between Kavrin's folders and its download server.

This module lives beside the executable; the transfer helpers and the server
settings it uses are those of shared_lib in resource/python/ below it.
"""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT_FOLDER = os.path.join(HERE, "resource", "python")
SERVER_SETTINGS = os.path.join(SCRIPT_FOLDER, "server.ini")

if os.path.isdir(SCRIPT_FOLDER) and SCRIPT_FOLDER not in sys.path:
    sys.path.append(SCRIPT_FOLDER)

import shared_lib  # noqa: E402  (found through the folder added above)


def _lib():
    """The script library as the program last loaded it: the program watches transfers (and
    may reload the library) through that module object, not through an older copy."""
    return sys.modules.get("shared_lib") or shared_lib


def _url(remote):
    return _lib().server_url(remote, SERVER_SETTINGS)


def get_put(str_list, type):
    """[remote path, local path]; type True downloads remote -> local, False uploads
    local -> remote.  Returns True; a failure raises with the URL in its message."""
    lib = _lib()
    remote = lib.argument(str_list, 0, "remote path")
    local = lib.argument(str_list, 1, "local path")
    if not local:
        raise ValueError("no local path given")
    url = _url(remote)
    if type:
        lib.http_download(url, local)
        return True
    status = lib.http_upload(local, url)
    if not 200 <= status < 300:
        raise lib.TransferError("PUT %s: HTTP %d" % (url, status))
    return True


def sync(str_list):
    """[local path, "None", server revision folder]: downloads the file of the same name
    from the revision folder to the local path.  Returns True."""
    lib = _lib()
    local = lib.argument(str_list, 0, "local path")
    folder = lib.argument(str_list, 2, "server revision folder")
    name = os.path.basename(local)
    if not name:
        raise ValueError("local path %r names no file" % local)
    if folder and not folder.endswith("/"):
        folder += "/"
    lib.http_download(_url(folder + name), local)
    return True
