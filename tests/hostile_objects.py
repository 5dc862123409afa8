"""Hostile arguments for the seven functions, and what each call must do.

An argument is described by a `Recipe`: a recipe that builds a fresh object on
every call, so a stateful object (one that mutates its list, counts its
conversions, or calls the module) behaves the same in the reference and in
the real call.  `reference_call` works out, from the published rules of
binding and conversion alone, what a call must do: either the plain floats
and lists of floats that reach the model, or the exception with its exact
message.  The interpreter's own part (which objects convert to a double, and
its messages) is asked of the interpreter itself, through
`tavlomer_testing.interp` with a one-entry table, which hands back
PyFloat_AsDouble(object) bit for bit.

A call whose arguments convert must then agree, bit for bit, with the same
function called on those plain values; a call that fails must raise exactly
the predicted exception.  So nothing hostile can change a result silently.
"""

import array
import collections
import decimal
import fractions
import math
import os
import platform
import struct
import sys

import tavlomer
import tavlomer_testing

PYPY = platform.python_implementation() == "PyPy"
# Under AddressSanitizer (scripts/sanitize.sh) a reservation past 1 TiB ends
# the process instead of being refused, so a lying length stays below it.
SANITIZED = os.environ.get("TAVLOMER_SANITIZED") == "1"
HUGE_HINT = 2**30 if SANITIZED else 2**40
try:
    import numpy
except ImportError:  # only the CPython test environment has it
    numpy = None

# name -> (parameters, kinds); "f" a double, "v" a list of doubles.
FUNCTIONS = {
    "witt_mao_magnification": ("l re rstar", "vff"),
    "integrated_witt_mao_magnification": ("l re rstar", "vff"),
    "integrated_flux_map_witt_mao_magnification": ("l re rstar bl bf", "vffvv"),
    "heyrovsky_magnification": ("l r re rstar", "ffff"),
    "integrated_heyrovsky_magnification": ("l re rstar", "vff"),
    "integrated_flux_map_heyrovsky_magnification": ("l re rstar bl bf", "vffvv"),
    "discrete_flux_map_heyrovsky_magnification": ("l re rstar bl bf", "vffvv"),
}
FUNCTIONS = {name: (params.split(), kinds) for name, (params, kinds) in FUNCTIONS.items()}


def panic_exception_class():
    """The module's PanicException, fetched from a call with unequal tables."""
    try:
        tavlomer.discrete_flux_map_heyrovsky_magnification([], 1.0, 1.0, [1.0], [])
    except BaseException as caught:  # noqa: B036 - PanicException derives from BaseException
        return type(caught)
    raise AssertionError("unequal tables did not raise")


PanicException = panic_exception_class()


def as_double(obj):
    """PyFloat_AsDouble(obj), errors unchanged: interpolation in a one-entry
    table returns its only ordinate, converted by PyFloat_AsDouble."""
    return tavlomer_testing.interp([0.0], [obj], 0.0, 2, 0.0)


def bits(value):
    return struct.pack("<d", value)


def same_value(a, b):
    """Bit-for-bit equality of two results (floats or lists of floats); NaNs
    are equal whatever their payload."""
    if isinstance(a, list) or isinstance(b, list):
        return (type(a) is list and type(b) is list and len(a) == len(b)
                and all(same_value(x, y) for x, y in zip(a, b)))
    if type(a) is not float or type(b) is not float:
        return False
    return (math.isnan(a) and math.isnan(b)) or bits(a) == bits(b)


# ---- Hostile objects --------------------------------------------------------------


class Unusual(BaseException):
    """Neither an Exception nor a TypeError: passes through unchanged."""


class NarrowTypeError(TypeError):
    """A TypeError subclass: passes through unchanged, without the prefix."""


class Unprintable:
    def __str__(self):
        raise ValueError("no text")

    def __repr__(self):  # the unraisable hook shows it
        return "Unprintable()"


def make_exception(kind):
    """A fresh exception of one of the kinds a hostile object raises."""
    if kind == "type":
        return TypeError("hostile type error")
    if kind == "type-caused":
        error = TypeError("hostile with a cause")
        error.__cause__ = KeyError("root")
        return error
    if kind == "type-unprintable":
        return TypeError(Unprintable())
    if kind == "type-surrogate":
        return TypeError("bad \udcff text")
    if kind == "narrow-type":
        return NarrowTypeError("narrow")
    if kind == "value":
        return ValueError("hostile value error")
    if kind == "overflow":
        return OverflowError("hostile overflow")
    if kind == "unusual":
        return Unusual("not an Exception")
    if kind == "panic":
        # This module's own PanicException, as a caller may hold and re-raise it.
        return PanicException("re-raised panic")
    raise ValueError(kind)


