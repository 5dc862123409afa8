"""Binding of call arguments to parameters, and conversion of their values.

One table of (call, exception type, exact message) covers the binder and the
conversions; then what is accepted, in which order arguments are converted
and handed to the models, and how the element walk treats odd sequences.
Calls go to the real module; where the values that reach a model must be
seen exactly, to the boundary probe (tests/boundary_probe.py), whose models
echo their inputs.
"""

import array
import platform
import sys

import pytest

import boundary_probe
import tavlomer

PYPY = platform.python_implementation() == "PyPy"

L = [0.5, 1.5]
ALL_FUNCTIONS = list(tavlomer.__all__)
LIST_FUNCTIONS = [name for name in ALL_FUNCTIONS if name != "heyrovsky_magnification"]
FLUX_MAP_FUNCTIONS = [name for name in ALL_FUNCTIONS if "flux_map" in name]


class Call:
    """tavlomer.<name>(*args, **kwargs), printable as a test id."""

    def __init__(self, name, *args, **kwargs):
        self.name, self.args, self.kwargs = name, args, kwargs

    def __call__(self, module=tavlomer):
        return getattr(module, self.name)(*self.args, **self.kwargs)

    def __repr__(self):
        shown = [_show(a) for a in self.args]
        shown += [f"{str.__str__(k)}={_show(v)}" for k, v in self.kwargs.items()]
        return f"{self.name}({', '.join(shown)})"


def _show(value):
    """repr without memory addresses, which would make test ids unstable."""
    text = repr(value)
    return f"<{type(value).__name__}>" if " at 0x" in text else text


def witt_mao(*args, **kwargs):
    return Call("witt_mao_magnification", *args, **kwargs)


def heyrovsky(*args, **kwargs):
    return Call("heyrovsky_magnification", *args, **kwargs)


def flux_map(*args, **kwargs):
    return Call("integrated_flux_map_witt_mao_magnification", *args, **kwargs)


class Floaty:
    """An object whose float conversion returns or raises what it is given."""

    def __init__(self, outcome):
        self.outcome = outcome

    def __float__(self):
        if isinstance(self.outcome, BaseException):
            raise self.outcome
        return self.outcome

    def __repr__(self):
        return f"Floaty({self.outcome!r})"


class Holder:
    class Opaque:
        """Neither a sequence nor a number; its qualified name is Holder.Opaque."""


class TypeErrorSubclass(TypeError):
    pass


class BrokenSequence:
    """A sequence whose element access fails with the given exception."""

    def __init__(self, error):
        self.error = error

    def __len__(self):
        return 2

    def __getitem__(self, index):
        raise self.error


CANNOT_CONVERT = "'{}' object cannot be converted to 'Sequence'"
MUST_BE_REAL = "must be real number, not {}"

