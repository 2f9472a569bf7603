"""The Python surface: members agree with the component's table and the stub, settings behave
as the component's properties, and the Python conveniences (repr, with, version) work."""

import ast
import math
import pathlib
import re
import warnings

import numpy as np
import pytest

import orvane
from conftest import created

TABLE = orvane._members()
NAMES = list(dict.fromkeys(row["name"] for row in TABLE))


def python_kind(name):
    attr = orvane.CoOrvane.__dict__[name]
    if isinstance(attr, property):
        return "read-write" if attr.fset is not None else "read-only"
    return "method" if callable(attr) else "other"


def table_kind(name):
    rows = [row for row in TABLE if row["name"] == name]
    kinds = [row["kind"] for row in rows]
    if kinds == ["propget", "propput"]:
        return "read-write"
    if kinds == ["propget"]:
        return "read-only" if len(rows[0]["params"]) == 1 else "method"  # indexed: imgbuffer(i)
    assert kinds == ["method"], f"{name}: unexpected kinds {kinds}"
    return "method"


def test_public_attributes_are_exactly_the_member_names():
    public = {n for n in dir(orvane.CoOrvane) if not n.startswith("_")}
    assert public == set(NAMES)


@pytest.mark.parametrize("name", NAMES)
def test_member_kind_and_docstring_follow_the_table(name):
    assert python_kind(name) == table_kind(name)
    help_string = next(row["help"] for row in TABLE if row["name"] == name)
    assert help_string in orvane.CoOrvane.__dict__[name].__doc__


def stub_tree():
    source = pathlib.Path(orvane._core.__file__).with_name("_core.pyi")
    if not source.exists():  # running from the source tree against an installed module
        source = pathlib.Path(__file__).parents[2] / "bindings" / "python" / "orvane" / "_core.pyi"
    return ast.parse(source.read_text())


def test_stub_declares_every_member_with_its_kind():
    tree = stub_tree()
    cls = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "CoOrvane")
    declared = {}
    for node in cls.body:
        if isinstance(node, ast.AnnAssign):
            declared[node.target.id] = "read-write"
        elif isinstance(node, ast.FunctionDef) and not node.name.startswith("__"):
            is_property = any(getattr(d, "id", None) == "property" for d in node.decorator_list)
            declared[node.name] = "read-only" if is_property else "method"
    assert declared == {name: table_kind(name) for name in NAMES}
    functions = {n.name for n in tree.body if isinstance(n, ast.FunctionDef)}
    module_callables = {n for n in dir(orvane) if callable(getattr(orvane, n))
                        and not n.startswith("__") and not isinstance(getattr(orvane, n), type)}
    assert functions == module_callables


def test_new_object_has_the_defaults():
    o = orvane.CoOrvane()
    assert (o.lines, o.columns, o.timederivative_mode, o.computation_mode, o.input_filter) == (
        128, 128, "recursive", "all", 0)
    assert o.regularizer == 0.01


@pytest.mark.parametrize("name, value, read_back", [
    ("lines", 1, 1),
    ("columns", 4, 4),
    ("lines", np.int64(77), 77),              # NumPy integers are integers
    ("input_filter", -7, -7),                 # any value is stored unchanged
    ("regularizer", -1, -1.0),
    ("regularizer", math.inf, math.inf),
    ("regularizer", 1e300, 1e300),            # a double, only narrowed when the engine is built
    ("timederivative_mode", "batch", "batch"),
    ("computation_mode", "affineparams", "affineparams"),
    ("computation_mode", "orvane\0tail", "orvane"),  # stored up to the first NUL
])
def test_settings_read_back(name, value, read_back):
    o = orvane.CoOrvane()
    setattr(o, name, value)
    assert getattr(o, name) == read_back


def test_nan_regularizer_reads_back_as_nan():
    o = orvane.CoOrvane()
    o.regularizer = math.nan
    assert math.isnan(o.regularizer)


@pytest.mark.parametrize("name, value, error", [
    ("lines", 3.5, TypeError),                # no silent truncation
    ("lines", "12", TypeError),
    ("lines", 2**31, OverflowError),
    ("columns", -2**31 - 4, OverflowError),
    ("regularizer", "0.1", TypeError),
    ("computation_mode", 4, TypeError),
    ("computation_mode", b"all", TypeError),
])
def test_values_that_are_not_the_member_type_are_refused(name, value, error):
    o = orvane.CoOrvane()
    before = getattr(o, name)
    with pytest.raises(error, match=name):
        setattr(o, name, value)
    assert getattr(o, name) == before


def test_keyword_lists_are_the_exact_text():
    o = orvane.CoOrvane()
    assert o.list_timederivative_modes() == "recursive\nbatch\n"
    assert o.list_computation_modes() == "changedetection\norvane\naffineparams\nall\n"


def test_repr_shows_geometry_modes_and_state():
    o = orvane.CoOrvane()
    o.lines, o.columns, o.computation_mode = 6, 8, "orvane"
    assert repr(o) == ("<orvane.CoOrvane lines=6 columns=8 timederivative_mode='recursive' "
                       "computation_mode='orvane' input_filter=0 regularizer=0.01 state=idle>")
    o.create_orvane()
    o.process_data(np.zeros((6, 8), np.float32))
    assert repr(o).endswith("state=running frames=1>")
    o.lines = 6
    assert repr(o).endswith("state=stale frames=1>")


def test_context_manager_destroys_the_engine_on_exit():
    with orvane.CoOrvane() as o:
        o.lines, o.columns = 4, 8
        o.create_orvane()
        o.process_data(np.ones((4, 8), np.float32))
    assert "state=idle" in repr(o)
    with pytest.raises(orvane.OrvaneError, match="Object not allocated"):
        o.Un


def test_context_manager_is_quiet_when_the_body_destroyed_and_lets_errors_through():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(KeyError):
            with created() as o:
                o.destroy_orvane()
                raise KeyError("from the body")


def test_version_is_a_release_number():
    assert re.fullmatch(r"\d+\.\d+\.\d+", orvane.__version__)


def test_cpu_type_and_class_are_codes_of_the_variant_table():
    assert orvane.cpu_type() in {0, 1, 2, 3, 4, 5, 6, 7, 8, 16, 17}
    assert orvane.cpu_class() in {0, 1, 2, 3}


@pytest.mark.parametrize("k, outcome", [(0, True), (1, True), (2, True), (3, True),
                                        (-1, ValueError), (4, ValueError), (1.0, TypeError)])
def test_fill_slots(k, outcome):
    try:
        if isinstance(outcome, bool):
            assert orvane.fill_slots(k) is outcome
        else:
            # The message names the argument as the caller knows it.
            with pytest.raises(outcome, match=r"^k must "):
                orvane.fill_slots(k)
    finally:
        orvane.CoOrvane()  # construction selects this processor's column again
