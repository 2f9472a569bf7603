"""Arrays in and out: the dtype/shape/layout matrix, zero-copy input, owned result arrays, and
no leaks over many calls."""

import gc
import os
import sys
import tracemalloc

import numpy as np
import pytest

import orvane
from conftest import created

LINES, COLUMNS = 6, 8
VALUES = np.arange(LINES * COLUMNS, dtype=np.float32).reshape(LINES, COLUMNS) * 0.5 - 3


def big_endian(a):
    return a.astype(">f4")


def unaligned(a):
    raw = np.zeros(a.nbytes + 1, np.uint8)
    view = np.frombuffer(raw.data, dtype=np.float32, count=a.size, offset=1).reshape(a.shape)
    view[...] = a
    return view


def read_only(a):
    a = a.copy()
    a.flags.writeable = False
    return a


# Every frame here holds VALUES as NumPy indexes it; the layouts differ.
# (case, frame, read in place without a copy)
ACCEPTED = [
    ("C order", lambda: VALUES.copy(), True),
    ("read-only", lambda: read_only(VALUES), True),
    ("rows of a taller array", lambda: np.vstack([VALUES, VALUES])[:LINES], True),
    ("Fortran order", lambda: np.asfortranarray(VALUES), False),
    ("every other column", lambda: np.repeat(VALUES, 2, axis=1)[:, ::2], False),
    ("rows reversed twice", lambda: VALUES[::-1].copy()[::-1], False),
    ("big-endian float32", lambda: big_endian(VALUES), False),
    ("unaligned", lambda: unaligned(VALUES), False),
]


@pytest.mark.parametrize("case, make, in_place", ACCEPTED, ids=[c[0] for c in ACCEPTED])
def test_float32_frames_in_any_layout_are_read_as_numpy_sees_them(case, make, in_place):
    o = created(LINES, COLUMNS)
    frame = make()
    o.process_data(frame)
    np.testing.assert_array_equal(o.Is, VALUES, err_msg=case)
    assert (orvane._last_input_address() == frame.ctypes.data) == in_place


def test_square_frames_are_read_in_numpy_index_order_whatever_the_strides():
    square = np.arange(64, dtype=np.float32).reshape(8, 8)
    o = created(8, 8)
    o.process_data(square.T)  # passes the size check in both orientations
    np.testing.assert_array_equal(o.Is, square.T)


def test_contiguous_frame_is_read_from_the_callers_memory():
    # The component sees the address of the caller's element block, and what it stores is what
    # lies there: rows 2..7 of a larger buffer, not a copy of them.
    buffer = np.random.default_rng(3).random((10, COLUMNS), dtype=np.float32)
    window = buffer[2:2 + LINES]
    o = created(LINES, COLUMNS)
    o.process_data(window)
    assert orvane._last_input_address() == buffer.ctypes.data + 2 * COLUMNS * 4
    np.testing.assert_array_equal(o.Is, buffer[2:2 + LINES])


# (case, argument, message); the component's own checks answer, never a dtype conversion.
REFUSED = [
    ("float64", VALUES.astype(np.float64), "Invalid Data Type"),
    ("int32", VALUES.astype(np.int32), "Invalid Data Type"),
    ("uint8", VALUES.astype(np.uint8), "Invalid Data Type"),
    ("int16 Fortran", np.asfortranarray(VALUES.astype(np.int16)), "Invalid Data Type"),
    ("int64", VALUES.astype(np.int64), "Invalid Data Type"),
    ("float16", VALUES.astype(np.float16), "Invalid Data Type"),
    ("bool", VALUES > 0, "Invalid Data Type"),
    ("complex64", VALUES.astype(np.complex64), "Invalid Data Type"),
    ("object", VALUES.astype(object), "Invalid Data Type"),
    ("float64 3-D", VALUES[None].astype(np.float64), "Invalid Data Type"),  # type before dims
    ("float32 3-D", VALUES[None], "Invalid Matrix Dimension"),
    ("float32 1-D", VALUES.ravel(), "Invalid Matrix Dimension"),
    ("float32 4-D strided", np.zeros((2, LINES, COLUMNS, 2), np.float32)[..., 0],
     "Invalid Matrix Dimension"),
    ("transposed shape", VALUES.T.copy(), "Incompatible Image Size"),
    ("narrower", VALUES[:, :4].copy(), "Incompatible Image Size"),
    ("no lines", np.zeros((0, COLUMNS), np.float32), "Incompatible Image Size"),
    ("Python float", 1.0, "Invalid Input Argument"),
    ("NumPy scalar", np.float32(1), "Invalid Input Argument"),
    ("0-d array", np.array(1, np.float32), "Invalid Input Argument"),
    ("None", None, "Invalid Input Argument"),
    ("nested list", VALUES.tolist(), "Invalid Input Argument"),
    ("bytes", VALUES.tobytes(), "Invalid Input Argument"),
]


