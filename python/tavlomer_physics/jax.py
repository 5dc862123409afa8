"""The functions of tavlomer_physics for JAX: usable under ``jax.jit``,
``jax.grad``, ``jax.jacfwd``, ``jax.jacrev``, ``jax.vmap`` and their
compositions, on the CPU.

Each takes the arguments of its NumPy namesake (u, rho and the coefficients
as arrays that broadcast together; ``rtol`` a static keyword; the table's
``radii`` static, ``intensity`` an array with the entries on its last axis)
and returns the same magnification, to the bit, as a float64 array.  It is
an XLA custom call (XLA's FFI) to the module's own C++ core, which runs
without the interpreter; its derivatives are the module's analytic ones
(``gradient=True``), computed in the same call as the value and contracted
with the tangents by a ``jax.custom_jvp`` rule, which JAX transposes for
reverse mode.

float64 only: with ``jax_enable_x64`` off, every function raises
``RuntimeError`` instead of computing in float32.  Checked while tracing,
with the NumPy functions' exceptions and messages: ``rtol`` and ``radii``
(which must be concrete, not traced), the arguments' types and whether
their shapes broadcast.  Checked at run time, element by element, because
they depend on traced values: ``rho`` (positive and finite), the
coefficients and the intensity profile; where they fail, that element of
the result and of its derivatives is NaN.
"""

import ctypes
import functools
import inspect
from pathlib import Path

import jax
import jax.numpy as jnp
import numpy as np

from tavlomer_physics import _core, _traced_signature

__all__ = list(_core.__all__)

# XLA finds the handlers by these names; the library that holds them is
# built beside the extension (src/lib/physics_xla/handlers.cpp).
_TARGETS = ("uniform", "parametric", "tabulated")
_LIBRARY = Path(__file__).with_name("_xla.so")


def _register_targets():
    library = ctypes.cdll.LoadLibrary(str(_LIBRARY))
    for target in _TARGETS:
        symbol = f"tavlomer_physics_{target}"
        jax.ffi.register_ffi_target(symbol, jax.ffi.pycapsule(getattr(library, symbol)),
                                    platform="cpu")


_register_targets()


# ---- Checks made while tracing ------------------------------------------------


def _require_x64():
    if not jax.config.read("jax_enable_x64"):
        raise RuntimeError(
            "tavlomer_physics.jax computes in float64 only, and jax_enable_x64 is off "
            "(JAX would make every array float32): set jax.config.update('jax_enable_x64', "
            "True) or JAX_ENABLE_X64=1 before calling")


def _concrete(value, name):
    """A static argument as a NumPy value: a traced one cannot be checked or
    baked into the call."""
    if isinstance(value, jax.core.Tracer):
        raise TypeError(f"{name} must be concrete (a number or a NumPy array), not a traced "
                        f"value: it is static, so keep it out of jit's traced arguments")
    return value


def _operand(value, name):
    """An array argument as jit takes it (a number, a NumPy or JAX array; a
    nested list becomes an array here), after checking that it is real."""
    if isinstance(value, (int, float)):  # bool included: read as a number, as NumPy does
        value = np.float64(value)
    elif not isinstance(value, (jax.Array, np.ndarray, np.generic)):
        try:
            value = jnp.asarray(value)
        except (TypeError, ValueError):
            raise TypeError(f"{name} must be a real number or an array of real numbers, "
                            f"not {type(value).__name__}") from None
    dtype = np.dtype(value.dtype)
    if not (np.issubdtype(dtype, np.floating) or np.issubdtype(dtype, np.integer)
            or dtype == np.bool_):
        raise TypeError(f"{name} must be a real number or an array of real numbers, "
                        f"not {dtype}")
    return value


def _broadcast(named_shapes):
    try:
        return np.broadcast_shapes(*(shape for _, shape in named_shapes))
    except ValueError:
        listed = ", ".join(f"{name} {shape}" for name, shape in named_shapes)
        raise ValueError(f"the shapes do not broadcast together: {listed}") from None


# ---- The custom call and its derivative ----------------------------------------


def _rows(static, index):
    """Whether operand `index` has the table's entries on a trailing axis."""
    return static[0] == "tabulated" and index == 2


def _custom_call(static, operands, gradient):
    """The handler's results: the value, then with gradient the derivative in
    each operand, each of the result's shape (the intensity's with the
    table's entries on a trailing axis)."""
    target, attributes = static
    # Each operand is a single number (a single profile) or of the result's
    # shape: the handler repeats the former, also when vmap broadcasts them
    # all along its axes (one element or profile per batch).
    shape = np.broadcast_shapes(*(operand.shape[:-1] if _rows(static, j) else operand.shape
                                  for j, operand in enumerate(operands)))
    results = [jax.ShapeDtypeStruct(shape, jnp.float64)]
    if gradient:
        results += [jax.ShapeDtypeStruct(shape + operand.shape[-1:] if _rows(static, j) else shape,
                                         jnp.float64) for j, operand in enumerate(operands)]
    call = jax.ffi.ffi_call(f"tavlomer_physics_{target}", results, vmap_method="broadcast_all")
    return call(*operands, **{key: value if not isinstance(value, tuple) else np.array(value)
                              for key, value in attributes})


