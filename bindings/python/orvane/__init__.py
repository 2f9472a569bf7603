"""Image motion in grey-level frame streams.

``orvane.CoOrvane`` takes one float32 frame of shape (lines, columns) per ``process_data()``
call and hands back the temporal and spatial derivatives, the flow along the brightness
gradient (Un, Vn, Fn2) and the affine moment images as new NumPy arrays. Failing members raise
``OrvaneError`` (with ``.hresult`` and ``.message``) or one of its subclasses.

Beside the object: ``orvane.flow`` measures motion in whole recordings, and ``orvane.batch``
(imported on first use, as it needs Dask) runs many recordings on a Dask cluster.
"""

from . import _core

# Everything the compiled extension defines is the package's own surface: the class, the
# exceptions, the module functions and the private helpers the tests use. Classes report
# `orvane` as their module, so reprs, tracebacks and pickles name them as users import them.
globals().update({name: value for name, value in vars(_core).items()
                  if not name.startswith("__")})
__version__ = _core.__version__
for _cls in [v for v in vars(_core).values() if isinstance(v, type)]:
    _cls.__module__ = __name__
del _cls

from . import flow  # noqa: E402  (needs the names above)


def __getattr__(name):
    # `orvane.batch` imports Dask; load it only when asked for, so that `import orvane` stays
    # light and `python3 -m orvane.batch` runs the module once.
    if name == "batch":
        import importlib
        return importlib.import_module(".batch", __name__)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