CASES = [
    # Too many positional arguments: reported before any keyword is looked at.
    (witt_mao(L, 1.0, 1.0, 1.0), TypeError,
     "witt_mao_magnification() takes 3 positional arguments but 4 were given"),
    (witt_mao(L, 1.0, 1.0, 1.0, x=1), TypeError,
     "witt_mao_magnification() takes 3 positional arguments but 4 were given"),
    (heyrovsky(1.0, 1.0, 1.0, 1.0, 1.0), TypeError,
     "heyrovsky_magnification() takes 4 positional arguments but 5 were given"),
    (flux_map(L, 1.0, 1.0, L, L, L), TypeError,
     "integrated_flux_map_witt_mao_magnification() takes 5 positional arguments but 6 were given"),
    # Keywords one by one, in the caller's order.
    (witt_mao(L, 1.0, re=2.0), TypeError,
     "witt_mao_magnification() got multiple values for argument 're'"),
    (witt_mao(L, 1.0, 1.0, l=L), TypeError,
     "witt_mao_magnification() got multiple values for argument 'l'"),
    (witt_mao(L, 1.0, x=1, re=2.0), TypeError,
     "witt_mao_magnification() got an unexpected keyword argument 'x'"),
    (witt_mao(L, 1.0, re=2.0, x=1), TypeError,
     "witt_mao_magnification() got multiple values for argument 're'"),
    (heyrovsky(1.0, 1.0, 1.0, 1.0, x=1), TypeError,
     "heyrovsky_magnification() got an unexpected keyword argument 'x'"),
    # Byte-for-byte names: no prefixes, no case folding.
    (witt_mao(L, 1.0, rsta=1.0), TypeError,
     "witt_mao_magnification() got an unexpected keyword argument 'rsta'"),
    (witt_mao(**{"l": L, "re": 1.0, "rstar": 1.0, "RE": 1.0}), TypeError,
     "witt_mao_magnification() got an unexpected keyword argument 'RE'"),
    # A name UTF-8 cannot encode matches nothing; each byte of its
    # surrogate-preserving encoding becomes U+FFFD in the message.
    (witt_mao(L, 1.0, 1.0, **{"\udcff": 1}), TypeError,
     "witt_mao_magnification() got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
    (witt_mao(L, 1.0, 1.0, **{"r\u00e9": 1}), TypeError,
     "witt_mao_magnification() got an unexpected keyword argument 'r\u00e9'"),
    # An unexpected keyword ends binding before the missing-argument check.
    (witt_mao(L, x=1), TypeError,
     "witt_mao_magnification() got an unexpected keyword argument 'x'"),
    # Missing arguments, with the parameter-list punctuation.
    (witt_mao(), TypeError,
     "witt_mao_magnification() missing 3 required positional arguments: 'l', 're', and 'rstar'"),
    (witt_mao(L), TypeError,
     "witt_mao_magnification() missing 2 required positional arguments: 're' and 'rstar'"),
    (witt_mao(L, 1.0), TypeError,
     "witt_mao_magnification() missing 1 required positional argument: 'rstar'"),
    (heyrovsky(r=1.0), TypeError,
     "heyrovsky_magnification() missing 3 required positional arguments: 'l', 're', and 'rstar'"),
    (flux_map(L, 1.0), TypeError,
     "integrated_flux_map_witt_mao_magnification() missing 3 required positional arguments: "
     "'rstar', 'bl', and 'bf'"),
    (flux_map(L, 1.0, 1.0, L), TypeError,
     "integrated_flux_map_witt_mao_magnification() missing 1 required positional argument: 'bf'"),
    (flux_map(L, 1.0, bf=L), TypeError,
     "integrated_flux_map_witt_mao_magnification() missing 2 required positional arguments: "
     "'rstar' and 'bl'"),
    # Binding comes before any conversion.
    (witt_mao("not a list", 1.0), TypeError,
     "witt_mao_magnification() missing 1 required positional argument: 'rstar'"),
    # List parameters.
    (witt_mao("0.5", 1.0, 1.0), TypeError, "argument 'l': Can't extract `str` to `Vec`"),
    (witt_mao("", 1.0, 1.0), TypeError, "argument 'l': Can't extract `str` to `Vec`"),
    (flux_map(L, 1.0, 1.0, type("Text", (str,), {})("ab"), L), TypeError,
     "argument 'bl': Can't extract `str` to `Vec`"),
    (flux_map(L, 1.0, 1.0, L, "ab"), TypeError, "argument 'bf': Can't extract `str` to `Vec`"),
    (witt_mao({0.5}, 1.0, 1.0), TypeError, "argument 'l': " + CANNOT_CONVERT.format("set")),
    (witt_mao({0.5: 1}, 1.0, 1.0), TypeError, "argument 'l': " + CANNOT_CONVERT.format("dict")),
    (witt_mao((x for x in L), 1.0, 1.0), TypeError,
     "argument 'l': " + CANNOT_CONVERT.format("generator")),
    (witt_mao(0.5, 1.0, 1.0), TypeError, "argument 'l': " + CANNOT_CONVERT.format("float")),
    (witt_mao(None, 1.0, 1.0), TypeError, "argument 'l': " + CANNOT_CONVERT.format("NoneType")),
    (witt_mao(Holder.Opaque(), 1.0, 1.0), TypeError,
     "argument 'l': " + CANNOT_CONVERT.format("Holder.Opaque")),
    (witt_mao([0.5, None], 1.0, 1.0), TypeError,
     "argument 'l': " + MUST_BE_REAL.format("NoneType")),
    (witt_mao((0.5, "1"), 1.0, 1.0), TypeError, "argument 'l': " + MUST_BE_REAL.format("str")),
    (witt_mao(BrokenSequence(TypeError("no items")), 1.0, 1.0), TypeError,
     "argument 'l': no items"),
    (witt_mao(BrokenSequence(KeyError("no items")), 1.0, 1.0), KeyError, "'no items'"),
    # Scalar parameters.
    (witt_mao(L, "1", 1.0), TypeError, "argument 're': " + MUST_BE_REAL.format("str")),
    (witt_mao(L, 1.0, None), TypeError, "argument 'rstar': " + MUST_BE_REAL.format("NoneType")),
    (heyrovsky(L, 1.0, 1.0, 1.0), TypeError, "argument 'l': " + MUST_BE_REAL.format("list")),
    (heyrovsky(1.0, "r", 1.0, 1.0), TypeError, "argument 'r': " + MUST_BE_REAL.format("str")),
    # Parameter order decides which error is seen.
    (witt_mao("0.5", None, 1.0), TypeError, "argument 'l': Can't extract `str` to `Vec`"),
    (flux_map(L, 1.0, None, "ab", {1}), TypeError,
     "argument 'rstar': " + MUST_BE_REAL.format("NoneType")),
    (flux_map(L, 1.0, 1.0, {1}, "ab"), TypeError,
     "argument 'bl': " + CANNOT_CONVERT.format("set")),
    (flux_map(bf="ab", bl={1}, rstar=1.0, re=1.0, l=L), TypeError,
     "argument 'bl': " + CANNOT_CONVERT.format("set")),
    # Only exactly TypeError gets the prefix; everything else passes as it is.
    (witt_mao(L, 10**400, 1.0), OverflowError, "int too large to convert to float"),
    (witt_mao([0.5, -10**400], 1.0, 1.0), OverflowError, "int too large to convert to float"),
    (witt_mao(L, Floaty(TypeError("custom")), 1.0), TypeError, "argument 're': custom"),
    (witt_mao(L, Floaty(TypeErrorSubclass("custom")), 1.0), TypeErrorSubclass, "custom"),
    (witt_mao([Floaty(ValueError("bad element"))], 1.0, 1.0), ValueError, "bad element"),
    (witt_mao([Floaty(KeyboardInterrupt("stop"))], 1.0, 1.0), KeyboardInterrupt, "stop"),
]


@pytest.mark.parametrize("call, exception, message", CASES, ids=repr)
def test_call_fails_with_exact_message(call, exception, message):
    with pytest.raises(BaseException) as caught:
        call()
    assert type(caught.value) is exception
    assert str(caught.value) == message


def test_float_returning_non_float_gets_the_prefix():
    # The interpreter's own TypeError, worded differently by CPython
    # ("Floaty.__float__ returned non-float ...") and PyPy ("__float__
    # returned non-float ..."): only the prefix is ours.
    with pytest.raises(TypeError) as caught:
        tavlomer.witt_mao_magnification(L, Floaty("1.0"), 1.0)
    assert str(caught.value).startswith("argument 're': ")
    assert "__float__ returned non-float" in str(caught.value)


def test_rewritten_error_takes_the_cause_of_the_caught_one():
    root = KeyError("root")
    inner = TypeError("inner")
    inner.__cause__ = root
    with pytest.raises(TypeError) as caught:
        tavlomer.witt_mao_magnification([Floaty(inner)], 1.0, 1.0)
    assert str(caught.value) == "argument 'l': inner"
    assert caught.value is not inner
    assert caught.value.__cause__ is root

    with pytest.raises(TypeError) as caught:
        tavlomer.witt_mao_magnification([Floaty(TypeError("plain"))], 1.0, 1.0)
    assert caught.value.__cause__ is None
    assert caught.value.args == ("argument 'l': plain",)


class Unprintable:
    def __str__(self):
        raise ValueError("no text")


class UnprintableName(str):
    def __str__(self):
        raise ValueError("no text")


@pytest.mark.parametrize("call, message", [
    (witt_mao([Floaty(TypeError(Unprintable()))], 1.0, 1.0),
     "argument 'l': <unprintable TypeError object>"),
    (witt_mao(L, 1.0, 1.0, **{UnprintableName("x"): 1}),
     "witt_mao_magnification() got an unexpected keyword argument '<unprintable UnprintableName object>'"),
], ids=repr)
def test_text_that_cannot_be_had_goes_to_the_unraisable_hook(call, message, monkeypatch):
    reported = []
    monkeypatch.setattr("sys.unraisablehook", reported.append)
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message
    assert [type(r.exc_value) for r in reported] == [ValueError]


def test_keyword_matching_reads_the_text_of_a_str_subclass():
    probe = boundary_probe.load()
    assert probe.witt_mao_magnification(L, 1.0, **{UnprintableName("rstar"): 2.0}) == L + [1.0, 2.0]


# ---- What is accepted -------------------------------------------------------------


class MinusOne:
    def __float__(self):
        return -1.0


class Index:
    def __index__(self):
        return 3


@pytest.mark.parametrize("sequence, values", [
    ((0.5, 1.5), [0.5, 1.5]),
    (range(3), [0.0, 1.0, 2.0]),
    (b"\x00\x07", [0.0, 7.0]),
    ([1, 2**53 + 1], [1.0, 2.0**53]),  # ints round to the nearest double
    (array.array("d", [0.25, -0.0]), [0.25, -0.0]),
    ([True, Floaty(2.5), MinusOne()], [1.0, 2.5, -1.0]),
    (type("Values", (list,), {})([0.5]), [0.5]),
    ([], []),
    ((), []),
    ([float("nan"), float("inf"), -float("inf")], [float("nan"), float("inf"), -float("inf")]),
], ids=repr)
def test_list_parameters_accept_any_sequence_of_numbers(sequence, values):
    probe = boundary_probe.load()
    echoed = probe.witt_mao_magnification(sequence, 1.0, 2.0)
    assert type(echoed) is list and all(type(x) is float for x in echoed)
    assert repr(echoed) == repr(values + [1.0, 2.0])  # repr: NaN and -0.0 compare exactly


def test_numpy_arrays_are_sequences():
    numpy = pytest.importorskip("numpy")
    probe = boundary_probe.load()
    assert probe.witt_mao_magnification(numpy.array([0.5, 2.0]), 1.0, 2.0) == [0.5, 2.0, 1.0, 2.0]


def test_minus_one_without_exception_is_a_value():
    probe = boundary_probe.load()
    assert probe.heyrovsky_magnification(MinusOne(), 0.0, 0.0, 0.0) == -1000.0
    assert probe.witt_mao_magnification([MinusOne()], MinusOne(), 2.0) == [-1.0, -1.0, 2.0]


@pytest.mark.skipif(PYPY, reason="PyPy 3.9's float conversion does not fall back to __index__")
def test_index_only_objects_convert():
    probe = boundary_probe.load()
    assert probe.witt_mao_magnification([Index()], Index(), 2.0) == [3.0, 3.0, 2.0]


class FloatWithOwnConversion(float):
    def __float__(self):
        return 99.0


def test_float_subclass_conversion_is_the_interpreters():
    # CPython reads the stored value of a float subclass; PyPy calls its
    # __float__.  Either way it is the interpreter's own conversion.
    probe = boundary_probe.load()
    value = probe.heyrovsky_magnification(FloatWithOwnConversion(1.0), 0.0, 0.0, 0.0)
    assert value == (99000.0 if PYPY else 1000.0)


# ---- Which value reaches which model parameter ------------------------------------


def test_ring_parameters_reach_the_model_in_order():
    probe = boundary_probe.load()
    assert probe.heyrovsky_magnification(1, 2, 3, 4) == 1234.0
    assert probe.heyrovsky_magnification(rstar=4, l=1, re=3, r=2) == 1234.0
    assert probe.heyrovsky_magnification(1, 2, rstar=4, re=3) == 1234.0
    assert type(tavlomer.heyrovsky_magnification(0.5, 0.3, 1.0, 1.0)) is float


@pytest.mark.parametrize("name", FLUX_MAP_FUNCTIONS)
def test_flux_map_tables_reach_the_model_before_re_and_rstar(name):
    probe = boundary_probe.load()
    function = getattr(probe, name)
    expected = [1.0, 10.0, 11.0, 20.0, 2.0, 3.0]  # l, bl, bf, re, rstar
    assert function([1.0], 2.0, 3.0, [10.0, 11.0], [20.0]) == expected
    assert function(bf=[20.0], bl=[10.0, 11.0], rstar=3.0, re=2.0, l=[1.0]) == expected


@pytest.mark.parametrize("name", LIST_FUNCTIONS)
def test_keywords_bind_like_positions(name):
    function = getattr(tavlomer, name)
    args = [[0.5, 2.0], 1.0, 1.0] + ([[0.0, 1.0], [1.0, 1.0]] if "flux_map" in name else [])
    names = ["l", "re", "rstar", "bl", "bf"][:len(args)]
    positional = function(*args)
    assert function(**dict(reversed(list(zip(names, args))))) == positional
    assert function(args[0], *args[1:2], **dict(zip(names[2:], args[2:]))) == positional


# ---- The element walk -----------------------------------------------------------


class Lying:
    """A sequence that reports `length` elements and yields `count`."""

    def __init__(self, length, count):
        self.length, self.count = length, count

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, index):
        if index >= self.count:
            raise IndexError(index)
        return float(index)