@functools.partial(jax.jit, static_argnums=(0, 1, 2))
def _evaluate(static, shapes, result_shape, *operands):
    """The operands in float64 (read exactly), each brought to its shape (a
    single number stays one, the others are broadcast to the result's
    shape), and the magnification: one compiled call, so that an eager call
    dispatches once; under an outer jit it is traced inline."""
    brought = []
    for operand, shape in zip(operands, shapes):
        operand = jnp.asarray(operand, jnp.float64)
        same_size = operand.size == int(np.prod(shape))
        brought.append(operand.reshape(shape) if same_size else jnp.broadcast_to(operand, shape))
    return _magnification(static, *brought).reshape(result_shape)


@functools.partial(jax.custom_jvp, nondiff_argnums=(0,))
def _magnification(static, *operands):
    return _custom_call(static, operands, gradient=False)[0]


def _magnification_jvp(static, primals, tangents):
    # The value and every partial in one call; an argument that is not
    # differentiated (a symbolic zero) adds nothing, not 0 times a partial
    # that may be infinite (the limb).  A single number's tangent broadcasts
    # over the partials (and JAX sums its cotangent over them).
    value, *partials = _custom_call(static, primals, gradient=True)
    tangent = None
    for j, (partial, direction) in enumerate(zip(partials, tangents)):
        if isinstance(direction, jax.custom_derivatives.SymbolicZero):
            continue
        term = partial * direction
        if _rows(static, j):  # the intensity's entries
            term = jnp.sum(term, axis=-1)
        tangent = term if tangent is None else tangent + term
    if tangent is None:
        tangent = jnp.zeros_like(value)
    return value, tangent


_magnification.defjvp(_magnification_jvp, symbolic_zeros=True)


# ---- The functions ---------------------------------------------------------------


def _make(name):
    numpy_function = getattr(_core, name)
    signature = _traced_signature(numpy_function)
    arrays = [p.name for p in signature.parameters.values()
              if p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD]
    table = arrays[2:] == ["radii", "intensity"]

    def function(*args, **kwargs):
        _require_x64()
        bound = signature.bind(*args, **kwargs)
        bound.apply_defaults()
        values = dict(bound.arguments)
        static_values = {}
        probe = {}
        if "rtol" in values:
            static_values["rtol"] = _concrete(values.pop("rtol"), "rtol")
        if table:
            radii = _concrete(values.pop("radii"), "radii")
            probe["radii"] = radii
            probe["intensity"] = np.ones(np.shape(radii))
        # The static arguments checked by the NumPy function itself, on a
        # valid point: the same exceptions and messages, from one place.
        # (Coefficients 0 give the uniform disk; power2's alpha must be positive.)
        if static_values:
            numpy_function(*([0.0, 1.0] + [1.0 if argument == "alpha" else 0.0
                                           for argument in arrays[2:] if argument not in probe]),
                           **probe, **static_values)
        operands = [_operand(values[argument], argument) for argument in values]
        named = [(argument, np.shape(operand)) for argument, operand in zip(values, operands)]
        if table:
            radii = np.asarray(radii, dtype=np.float64)
            entries = named[-1][1]
            if len(entries) < 1 or entries[-1] != radii.shape[0]:
                raise ValueError("radii and intensity must have the same length")
            named[-1] = ("intensity", entries[:-1])
        shape = _broadcast(named)
        # A single number (a single profile) goes to the handler as it is;
        # the rest is broadcast to the result's shape.
        shapes = tuple((() if np.prod(named_shape) == 1 else shape)
                       + np.shape(operand)[len(named_shape):]
                       for operand, (_, named_shape) in zip(operands, named))
        attributes = []
        if "rtol" in static_values:
            attributes.append(("rtol", np.float64(static_values["rtol"])))
        if table:
            target = "tabulated"
            attributes.append(("radii", tuple(float(r) for r in radii)))
        elif "rtol" in static_values:
            target = "parametric"
            attributes.append(("law", name))
        else:
            target = "uniform"
        return _evaluate((target, tuple(attributes)), shapes, shape, *operands)

    function.__name__ = function.__qualname__ = name
    function.__module__ = __name__
    function.__signature__ = signature
    function.__doc__ = (
        f"{name}{signature}\n\n"
        f"tavlomer_physics.{name} for JAX (jit, grad, jacfwd, jacrev, vmap): the same\n"
        f"magnification to the bit, as a float64 array; its derivatives are those of\n"
        f"gradient=True.  See the module's documentation for the checks.\n\n"
        # The NumPy function's text, less its threads paragraph.
        + (numpy_function.__doc__ or "").split("\n\nthreads:", 1)[0].split("\n\n", 1)[-1])
    return function


for _name in __all__:
    globals()[_name] = _make(_name)
del _name
