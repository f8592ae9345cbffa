"""Kavrin scenes from Python.

Open a particle cache folder as a scene, read its frames, apply strokes (propagated to the
neighbouring frames as in the window), undo them, replay a stroke log and save the result as a
new cache folder with its stroke log beside it::

    import kavrin
    scene = kavrin.Scene("shots/fountain")
    print(scene.frames())
"""

import os as _os

from . import _kavrin
from ._kavrin import Error, Scene, __version__

__all__ = ["Error", "Scene", "open", "__version__"]

# The script library that reads and writes cache files ships inside the package.
_kavrin._set_script_folder(_os.path.join(_os.path.dirname(_os.path.abspath(__file__)), "scripts"))


def _json_value(value):
    """numpy scalars and arrays as the plain numbers and lists json writes."""
    if hasattr(value, "tolist"):
        return value.tolist()
    raise TypeError("%s is not a number or a list of numbers" % type(value).__name__)


_kavrin._set_json_default(_json_value)


def open(folder, threads=0):
    """The scene of a cache folder: the same as Scene(folder, threads)."""
    return Scene(folder, threads)