@pytest.mark.parametrize("length", [
    0, 1, 2**20, 2**40,
    2**60 - 1,  # the largest length whose doubles fit the signed size type
    ValueError("no length"),
], ids=repr)
def test_the_reported_length_is_only_a_hint(length):
    probe = boundary_probe.load()
    assert probe.witt_mao_magnification(Lying(length, 3), 7.0, 8.0) == [0.0, 1.0, 2.0, 7.0, 8.0]


def test_a_length_beyond_the_size_type_is_a_capacity_overflow():
    with pytest.raises(BaseException) as caught:
        tavlomer.witt_mao_magnification(Lying(2**60, 3), 1.0, 1.0)
    assert type(caught.value).__name__ == "PanicException"
    assert str(caught.value) == "capacity overflow"


def walk_as_python_does(sequence):
    """The floats that a Python for-loop over `sequence` converts."""
    return [float(item) for item in sequence]


class Mutator:
    """Converts to `value`, doing `action` to the list the first time."""

    def __init__(self, value, action):
        self.value, self.action, self.done = value, action, False

    def __float__(self):
        if not self.done:
            self.done = True
            self.action()
        return self.value


def mutating_lists(kind):
    """Lists whose elements change the list during the conversion."""
    cases = {}
    grow = kind([0.5])
    grow.insert(0, Mutator(1.0, lambda: grow.append(9.0)))
    cases["grow"] = grow
    shrink = kind([0.5, 0.25, 0.125])
    shrink.insert(0, Mutator(1.0, lambda: shrink.pop()))
    cases["shrink"] = shrink
    clear = kind([0.5, 0.25])
    clear.insert(1, Mutator(1.0, lambda: clear.clear()))
    cases["clear"] = clear
    grow_then_ints = kind([1, 2])
    grow_then_ints.insert(0, Mutator(1.0, lambda: grow_then_ints.extend([3, 4.5])))
    cases["grow_then_ints"] = grow_then_ints
    drop_self = kind([0.5])
    drop_self.insert(0, Mutator(1.0, lambda: drop_self.pop(0)))
    cases["drop_self"] = drop_self
    return cases