EXCEPTION_KINDS = ["type", "type-caused", "type-unprintable", "type-surrogate", "narrow-type",
                   "value", "overflow", "unusual", "panic"]


class FloatRaises:
    def __init__(self, kind):
        self.kind = kind

    def __float__(self):
        raise make_exception(self.kind)


class FloatReturns:
    """__float__ returning something that is not a float."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class IndexOnly:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, str) and self.value.startswith("raise:"):
            raise make_exception(self.value[6:])
        return self.value


class FloatSubclass(float):
    pass


class IntSubclass(int):
    pass


def call_the_module():
    """Calls that succeed, fail with RuntimeError and fail with PanicException."""
    tavlomer.heyrovsky_magnification(2.0, 0.5, 1.0, 1.0)
    try:
        tavlomer.witt_mao_magnification([float("nan")], 1.0, 1.0)
    except RuntimeError:
        pass
    try:
        tavlomer.discrete_flux_map_heyrovsky_magnification([], 1.0, 1.0, [1.0], [])
    except PanicException:
        pass


class Reentrant:
    """Calls the module inside its conversion."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        call_the_module()
        return self.value


class Seq:
    """A sequence by __getitem__, with a configurable __len__ and __iter__.

    length: None for the true length, an int to report instead, ("raise", kind)
    to fail with that kind of exception, or ("return", obj) for a non-integer.
    iterate: "getitem" (the interpreter's own walk over __getitem__), "raise:<kind>"
    (iter() fails), "non-iterator" (__iter__ returns a non-iterator), or
    "fail-after:<n>:<kind>" (the walk raises after n items), or "reentrant"
    (the walk calls the module before every item).
    """

    def __init__(self, items, length=None, iterate="getitem"):
        self.items, self.length, self.iterate = items, length, iterate

    def __len__(self):
        if self.length is None:
            return len(self.items)
        if isinstance(self.length, tuple):
            action, what = self.length
            if action == "raise":
                raise make_exception(what)
            return what
        return self.length

    def __getitem__(self, index):
        if self.iterate.startswith("fail-after:"):
            _, count, kind = self.iterate.split(":")
            if index >= int(count):
                raise make_exception(kind)
        return self.items[index]  # IndexError ends the walk

    def __iter__(self):
        if self.iterate.startswith("raise:"):
            raise make_exception(self.iterate[6:])
        if self.iterate == "non-iterator":
            return 42
        return _GetitemIterator(self)


class _GetitemIterator:
    def __init__(self, seq):
        self.seq, self.index = seq, 0

    def __iter__(self):
        return self

    def __next__(self):
        if self.seq.iterate == "reentrant":
            call_the_module()
        try:
            item = self.seq[self.index]
        except IndexError:
            raise StopIteration from None
        self.index += 1
        return item


class Mutator:
    """Converts to `value`, doing something to its own list the first time."""

    def __init__(self, owner, value, action):
        self.owner, self.value, self.action, self.done = owner, value, action, False

    def __float__(self):
        if not self.done:
            self.done = True
            if self.action == "append":
                self.owner.append(0.75)
            elif self.action == "clear":
                self.owner.clear()
            elif self.action == "pop":
                self.owner.pop()
            elif self.action == "replace":
                # Every item freed and replaced by new ones, longer.
                self.owner[:] = [float(v) for v in range(9, 3, -1)]
            elif self.action == "shift":
                del self.owner[0]
        return self.value


# ---- Recipes ------------------------------------------------------------------------


class Recipe:
    """A recipe for one argument: build() makes a fresh object each time."""

    def __init__(self, label, build):
        self.label, self.build = label, build

    def __repr__(self):
        return self.label


