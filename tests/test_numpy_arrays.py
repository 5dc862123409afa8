"""NumPy arrays given for the list parameters l, bl and bf.

An exact one-dimensional C-contiguous float64 array is read as one block of
doubles instead of element by element.  That shortcut must be invisible:
every array, whatever its dtype, layout or class, gives exactly what the
element walk gives (the same doubles bit for bit, the same exception with
the same message, the same warnings).  The walk itself is spelled out by
`Walk`, a plain sequence that hands out the array's own length and
iterator, so it takes the general path of the conversion by construction.
Values that reach the models are seen through the boundary probe, whose
models echo their inputs (tests/boundary_probe.py).
"""

import array
import struct
import sys
import warnings

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import boundary_probe
import tavlomer

NAN, INF = float("nan"), float("inf")
DATA = [0.5, -0.0, 2.5, NAN, INF, -INF, 1e-300, 5e-324, -1.75, 3.0]
PARAMETERS = ["l", "bl", "bf"]


class Walk:
    """The array as a plain sequence: its own length and iterator, nothing else."""

    def __init__(self, wrapped):
        self.wrapped = wrapped

    def __len__(self):
        return len(self.wrapped)

    def __getitem__(self, index):
        return self.wrapped[index]

    def __iter__(self):
        return iter(self.wrapped)


def bits(values):
    """Each double as its 16 hex digits: NaN payloads and -0.0 compare exactly."""
    return [struct.pack("<d", v).hex() for v in values]


def outcome(function, *args):
    """What a call does: its result's bits or its exception, and its warnings."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = ("returns", bits(function(*args)))
        except Exception as error:  # noqa: BLE001 - the exception is the outcome
            result = ("raises", type(error), str(error))
    return result, [(w.category, str(w.message)) for w in caught]


def flux_map_call(parameter, value):
    """The probe's flux-map function with `value` for `parameter`: it echoes l + bl + bf + [re, rstar]."""
    args = {"l": [0.125], "bl": [0.25], "bf": [0.75]}
    args[parameter] = value
    probe = boundary_probe.load()
    return probe.integrated_flux_map_witt_mao_magnification, (
        args["l"], 1.0, 2.0, args["bl"], args["bf"])


def same_as_walk(parameter, given):
    function, args = flux_map_call(parameter, given)
    _, walk_args = flux_map_call(parameter, Walk(given))
    assert outcome(function, *args) == outcome(function, *walk_args)


# ---- Every kind of array behaves as its element walk ----------------------------


class Plain:
    pass


def unaligned(np, data):
    raw = np.asarray(data, dtype="<f8").tobytes()
    return np.frombuffer(b"\0" + raw, dtype="<f8", offset=1)


def read_only(np, data):
    values = np.asarray(data, dtype=float)
    values.flags.writeable = False
    return values


def own_iteration(np, data):
    class Reversing(np.ndarray):
        def __iter__(self):
            return iter(np.asarray(self)[::-1])

        def __len__(self):
            return 2

    return np.asarray(data, dtype=float).view(Reversing)


