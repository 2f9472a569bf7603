"""Cost of the orvane Python binding: per-call overhead, the in-place frame against a copied
one, reading a result image, and two objects on two threads against one.

    PYTHONPATH=build/bindings/python /usr/bin/python3 bindings/python/benchmark.py

Prints the median of several runs; the machine should be otherwise idle.
"""

import statistics
import threading
import time

import numpy as np

import orvane


def median_seconds(action, calls, runs=7):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        for _ in range(calls):
            action()
        times.append((time.perf_counter() - start) / calls)
    return statistics.median(times)


def engine(lines, columns, mode="all"):
    o = orvane.CoOrvane()
    o.lines, o.columns, o.computation_mode = lines, columns, mode
    o.create_orvane()
    return o


def per_frame_table():
    print(f"{'frame':>11} {'in place':>10} {'copied':>10} {'copy cost':>10} {'read Un':>10}")
    for lines, columns, calls in ((4, 4, 20000), (128, 128, 2000), (480, 640, 100),
                                  (1080, 1920, 20)):
        o = engine(lines, columns)
        frame = np.random.default_rng(0).random((lines, columns), dtype=np.float32)
        fortran = np.asfortranarray(frame)
        in_place = median_seconds(lambda: o.process_data(frame), calls)
        copied = median_seconds(lambda: o.process_data(fortran), calls)
        read = median_seconds(lambda: o.Un, calls)
        print(f"{lines:>5}x{columns:<5} {in_place * 1e6:>8.1f}us {copied * 1e6:>8.1f}us "
              f"{(copied - in_place) / in_place * 100:>9.1f}% {read * 1e6:>8.1f}us")


def threads_table(lines=480, columns=640, frames=200):
    frame = np.random.default_rng(1).random((lines, columns), dtype=np.float32)

    def work(o):
        for _ in range(frames):
            o.process_data(frame)
            o.Un

    objects = [engine(lines, columns), engine(lines, columns)]
    start = time.perf_counter()
    work(objects[0])
    one = time.perf_counter() - start

    threads = [threading.Thread(target=work, args=(o,)) for o in objects]
    start = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    two = time.perf_counter() - start
    print(f"{frames} frames {lines}x{columns} with Un read: one object {one:.2f}s; "
          f"two objects on two threads {two:.2f}s for twice the work "
          f"(speed-up {2 * one / two:.2f}x)")


if __name__ == "__main__":
    print(f"orvane {orvane.__version__}, cpu type {orvane.cpu_type()}, "
          f"class {orvane.cpu_class()}")
    per_frame_table()
    threads_table()