def number_specs(values):
    """Recipes of objects that convert to a double (or fail to), for scalar
    parameters and list elements alike."""
    recipes = []
    for v in values:
        recipes.append(Recipe(repr(v), lambda v=v: v))
    recipes += [
        Recipe("FloatSubclass(0.5)", lambda: FloatSubclass(0.5)),
        Recipe("IntSubclass(3)", lambda: IntSubclass(3)),
        Recipe("True", lambda: True),
        Recipe("7", lambda: 7),
        Recipe("-1", lambda: -1),
        Recipe("10**400", lambda: 10**400),
        Recipe("-(10**400)", lambda: -(10**400)),
        Recipe("2**1024-1", lambda: 2**1024 - 1),
        Recipe("Decimal('2.5')", lambda: decimal.Decimal("2.5")),
        Recipe("Decimal('sNaN')", lambda: decimal.Decimal("sNaN")),
        Recipe("Fraction(1, 3)", lambda: fractions.Fraction(1, 3)),
        Recipe("1j", lambda: 1j),
        Recipe("None", lambda: None),
        Recipe("'1.5'", lambda: "1.5"),
        Recipe("b'1'", lambda: b"1"),
        Recipe("object()", lambda: object()),
        Recipe("[1.0]", lambda: [1.0]),
        Recipe("{}", lambda: {}),
        Recipe("Reentrant(1.25)", lambda: Reentrant(1.25)),
        Recipe("IndexOnly(5)", lambda: IndexOnly(5)),
        Recipe("IndexOnly(10**400)", lambda: IndexOnly(10**400)),
        Recipe("IndexOnly('x')", lambda: IndexOnly("x")),
        Recipe("FloatReturns(-1.0)", lambda: FloatReturns(-1.0)),
        Recipe("FloatReturns('x')", lambda: FloatReturns("x")),
        Recipe("FloatReturns(None)", lambda: FloatReturns(None)),
        Recipe("FloatReturns(3)", lambda: FloatReturns(3)),
    ]
    for kind in EXCEPTION_KINDS:
        recipes.append(Recipe(f"FloatRaises({kind!r})", lambda kind=kind: FloatRaises(kind)))
        recipes.append(Recipe(f"IndexOnly(raise {kind})", lambda kind=kind: IndexOnly("raise:" + kind)))
    if numpy is not None:
        recipes += [
            Recipe("np.float64(0.75)", lambda: numpy.float64(0.75)),
            Recipe("np.float32(0.1)", lambda: numpy.float32(0.1)),
            Recipe("np.int64(4)", lambda: numpy.int64(4)),
            Recipe("np.array(2.0)", lambda: numpy.array(2.0)),
            Recipe("np.array([1.0, 2.0])", lambda: numpy.array([1.0, 2.0])),
        ]
    return recipes


def mutating(action):
    def build():
        owner = [0.5, 1.5, 2.5]
        owner.insert(1, Mutator(owner, 1.0, action))
        return owner
    return Recipe(f"list mutated by {action}", build)