@pytest.mark.parametrize("case, argument, message", REFUSED, ids=[c[0] for c in REFUSED])
def test_other_arguments_get_the_components_answer(case, argument, message):
    o = created(LINES, COLUMNS)
    with pytest.raises(orvane.InvalidArgumentError) as caught:
        o.process_data(argument)
    assert caught.value.message == message, case
    assert repr(o).endswith("frames=0>"), "a refused frame is not counted"


@pytest.mark.parametrize("name, shape", [("Un", (LINES, COLUMNS)), ("Is", (LINES, COLUMNS)),
                                         ("imgdebug", (LINES, COLUMNS)),
                                         ("imgbuffer", (LINES + 4, COLUMNS + 4))])
def test_result_images_are_new_owned_float32_arrays(name, shape):
    o = created(LINES, COLUMNS)
    o.process_data(VALUES)
    read = (lambda: getattr(o, name)(4)) if name.startswith("img") else (lambda: getattr(o, name))
    first, second = read(), read()
    assert (first.shape, first.dtype, first.flags.c_contiguous) == (shape, np.float32, True)
    assert first.flags.writeable and not np.shares_memory(first, second)
    first[...] = 12345.0  # the caller's own copy: changing it changes nothing else
    np.testing.assert_array_equal(read(), second)


def test_imgbuffer_is_the_bordered_frame():
    o = created(LINES, COLUMNS)
    o.process_data(VALUES)
    np.testing.assert_array_equal(o.imgbuffer(4), np.pad(VALUES, 2, mode="edge"))
    np.testing.assert_array_equal(o.imgbuffer(0), 0)


def test_no_references_or_memory_leak_over_many_calls():
    o = created(LINES, COLUMNS)
    frame, strided = VALUES.copy(), np.asfortranarray(VALUES)
    refs = sys.getrefcount(frame), sys.getrefcount(strided), sys.getrefcount(o)
    live = orvane._live_result_images()

    def many_calls():
        for _ in range(300):
            o.process_data(frame)
            o.process_data(strided)
            un = o.Un
            assert sys.getrefcount(un) == 2  # the name and the call's argument, nothing else
            images = [o.Vn, o.imgbuffer(2), o.imgdebug(1)]
            del images
            with pytest.raises(orvane.InvalidArgumentError):
                o.process_data(frame[None])

    many_calls()  # warm up caches before measuring
    gc.collect()
    tracemalloc.start()
    start = tracemalloc.get_traced_memory()[0]
    many_calls()
    gc.collect()
    grown = tracemalloc.get_traced_memory()[0] - start
    tracemalloc.stop()
    assert grown < 64 * 1024, f"{grown} bytes more after 300 rounds"
    assert (sys.getrefcount(frame), sys.getrefcount(strided), sys.getrefcount(o)) == refs
    assert orvane._live_result_images() == live

    kept = [o.Un for _ in range(5)]
    assert orvane._live_result_images() == live + 5
    del kept
    assert orvane._live_result_images() == live


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_objects_dropped_with_an_engine_release_it():
    frame = np.ones((128, 128), np.float32)

    def hundred_objects():
        for _ in range(100):
            o = created(128, 128)  # about 1.4 MB of engine buffers each
            o.process_data(frame)
            del o  # never destroyed explicitly

    hundred_objects()
    before = resident_bytes()
    hundred_objects()
    hundred_objects()
    grown = resident_bytes() - before
    assert grown < 32 * 2**20, f"{grown / 2**20:.0f} MB kept after 200 dropped objects"