# (id, builder(numpy, data), whether the block read applies)
KINDS = [
    ("float64", lambda np, d: np.asarray(d, dtype=np.float64), True),
    ("float64 empty", lambda np, d: np.array([], dtype=np.float64), True),
    ("float64 one element of a strided view", lambda np, d: np.asarray(d)[2::100], True),
    ("float64 read-only", read_only, True),
    ("float64 unaligned", unaligned, True),
    ("float64 little-endian '<f8'", lambda np, d: np.asarray(d, dtype="<f8"), True),
    ("float64 with metadata", lambda np, d: np.asarray(d, dtype=np.dtype(float, metadata={"a": 1})), True),
    ("float32", lambda np, d: np.asarray(d, dtype=np.float32), False),
    ("float16", lambda np, d: np.asarray(d, dtype=np.float16), False),
    ("longdouble", lambda np, d: np.asarray(d, dtype=np.longdouble), False),
    ("int64", lambda np, d: np.arange(len(d), dtype=np.int64) - 3, False),
    ("int8", lambda np, d: np.arange(len(d), dtype=np.int8), False),
    ("uint64 huge", lambda np, d: np.array([2**64 - 1, 3], dtype=np.uint64), False),
    ("bool", lambda np, d: np.arange(len(d)) % 3 == 0, False),
    ("complex128", lambda np, d: np.asarray(d, dtype=complex) + 2j, False),
    ("object of floats", lambda np, d: np.asarray(d, dtype=object), False),
    ("object of mixed", lambda np, d: np.array([1.5, "x", None], dtype=object), False),
    ("datetime64", lambda np, d: np.array(["2020-01-01"], dtype="M8[D]"), False),
    ("structured (x f8)", lambda np, d: np.zeros(2, dtype=[("x", "f8")]), False),
    ("strided a[::2]", lambda np, d: np.asarray(d)[::2], False),
    ("reversed a[::-1]", lambda np, d: np.asarray(d)[::-1], False),
    ("zero stride (broadcast)", lambda np, d: np.broadcast_to(np.float64(2.5), (3,)), False),
    ("0-d", lambda np, d: np.array(2.5), False),
    ("2-d", lambda np, d: np.asarray(d).reshape(2, -1), False),
    ("2-d one column", lambda np, d: np.asarray(d).reshape(-1, 1), False),
    ("2-d Fortran order", lambda np, d: np.asfortranarray(np.asarray(d).reshape(2, -1)), False),
    ("2-d one row", lambda np, d: np.asarray(d).reshape(1, -1), False),
    ("byte-swapped '>f8'", lambda np, d: np.asarray(d, dtype=">f8"), False),
    ("subclass", lambda np, d: np.asarray(d).view(type("Sub", (np.ndarray,), {})), False),
    ("subclass with own iteration", own_iteration, False),
    ("masked array", lambda np, d: np.ma.array(d, mask=[i % 4 == 1 for i in range(len(d))]), False),
    ("record array", lambda np, d: np.rec.array(np.asarray(d)), False),
    ("memoryview of float64", lambda np, d: memoryview(np.asarray(d)), False),
]


@pytest.mark.parametrize("parameter", PARAMETERS)
@pytest.mark.parametrize("name, build, block", KINDS, ids=[k[0] for k in KINDS])
def test_every_array_gives_what_its_element_walk_gives(name, build, block, parameter):
    np = pytest.importorskip("numpy")
    given = build(np, DATA)
    assert (type(given) is np.ndarray and given.dtype == np.float64) or not block
    same_as_walk(parameter, given)
    if block:
        # And the list of its values, through the exact-list path.
        function, args = flux_map_call(parameter, given)
        _, list_args = flux_map_call(parameter, given.tolist())
        assert outcome(function, *args) == outcome(function, *list_args)


@pytest.mark.parametrize("parameter", PARAMETERS)
def test_an_array_error_names_its_parameter(parameter):
    np = pytest.importorskip("numpy")
    function, args = flux_map_call(parameter, np.array(2.5))
    with pytest.raises(TypeError, match=f"^argument '{parameter}': iteration over a 0-d array$"):
        function(*args)


def test_a_class_merely_named_like_numpys_array_is_walked():
    # A class statement may name its class "numpy.ndarray" and give it a
    # buffer of doubles (here through array.array) and its own iteration.
    # Runs without NumPy, under PyPy too.
    impostor = type("numpy.ndarray", (array.array,), {"__iter__": lambda self: iter([7.0, 8.0])})
    given = impostor("d", [0.5, 1.5, 2.5])
    probe = boundary_probe.load()
    assert probe.witt_mao_magnification(given, 1.0, 2.0) == [7.0, 8.0, 1.0, 2.0]