def sequence_specs(items):
    """Recipes for list parameters, built around `items` (a list of recipes for
    the elements).  Most are accepted; the rest fail in a documented way."""

    def fresh():
        return [recipe.build() for recipe in items]

    recipes = [
        Recipe(f"list{items}", fresh),
        Recipe(f"tuple{items}", lambda: tuple(fresh())),
        Recipe(f"Seq{items}", lambda: Seq(fresh())),
        Recipe(f"Seq{items} len {HUGE_HINT:#x}", lambda: Seq(fresh(), length=HUGE_HINT)),
        Recipe(f"Seq{items} len 0", lambda: Seq(fresh(), length=0)),
        Recipe(f"Seq{items} len -1", lambda: Seq(fresh(), length=-1)),
        Recipe(f"Seq{items} len 2**70", lambda: Seq(fresh(), length=2**70)),
        Recipe(f"Seq{items} len maxsize", lambda: Seq(fresh(), length=sys.maxsize)),
        Recipe(f"Seq{items} len 2**60", lambda: Seq(fresh(), length=2**60)),
        Recipe(f"Seq{items} len 'x'", lambda: Seq(fresh(), length=("return", "3"))),
        Recipe(f"Seq{items} len raises", lambda: Seq(fresh(), length=("raise", "value"))),
        Recipe(f"Seq{items} iter raises type", lambda: Seq(fresh(), iterate="raise:type")),
        Recipe(f"Seq{items} iter raises value", lambda: Seq(fresh(), iterate="raise:value")),
        Recipe(f"Seq{items} non-iterator", lambda: Seq(fresh(), iterate="non-iterator")),
        Recipe(f"Seq{items} reentrant walk", lambda: Seq(fresh(), iterate="reentrant")),
        Recipe(f"Seq{items} fails after 1", lambda: Seq(fresh(), iterate="fail-after:1:type")),
        Recipe(f"Seq{items} fails after 0 (panic)",
             lambda: Seq(fresh(), iterate="fail-after:0:panic")),
        Recipe(f"collections.deque{items}", lambda: collections.deque(fresh())),
        Recipe(f"set{items}", lambda: set(x for x in fresh() if _hashable(x))),
        Recipe(f"iter{items}", lambda: iter(fresh())),
        Recipe(f"generator{items}", lambda: (x for x in fresh())),
        Recipe(f"dict{items}", lambda: dict.fromkeys(x for x in fresh() if _hashable(x))),
        Recipe(f"dict_keys{items}", lambda: {1.0: 1}.keys()),
    ]
    recipes += [mutating(action) for action in ("append", "clear", "pop", "replace", "shift")]
    recipes += [
        Recipe("range(3)", lambda: range(3)),
        Recipe("b'\\x01\\x02'", lambda: b"\x01\x02"),
        Recipe("bytearray(b'\\x03')", lambda: bytearray(b"\x03")),
        Recipe("memoryview(b'\\x04\\x05')", lambda: memoryview(b"\x04\x05")),
        Recipe("array('d', [0.5, 2.0])", lambda: array.array("d", [0.5, 2.0])),
        Recipe("array('i', [1, -2])", lambda: array.array("i", [1, -2])),
        Recipe("[]", lambda: []),
        Recipe("'abc'", lambda: "abc"),
        Recipe("''", lambda: ""),
        Recipe("None", lambda: None),
        Recipe("1.5", lambda: 1.5),
        Recipe("frozenset()", lambda: frozenset()),
    ]
    if numpy is not None:
        recipes += [
            Recipe("np.array([0.5, 3.0])", lambda: numpy.array([0.5, 3.0])),
            Recipe("np.arange(3)", lambda: numpy.arange(3)),
            Recipe("np.array([[1.0, 2.0]])", lambda: numpy.array([[1.0, 2.0]])),
            Recipe("np.array(1.0)", lambda: numpy.array(1.0)),
            Recipe("np.float64(1.0)", lambda: numpy.float64(1.0)),
            Recipe("np.array([], dtype=float)", lambda: numpy.array([], dtype=float)),
        ]
    return recipes


def _hashable(x):
    try:
        hash(x)
    except TypeError:
        return False
    return True


# ---- The reference: what a call must do --------------------------------------------


class Expected(Exception):
    """The predicted failure of a call: exception type, message and cause type."""

    def __init__(self, exc_type, message, cause_type=None):
        super().__init__(exc_type, message)
        self.exc_type, self.message, self.cause_type = exc_type, message, cause_type


def text_form(exc):
    """str() of an exception as the boundary writes it into a message."""
    try:
        text = str(exc)
    except Exception:
        return f"<unprintable {type(exc).__name__} object>"
    return text.encode("utf-8", "surrogatepass").decode("utf-8", "replace")


def predicted(exc, name):
    """The failure that a conversion error `exc` of parameter `name` becomes."""
    if type(exc) is PanicException:
        try:
            message = str(exc)
        except Exception:
            message = "Unwrapped panic from Python code"
        return Expected(PanicException, message)
    if type(exc) is TypeError:
        cause = exc.__cause__
        return Expected(TypeError, f"argument '{name}': {text_form(exc)}",
                        None if cause is None else type(cause))
    return Expected(type(exc), text_form(exc))


def convert_double(obj, name):
    try:
        return as_double(obj)
    except BaseException as exc:  # noqa: B036 - every failure is a prediction
        raise predicted(exc, name) from None


def is_sequence(obj):
    """PySequence_Check for the kinds of object made here: a type with item
    access that is not a dict (NumPy's scalars index by mapping only)."""
    if isinstance(obj, dict) or (numpy is not None and isinstance(obj, numpy.generic)):
        return False
    return hasattr(type(obj), "__getitem__")


