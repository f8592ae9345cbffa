"""Kavrin scenes from Python.

Open a particle cache folder as a scene, read its frames, apply strokes (propagated to the
neighbouring frames as in the window), undo them, replay a stroke log and save the result as a
new cache folder with its stroke log beside it::

    import kavrin
    scene = kavrin.Scene("shots/fountain")
    print(scene.frames())
"""

import functools as _functools
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


def _plainly(name, call):
    """call, with Boost.Python's ArgumentError (which lists C++ signatures) raised as a
    TypeError that names the method and the types it was given."""

    @_functools.wraps(call)
    def checked(*args, **kwargs):
        try:
            return call(*args, **kwargs)
        except TypeError as error:
            if type(error).__name__ != "ArgumentError":
                raise
            given = ", ".join([type(a).__name__ for a in args[1:]] +
                              ["%s=%s" % (k, type(v).__name__) for k, v in kwargs.items()])
            raise TypeError("Scene.%s does not take (%s): see help(kavrin.Scene.%s)"
                            % (name, given, name)) from None

    return checked


for _name, _member in list(vars(Scene).items()):
    if isinstance(_member, staticmethod):
        setattr(Scene, _name, staticmethod(_plainly(_name, _member.__func__)))
    elif callable(_member) and _name != "__reduce__":
        setattr(Scene, _name, _plainly(_name, _member))


def open(folder, threads=0):
    """The scene of a cache folder: the same as Scene(folder, threads)."""
    return Scene(folder, threads)
