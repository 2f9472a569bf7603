"""Objects on threads: two objects run at the same time and give the results they give alone;
one object shared by threads is serialised instead of corrupted."""

import re
import sys
import threading

import numpy as np
import pytest

import orvane
from conftest import created, moving_texture

LINES, COLUMNS, FRAMES = 48, 64, 25


def run(o, frames, out):
    for frame in frames:
        o.process_data(frame)
        out.append((o.Un, o.Vn, o.It))


def test_two_objects_on_two_threads_match_their_serial_runs():
    sequences = [moving_texture(LINES, COLUMNS, FRAMES, seed=s, step=st)
                 for s, st in ((1, (0.5, 0.2)), (2, (-0.3, 0.9)))]
    settings = [dict(computation_mode="all"), dict(computation_mode="orvane",
                                                   timederivative_mode="batch", input_filter=1)]
    serial = []
    for frames, s in zip(sequences, settings):
        out = []
        run(created(LINES, COLUMNS, **s), frames, out)
        serial.append(out)

    objects = [created(LINES, COLUMNS, **s) for s in settings]
    outputs = [[], []]
    start = threading.Barrier(2)
    errors = []

    def worker(k):
        try:
            start.wait()
            run(objects[k], sequences[k], outputs[k])
        except BaseException as e:  # reported below, not lost in the thread
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    for k in range(2):
        assert len(outputs[k]) == FRAMES
        for n, (got, want) in enumerate(zip(outputs[k], serial[k])):
            for g, w in zip(got, want):
                np.testing.assert_array_equal(g, w, err_msg=f"object {k}, frame {n + 1}")


def test_one_object_shared_by_threads_counts_every_frame():
    o = created(LINES, COLUMNS)
    frame = moving_texture(LINES, COLUMNS, 1)[0]
    errors = []

    def worker():
        try:
            for _ in range(40):
                o.process_data(frame)
                assert o.Un.shape == (LINES, COLUMNS)
                o.imgbuffer(4)
        except BaseException as e:
            errors.append(e)

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    assert re.search(r"frames=(\d+)>", repr(o)).group(1) == "160"
    np.testing.assert_array_equal(o.Is, frame)


def test_errors_are_reported_to_the_thread_that_made_them():
    messages = {}

    def worker(name, action):
        o = orvane.CoOrvane()
        try:
            action(o)
        except orvane.OrvaneError as e:
            messages[name] = (e.message, orvane.last_error())

    threads = [threading.Thread(target=worker, args=("lines", lambda o: setattr(o, "lines", 0))),
               threading.Thread(target=worker, args=("frame", lambda o: o.process_data(None)))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert messages == {
        "lines": ("Number of lines must be a positive integer",) * 2,
        "frame": ("Object not allocated. Please invoke 'create_orvane()'.",) * 2,
    }


def test_members_release_the_gil():
    # With a very long switch interval the interpreter never takes the GIL from a running
    # thread; it changes hands only where a thread lets go of it. Two threads that append to one
    # log between member calls therefore interleave only if the members release the GIL; if
    # they did not, the log would be one thread's entries followed by the other's.
    # Frames large enough that a call outlasts the waiting thread's wake-up on a busy machine.
    frame = moving_texture(1024, 1024, 1)[0]
    objects = [created(1024, 1024), created(1024, 1024)]
    log = []

    def worker(k):
        for _ in range(8):
            objects[k].process_data(frame)
            log.append(k)
            objects[k].Un
            log.append(k)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(10.0)
    try:
        other = threading.Thread(target=worker, args=(1,))
        other.start()
        worker(0)
        other.join()
    finally:
        sys.setswitchinterval(interval)
    switches = sum(1 for a, b in zip(log, log[1:]) if a != b)
    assert switches > 2, f"the threads took turns only {switches} times"


# ---- band threads of the engine ----------------------------------------------------------------

@pytest.mark.parametrize("settings,images", [
    (dict(computation_mode="all", input_filter=1), ["Is", "It", "Ix", "Iy", "Ixy", "Un", "Vn"]),
    (dict(computation_mode="orvane", timederivative_mode="batch"), ["It", "Ig2", "Fn2", "Un"]),
    (dict(computation_mode="changedetection", input_filter=1), ["Is", "It", "It2"]),
])
def test_engine_threads_give_the_results_of_one(settings, images):
    # 96 lines make three bands of 32 rows: the split is real on two threads.
    frames = moving_texture(96, 64, 7, seed=3)
    results = {}
    try:
        for n in (1, 2):
            orvane.set_engine_threads(n)
            assert orvane.engine_threads() == n
            o = created(96, 64, **settings)
            out = []
            for frame in frames:
                o.process_data(frame)
                out.append([getattr(o, name) for name in images])
            results[n] = out
    finally:
        orvane.set_engine_threads(1)
    for m, (one, two) in enumerate(zip(results[1], results[2])):
        for name, a, b in zip(images, one, two):
            np.testing.assert_array_equal(a, b, err_msg=f"{name}, frame {m + 1}")


@pytest.mark.parametrize("n,error,message", [
    (0, ValueError, "n must be from 1 to 64"),
    (65, ValueError, "n must be from 1 to 64"),
    (2.0, TypeError, "n must be an int, not float"),
])
def test_engine_threads_refuses_what_is_not_a_count(n, error, message):
    before = orvane.engine_threads()
    with pytest.raises(error, match=f"^{re.escape(message)}"):
        orvane.set_engine_threads(n)
    assert orvane.engine_threads() == before
