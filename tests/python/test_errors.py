"""The component's messages and HRESULTs as Python exceptions, warnings and last_error()."""

import pickle
import threading
import warnings

import numpy as np
import pytest

import orvane
from conftest import created

E_FAIL, E_INVALIDARG, E_OUTOFMEMORY = 0x80004005, 0x80070057, 0x8007000E
NOT_ALLOCATED = "Object not allocated. Please invoke 'create_orvane()'."
MODE_LOCKED = "Object is already initialized. To use a different mode you must create a new one."
FRAME = np.zeros((12, 20), np.float32)


def stale():
    o = created()
    o.lines = o.lines  # writing the same value still marks the settings as changed
    return o


def put(name, value):
    return lambda o: setattr(o, name, value)


# (what the row pins, object factory, failing action, exception class, HRESULT, exact message)
MESSAGE_TABLE = [
    ("lines 0", orvane.CoOrvane, put("lines", 0), orvane.InvalidArgumentError, E_INVALIDARG,
     "Number of lines must be a positive integer"),
    ("lines -1", orvane.CoOrvane, put("lines", -1), orvane.InvalidArgumentError, E_INVALIDARG,
     "Number of lines must be a positive integer"),
    ("columns 6", orvane.CoOrvane, put("columns", 6), orvane.InvalidArgumentError, E_INVALIDARG,
     "Number of image columns must be a positive integer multiple of 4."),
    ("columns -4", orvane.CoOrvane, put("columns", -4), orvane.InvalidArgumentError,
     E_INVALIDARG, "Number of image columns must be a positive integer multiple of 4."),
    ("time mode while running", created, put("timederivative_mode", "batch"),
     orvane.OrvaneError, E_FAIL, MODE_LOCKED),
    ("same time mode while running", created, put("timederivative_mode", "recursive"),
     orvane.OrvaneError, E_FAIL, MODE_LOCKED),
    ("computation mode while running", created, put("computation_mode", "orvane"),
     orvane.OrvaneError, E_FAIL, MODE_LOCKED),
    ("mode with a capital", orvane.CoOrvane, put("computation_mode", "Orvane"),
     orvane.OrvaneError, E_FAIL, "Invalid Mode"),
    ("empty mode", orvane.CoOrvane, put("timederivative_mode", ""), orvane.OrvaneError, E_FAIL,
     "Invalid Mode"),
    ("None as mode", orvane.CoOrvane, put("computation_mode", None), orvane.OrvaneError, E_FAIL,
     "Invalid Mode"),
    ("second create", created, lambda o: o.create_orvane(), orvane.OrvaneError, E_FAIL,
     "Object already initialized"),
    ("frame before create", orvane.CoOrvane, lambda o: o.process_data(FRAME),
     orvane.OrvaneError, E_FAIL, NOT_ALLOCATED),
    ("frame after a geometry write", stale, lambda o: o.process_data(FRAME), orvane.OrvaneError,
     E_FAIL, "Critical properties have changed. Object must be re-created."),
    ("image after a geometry write", stale, lambda o: o.Un, orvane.OrvaneError, E_FAIL,
     "Critical properties have changed. Object must be re-created."),
    ("None as frame", created, lambda o: o.process_data(None), orvane.InvalidArgumentError,
     E_INVALIDARG, "Invalid Input Argument"),
    ("float64 frame", created, lambda o: o.process_data(FRAME.astype(np.float64)),
     orvane.InvalidArgumentError, E_INVALIDARG, "Invalid Data Type"),
    ("3-D frame", created, lambda o: o.process_data(FRAME[None]), orvane.InvalidArgumentError,
     E_INVALIDARG, "Invalid Matrix Dimension"),
    ("transposed frame", created, lambda o: o.process_data(FRAME.T.copy()),
     orvane.InvalidArgumentError, E_INVALIDARG, "Incompatible Image Size"),
    ("history index 5", created, lambda o: o.imgbuffer(5), orvane.InvalidArgumentError,
     E_INVALIDARG, "Image index must be between 0 and 4."),
    ("history index -1", created, lambda o: o.imgdebug(-1), orvane.InvalidArgumentError,
     E_INVALIDARG, "Image index must be between 0 and 4."),
]
# Every image getter refuses without an engine.
MESSAGE_TABLE += [
    (f"{name} before create", orvane.CoOrvane, (lambda n: lambda o: getattr(o, n))(name),
     orvane.OrvaneError, E_FAIL, NOT_ALLOCATED)
    for name in ["Is", "It", "It2", "Ix", "Iy", "Fn2", "Un", "Vn", "Ix2", "Iy2", "Ig2", "Ixy",
                 "Ixt", "Iyt"]
] + [
    (f"{name}(0) before create", orvane.CoOrvane, (lambda n: lambda o: getattr(o, n)(0))(name),
     orvane.OrvaneError, E_FAIL, NOT_ALLOCATED)
    for name in ["imgbuffer", "imgdebug"]
]


@pytest.mark.parametrize("case, make, action, error, hresult, message", MESSAGE_TABLE,
                         ids=[row[0] for row in MESSAGE_TABLE])
def test_message_table(case, make, action, error, hresult, message):
    o = make()
    before = repr(o)
    with pytest.raises(error) as caught:
        action(o)
    e = caught.value
    assert type(e) is error, case
    assert (e.hresult, e.message, str(e)) == (hresult, message, message)
    assert orvane.last_error() == message
    assert repr(o) == before, "a failing call must leave the object as it was"


def test_exception_hierarchy():
    assert issubclass(orvane.InvalidArgumentError, orvane.OrvaneError)
    assert issubclass(orvane.InvalidArgumentError, ValueError)
    assert issubclass(orvane.OutOfMemoryError, orvane.OrvaneError)
    assert issubclass(orvane.OutOfMemoryError, MemoryError)
    e = pickle.loads(pickle.dumps(orvane.InvalidArgumentError("Invalid Data Type", E_INVALIDARG)))
    assert (type(e), e.message, e.hresult) == (orvane.InvalidArgumentError, "Invalid Data Type",
                                               E_INVALIDARG)


def test_engine_that_cannot_be_allocated_raises_memory_error_and_stays_idle():
    o = orvane.CoOrvane()
    o.lines, o.columns = 2**30, 2**30  # far more than any address space
    with pytest.raises(MemoryError) as caught:
        o.create_orvane()
    assert isinstance(caught.value, orvane.OutOfMemoryError)
    assert caught.value.hresult == E_OUTOFMEMORY
    assert "state=idle" in repr(o)
    o.lines, o.columns = 4, 4
    o.create_orvane()  # the object is still usable
    o.process_data(np.ones((4, 4), np.float32))


def test_destroy_without_engine_warns_and_returns():
    o = orvane.CoOrvane()
    with pytest.warns(RuntimeWarning, match="^Object is not created$"):
        assert o.destroy_orvane() is None
    assert orvane.last_error() == "Object is not created"
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        created().destroy_orvane()  # with an engine: no warning


def test_last_error_survives_successes_and_is_per_thread():
    o = orvane.CoOrvane()
    with pytest.raises(orvane.OrvaneError):
        o.computation_mode = "fast"
    o.computation_mode = "orvane"  # a success does not clear the record
    assert orvane.last_error() == "Invalid Mode"

    seen = []
    thread = threading.Thread(target=lambda: seen.append(orvane.last_error()))
    thread.start()
    thread.join()
    assert seen == [None]


def test_a_recreated_object_accepts_frames_again():
    o = stale()
    o.destroy_orvane()
    o.create_orvane()
    o.process_data(FRAME)