@pytest.mark.parametrize("rstar", [2.0, -1.0], ids=["result", "model failure"])
def test_the_array_is_left_as_it_was(rstar):
    np = pytest.importorskip("numpy")
    given = np.asarray(DATA)
    # PyPy counts no references (NumPy runs there since it joined the PyPy
    # test requirements for tavlomer_physics).
    count = getattr(sys, "getrefcount", lambda _: None)
    before, references = given.copy(), count(given)
    try:
        boundary_probe.load().witt_mao_magnification(given, 1.0, rstar)
    except RuntimeError:
        pass
    # Unchanged, and no buffer still held (a held buffer holds a reference).
    assert given.tobytes() == before.tobytes() and given.flags.writeable
    assert count(given) == references


# ---- The models see the same doubles: real functions, arrays against lists -------


def random_doubles(np, seed, n):
    return np.random.default_rng(seed).uniform(0.0, 5.0, n)


def test_witt_mao_array_and_list_agree_bit_for_bit():
    np = pytest.importorskip("numpy")
    l = np.concatenate([random_doubles(np, 1, 2000), [-0.0, 0.0, 1e-300, 1.0, 1.0 + 1e-6, 1e300]])
    assert bits(tavlomer.witt_mao_magnification(l, 1.0, 0.3)) == bits(
        tavlomer.witt_mao_magnification(l.tolist(), 1.0, 0.3))


def test_a_kernel_failure_is_the_same_for_an_array():
    np = pytest.importorskip("numpy")
    for l in ([0.5, NAN], [INF]):
        expected = outcome(tavlomer.witt_mao_magnification, l, 1.0, 0.3)
        assert expected[0][0] == "raises"
        assert outcome(tavlomer.witt_mao_magnification, np.asarray(l), 1.0, 0.3) == expected


@pytest.mark.parametrize("name", ["discrete_flux_map_heyrovsky_magnification",
                                  "integrated_flux_map_witt_mao_magnification"])
def test_flux_map_tables_as_arrays_agree_bit_for_bit(name):
    np = pytest.importorskip("numpy")
    function = getattr(tavlomer, name)
    l = random_doubles(np, 2, 40)
    bl = np.linspace(0.0, 1.0, 9)
    bf = 1.0 - 0.6 * (1.0 - np.sqrt(1.0 - bl * bl))
    assert bits(function(l, 1.0, 0.3, bl, bf)) == bits(
        function(l.tolist(), 1.0, 0.3, bl.tolist(), bf.tolist()))


@st.composite
def float64_arrays(draw):
    """Arbitrary doubles (any bit pattern, NaN payloads included) in any layout."""
    np = pytest.importorskip("numpy")
    ordinary = st.floats(0.0, 10.0).map(lambda x: struct.unpack("<Q", struct.pack("<d", x))[0])
    anything = st.one_of(ordinary, st.integers(0, 2**64 - 1))
    # Ordinary separations only, half the time, so that the real models
    # mostly compute instead of failing on a NaN or a negative value.
    patterns = draw(st.lists(ordinary, max_size=24) | st.lists(anything, max_size=24))
    values = np.array(patterns, dtype=np.uint64).view(np.float64)
    order = draw(st.sampled_from(["<f8", ">f8"]))
    step = draw(st.sampled_from([1, 1, 2, 3, -1, -2]))
    offset = draw(st.sampled_from([0, 0, 1]))  # 1: unaligned
    span = max(len(values) * abs(step), 1)
    base = np.frombuffer(bytearray(offset + span * 8), dtype=order, offset=offset, count=span)
    view = base[::step][: len(values)]
    view[...] = values
    view.flags.writeable = draw(st.booleans())
    return view


@settings(max_examples=200, deadline=None)
@given(values=float64_arrays(), parameter=st.sampled_from(PARAMETERS))
def test_any_float64_array_gives_the_doubles_of_its_tolist(values, parameter):
    function, args = flux_map_call(parameter, values)
    _, list_args = flux_map_call(parameter, values.tolist())
    assert outcome(function, *args) == outcome(function, *list_args)
    real = tavlomer.witt_mao_magnification
    assert outcome(real, values, 1.0, 0.3) == outcome(real, values.tolist(), 1.0, 0.3)