def convert_list(obj, name):
    if isinstance(obj, str):
        raise Expected(TypeError, f"argument '{name}': Can't extract `str` to `Vec`")
    if not is_sequence(obj):
        raise Expected(TypeError, f"argument '{name}': '{type(obj).__qualname__}' object "
                                  "cannot be converted to 'Sequence'")
    try:
        reported = len(obj)
    except BaseException:  # noqa: B036 - a failed length query is only a missing hint
        reported = 0
    if reported * 8 > sys.maxsize:
        raise Expected(PanicException, "capacity overflow")
    try:
        iterator = iter(obj)
    except BaseException as exc:  # noqa: B036
        raise predicted(exc, name) from None
    values = []
    while True:
        try:
            item = next(iterator)
        except StopIteration:
            return values
        except BaseException as exc:  # noqa: B036
            raise predicted(exc, name) from None
        values.append(convert_double(item, name))


def bind(function, npositional, keywords):
    """The parameter order of a call, or its binding failure."""
    params, _ = FUNCTIONS[function]
    shown = function + "()"
    if npositional > len(params):
        raise Expected(TypeError, f"{shown} takes {len(params)} positional arguments but "
                                  f"{npositional} were given")
    filled = [i < npositional for i in range(len(params))]
    for key in keywords:
        if key in params:
            i = params.index(key)
            if filled[i]:
                raise Expected(TypeError, f"{shown} got multiple values for argument '{key}'")
            filled[i] = True
        else:
            raise Expected(TypeError, f"{shown} got an unexpected keyword argument "
                                      f"'{text_form(key)}'")
    missing = [p for p, f in zip(params, filled) if not f]
    if missing:
        quoted = [f"'{p}'" for p in missing]
        if len(quoted) == 1:
            listed = quoted[0]
        elif len(quoted) == 2:
            listed = f"{quoted[0]} and {quoted[1]}"
        else:
            listed = ", ".join(quoted[:-1]) + ", and " + quoted[-1]
        noun = "argument" if len(missing) == 1 else "arguments"
        raise Expected(TypeError, f"{shown} missing {len(missing)} required positional "
                                  f"{noun}: {listed}")


def reference_call(function, positional, keywords):
    """Plain keyword arguments that the call must be equivalent to, or raises
    Expected.  positional: list of Specs; keywords: dict name -> Recipe."""
    bind(function, len(positional), list(keywords))
    params, kinds = FUNCTIONS[function]
    given = dict(zip(params, positional))
    given.update(keywords)
    plain = {}
    for name, kind in zip(params, kinds):
        obj = given[name].build()
        plain[name] = convert_list(obj, name) if kind == "v" else convert_double(obj, name)
    return plain


def outcome(call):
    """("value", result) or ("raised", exception) of call()."""
    try:
        return "value", call()
    except BaseException as exc:  # noqa: B036
        return "raised", exc


def check_call(function, positional, keywords):
    """Makes the call with fresh objects and checks it against the reference;
    returns the outcome for further checks."""
    try:
        plain = reference_call(function, positional, keywords)
    except Expected as prediction:
        expected = ("raised", prediction)
    else:
        expected = outcome(lambda: getattr(tavlomer, function)(**plain))

    args = [recipe.build() for recipe in positional]
    kwargs = {name: recipe.build() for name, recipe in keywords.items()}
    kind, got = outcome(lambda: getattr(tavlomer, function)(*args, **kwargs))

    where = f"{function}(*{positional!r}, **{keywords!r})"
    if expected[0] == "value":
        assert kind == "value", f"{where}: raised {got!r}, expected {expected[1]!r}"
        assert same_value(got, expected[1]), f"{where}: {got!r} != {expected[1]!r}"
        return kind, got
    assert kind == "raised", f"{where}: returned {got!r}, expected a raise"
    want = expected[1]
    if isinstance(want, Expected):
        assert type(got) is want.exc_type, f"{where}: {type(got)} {got!r}, expected {want.exc_type}"
        assert text_form(got) == want.message, f"{where}: {got!r} != {want.message!r}"
        if want.exc_type in (TypeError, PanicException):
            # Made by the module: the message is the one argument.
            assert got.args == (want.message,), f"{where}: args {got.args!r}"
        cause = got.__cause__
        assert (None if cause is None else type(cause)) is want.cause_type, where
    else:
        # A failure of the model itself, as the plain call shows it.
        assert type(got) is type(want) and got.args == want.args, f"{where}: {got!r} != {want!r}"
    return kind, got