@pytest.mark.parametrize("kind", [list, type("ListSubclass", (list,), {})],
                         ids=["exact list", "list subclass"])
@pytest.mark.parametrize("case", ["grow", "shrink", "clear", "grow_then_ints", "drop_self"])
def test_a_list_changed_by_its_elements_is_walked_as_iteration_does(kind, case):
    probe = boundary_probe.load()
    expected = walk_as_python_does(mutating_lists(kind)[case])
    assert probe.witt_mao_magnification(mutating_lists(kind)[case], 7.0, 8.0) == expected + [7.0, 8.0]


class Reentrant:
    """Converts to a value that it computes by calling the module."""

    def __float__(self):
        return tavlomer.witt_mao_magnification([0.5], 1.0, 1.0)[0]


def test_an_element_can_call_the_module():
    inner = tavlomer.witt_mao_magnification([0.5], 1.0, 1.0)[0]
    assert tavlomer.witt_mao_magnification([Reentrant(), 0.5], Reentrant(), 1.0) == \
        tavlomer.witt_mao_magnification([inner, 0.5], inner, 1.0)


def test_the_first_failing_element_ends_the_walk():
    seen = []

    class Recorder:
        def __init__(self, value):
            self.value = value

        def __float__(self):
            seen.append(self.value)
            return self.value

    with pytest.raises(TypeError):
        tavlomer.witt_mao_magnification([Recorder(1.0), None, Recorder(2.0)], 1.0, 1.0)
    assert seen == [1.0]


# ---- Ownership --------------------------------------------------------------------


def borrowed_call_cases():
    """(call, objects it must leave as it found them), for success and failure."""
    cause = KeyError("cause")
    with_cause = TypeError("with a cause")
    with_cause.__cause__ = cause
    values = [0.5, Floaty(1.5), 7]
    keyword = "".join(["r", "e"])  # not interned: its own object
    return {
        "success": (lambda p: p.witt_mao_magnification(values, **{keyword: Floaty(1.0)},
                                                       rstar=2.0), [values, *values, keyword]),
        "rewritten element error": (lambda p: p.witt_mao_magnification([0.5, Floaty(with_cause)],
                                                                       1.0, 2.0),
                                    [with_cause, cause]),
        "numeric error": (lambda p: p.witt_mao_magnification(values, 1.0, -1.0), [values]),
        "internal fault": (lambda p: p.discrete_flux_map_heyrovsky_magnification(
            values, 1.0, -4.0, values, [0.5]), [values]),
        "unexpected keyword": (lambda p: p.witt_mao_magnification(values, 1.0, 2.0,
                                                                  **{keyword + "x": values}),
                               [values]),
    }


@pytest.mark.skipif(PYPY, reason="reference counts are CPython's")
@pytest.mark.parametrize("case", list(borrowed_call_cases()))
def test_arguments_are_only_borrowed(case):
    probe = boundary_probe.load()
    call, objects = borrowed_call_cases()[case]

    def run():
        try:
            call(probe)
        except BaseException:  # noqa: B036 - faults are among the cases
            pass

    run()  # first-use objects (the PanicException class) are made here
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(50):
        run()
    assert [sys.getrefcount(o) for o in objects] == before
