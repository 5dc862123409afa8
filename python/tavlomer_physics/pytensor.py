"""The functions of tavlomer_physics as PyTensor operations, for PyMC models.

Each takes the arguments of its NumPy namesake as PyTensor variables (or
anything ``pytensor.tensor.as_tensor_variable`` takes): u, rho and the
coefficients broadcast together, ``rtol`` a fixed keyword (part of the
operation, not a variable), and the table's ``radii`` fixed numbers with
``intensity`` a variable whose last axis holds the entries.  It returns the
magnification as a float64 variable of the broadcast shape.

Gradients are the module's analytic derivatives (``gradient=True``).  A
graph that needs both the value and its gradient (a PyMC log-density and its
gradient, as NUTS compiles them) computes them in one call: a rewrite gives
the value node the value output of the gradient's node on the same inputs.

The operations run the NumPy functions in PyTensor's default (C or Python)
backend; under PyTensor's JAX backend (``pm.sample(nuts_sampler="numpyro")``
or ``"blackjax"``, ``mode="JAX"``) they become the functions of
``tavlomer_physics.jax``, whose derivatives are the same.

Broadcasting follows PyTensor's rule, stricter than NumPy's: an axis is
stretched only where the variable's type says it has length 1 (a NumPy
constant does; ``pytensor.tensor.specify_broadcastable`` says so of a
variable), since the gradient must be summed back over exactly those axes.
Arrays whose lengths differ anywhere else raise ``ValueError`` naming them.
"""

import functools
import importlib.util
import inspect

import numpy as np
import pytensor.tensor as pt
from pytensor.gradient import grad_not_implemented
from pytensor.graph.basic import Apply
from pytensor.graph.op import Op
from pytensor.graph.rewriting.basic import node_rewriter
from pytensor.tensor.rewriting.basic import register_canonicalize

from tavlomer_physics import _core, _traced_signature

__all__ = list(_core.__all__)


class Magnification(Op):
    """One law of tavlomer_physics as a PyTensor operation.

    ``law`` names the function, ``rtol`` its accuracy (None for ``uniform``),
    ``radii`` the table of ``tabulated`` (a tuple, else None).  With
    ``gradient`` the operation returns the value and then its derivative in
    each input, each of the value's shape (the intensity's with the table's
    entries on a trailing axis), as ``gradient=True`` returns them."""

    __props__ = ("law", "rtol", "radii", "gradient")

    def __init__(self, law, rtol=None, radii=None, gradient=False):
        self.law = law
        self.rtol = rtol
        self.radii = radii
        self.gradient = gradient
        self.names = _arguments(law)

    def __str__(self):
        return f"tavlomer_physics.{self.law}" + ("_and_gradient" if self.gradient else "")

    def _keywords(self):
        keywords = {} if self.rtol is None else {"rtol": self.rtol}
        return keywords, (() if self.radii is None else (np.array(self.radii),))

    def _result_shape(self, inputs):
        """The static shape of the result: right-aligned, an axis is of length 1
        only where every input's is (or is missing), of a known length where an
        input's is known and not 1."""
        shapes = [self._element_shape(j, x.type.shape) for j, x in enumerate(inputs)]
        ndim = max(len(s) for s in shapes)
        result = []
        for axis in range(-ndim, 0):
            lengths = [s[axis] for s in shapes if len(s) >= -axis]
            known = {n for n in lengths if n is not None and n != 1}
            if len(known) > 1:
                listed = ", ".join(f"{name} {s}" for name, s in zip(self.names, shapes))
                raise ValueError(f"the shapes do not broadcast together: {listed}")
            if known:
                result.append(known.pop())
            elif all(n == 1 for n in lengths):
                result.append(1)
            else:
                result.append(None)
        return tuple(result)

    def _rows(self, j):
        """Whether input j has the table's entries on a trailing axis."""
        return self.radii is not None and j == 2

    def make_node(self, *inputs):
        if len(inputs) != len(self.names):
            raise TypeError(f"{self.law} takes {len(self.names)} arrays "
                            f"({', '.join(self.names)}), not {len(inputs)}")
        variables = []
        for name, x in zip(self.names, inputs):
            try:
                x = pt.as_tensor_variable(x)
            except (TypeError, ValueError, NotImplementedError):
                raise TypeError(f"{name} must be a real number or an array of real numbers, "
                                f"not {type(x).__name__}") from None
            if np.dtype(x.type.dtype).kind not in "fiub":
                raise TypeError(f"{name} must be a real number or an array of real numbers, "
                                f"not {x.type.dtype}")
            variables.append(pt.cast(x, "float64"))
        if self.radii is not None and variables[2].type.ndim < 1:
            raise ValueError("intensity must have the table's entries on its last axis")
        shape = self._result_shape(variables)
        outputs = [pt.tensor(dtype="float64", shape=shape)]
        if self.gradient:
            outputs += [pt.tensor(dtype="float64",
                                  shape=shape + (x.type.shape[-1:] if self._rows(j) else ()))
                        for j, x in enumerate(variables)]
        return Apply(self, variables, outputs)

    def perform(self, node, inputs, output_storage):
        self._check_broadcast(node, inputs)
        try:
            results = self._call(inputs)
        except ValueError:
            # rho, the coefficients or a profile outside their domain: NaN in
            # those elements, as under JAX, so that a sampler's step there is
            # rejected instead of ending the run.
            results = self._call_where_valid(inputs)
        for storage, result in zip(output_storage, results):
            storage[0] = np.asarray(result, dtype=np.float64)

    def _call(self, inputs):
        keywords, radii = self._keywords()
        function = getattr(_core, self.law)
        results = function(*inputs[:2], *radii, *inputs[2:], **keywords, gradient=self.gradient)
        return results if self.gradient else (results,)

    def _call_where_valid(self, inputs):
        """The results where the element's arguments are valid, NaN elsewhere.
        Each distinct combination of rho and the coefficients (the profile) is
        tried once at u = 0 by the NumPy function itself, whose rules decide."""
        shape = np.broadcast_shapes(*(self._element_shape(j, np.shape(x))
                                      for j, x in enumerate(inputs)))
        flat = [np.broadcast_to(x, shape + np.shape(x)[-1:]).reshape(-1, np.shape(x)[-1])
                if self._rows(j) else np.broadcast_to(x, shape).reshape(-1, 1)
                for j, x in enumerate(inputs)]
        columns = np.concatenate(flat[1:], axis=1)
        distinct, which = np.unique(columns, axis=0, return_inverse=True)
        keywords, radii = self._keywords()
        function = getattr(_core, self.law)
        valid_distinct = np.ones(len(distinct), dtype=bool)
        for k, row in enumerate(distinct):
            arguments, start = [], 0
            for j, x in enumerate(flat[1:], start=1):
                width = x.shape[1]
                arguments.append(row[start:start + width] if self._rows(j) else row[start])
                start += width
            try:
                function(0.0, arguments[0], *radii, *arguments[1:], **keywords)
            except ValueError:
                valid_distinct[k] = False
        valid = valid_distinct[np.ravel(which)]
        chosen = [x[valid] if self._rows(j) else x[valid, 0] for j, x in enumerate(flat)]
        found = self._call(chosen) if valid.any() else None
        results = []
        for i, output in enumerate(self._outputs_shapes(inputs, shape)):
            result = np.full((valid.size,) + output[len(shape):], np.nan)
            if found is not None:
                result[valid] = found[i]
            results.append(result.reshape(output))
        return results

    def _outputs_shapes(self, inputs, shape):
        shapes = [shape]
        if self.gradient:
            shapes += [shape + np.shape(x)[-1:] if self._rows(j) else shape
                       for j, x in enumerate(inputs)]
        return shapes

    def _element_shape(self, j, shape):
        """The part of input j's shape that broadcasts (the table's entries
        left out)."""
        return tuple(shape[:-1]) if self._rows(j) else tuple(shape)

    def _check_broadcast(self, node, inputs):
        """PyTensor stretches only the axes its types say are of length 1; the
        NumPy function would stretch any, and the gradient would then be
        summed over the wrong axes."""
        shapes = [self._element_shape(j, np.shape(x)) for j, x in enumerate(inputs)]
        try:
            result = np.broadcast_shapes(*shapes)
            stretched_unannounced = any(
                shape[axis] == 1 and result[axis] != 1
                and self._element_shape(j, x.type.shape)[axis] != 1
                for j, (x, shape) in enumerate(zip(node.inputs, shapes))
                for axis in range(-len(shape), 0))
        except ValueError:
            stretched_unannounced = True
        if stretched_unannounced:
            listed = ", ".join(f"{name} {s}" for name, s in zip(self.names, shapes))
            raise ValueError(
                f"the shapes do not broadcast together in PyTensor: {listed} (an axis of "
                f"length 1 is stretched only where the variable's type says so: see "
                f"pytensor.tensor.specify_broadcastable)")

    def infer_shape(self, fgraph, node, input_shapes):
        shapes = [self._element_shape(j, s) for j, s in enumerate(input_shapes)]
        statics = [self._element_shape(j, x.type.shape) for j, x in enumerate(node.inputs)]
        result = []
        for axis in range(-node.outputs[0].type.ndim, 0):
            # The length of an input not stretched along this axis (one of
            # length 1 where all are).
            lengths = [(s[axis], static[axis]) for s, static in zip(shapes, statics)
                       if len(s) >= -axis]
            result.append(next((n for n, static in lengths if static != 1), lengths[0][0]))
        result = tuple(result)
        if not self.gradient:
            return [result]
        return [result] + [result + (input_shapes[j][-1],) if self._rows(j) else result
                           for j in range(len(input_shapes))]

    def L_op(self, inputs, outputs, output_gradients):
        if self.gradient:
            return [grad_not_implemented(self, j, x, "second derivatives are not available")
                    for j, x in enumerate(inputs)]
        _, *partials = _op(self.law, self.rtol, self.radii, gradient=True)(*inputs)
        (g,) = output_gradients
        result = outputs[0]
        gradients = []
        for j, (x, partial) in enumerate(zip(inputs, partials)):
            term = (g[..., None] if self._rows(j) else g) * partial
            gradients.append(_sum_to(term, x, result.type.ndim))
        return gradients

    def grad(self, inputs, output_gradients):
        # Older PyTensor (and Theano's heirs) ask for grad; L_op is the current
        # method and has the outputs at hand.
        return self.L_op(inputs, [self(*inputs)], output_gradients)


def _sum_to(term, x, result_ndim):
    """`term` (of the result's shape, the intensity's trailing axis kept)
    summed back to the shape of `x`: over the leading axes `x` lacks and
    over the axes where `x` is stretched."""
    lead = term.type.ndim - x.type.ndim
    if lead:
        term = term.sum(axis=tuple(range(lead)))
    stretched = [axis for axis, (n, m) in enumerate(zip(x.type.shape, term.type.shape))
                 if n == 1 and m != 1]
    if stretched:
        term = term.sum(axis=stretched, keepdims=True)
    return term


def _arguments(law):
    """The names of the law's array arguments (radii, a fixed table, left out)."""
    signature = inspect.signature(getattr(_core, law))
    return [p.name for p in signature.parameters.values()
            if p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD and p.name != "radii"]


@functools.lru_cache(maxsize=None)
def _op(law, rtol, radii, gradient=False):
    return Magnification(law, rtol, radii, gradient)


@register_canonicalize
@node_rewriter([Magnification])
def tavlomer_physics_value_from_gradient(fgraph, node):
    """The value of a law whose gradient is also computed on the same inputs is
    the gradient node's own value output: one call of the module instead of
    two."""
    op = node.op
    if op.gradient or not hasattr(fgraph, "clients"):
        return None
    for client, _ in fgraph.clients.get(node.inputs[0], ()):
        if client is node or not isinstance(getattr(client, "op", None), Magnification):
            continue
        other = client.op
        same = (other.gradient and other.law == op.law and other.rtol == op.rtol
                and other.radii == op.radii and client.inputs == node.inputs)
        if same:
            return [client.outputs[0]]
    return None


# ---- The functions ---------------------------------------------------------------


def _make(name):
    numpy_function = getattr(_core, name)
    signature = _traced_signature(numpy_function)
    has_rtol = "rtol" in signature.parameters
    table = "radii" in signature.parameters

    def function(*args, **kwargs):
        bound = signature.bind(*args, **kwargs)
        bound.apply_defaults()
        values = dict(bound.arguments)
        rtol = values.pop("rtol", None)
        radii = values.pop("radii", None)
        if table:
            if not isinstance(radii, (list, tuple, np.ndarray)) or isinstance(radii, pt.Variable):
                raise TypeError("radii must be fixed numbers (a list, tuple or NumPy array), "
                                "not a PyTensor variable")
            radii = tuple(float(r) for r in np.asarray(radii, dtype=np.float64).ravel())
        # rtol and the table checked by the NumPy functions themselves, on a
        # valid point: the same exceptions and messages, from one place (rtol's
        # rule is every law's, so the uniform-disk law with c = 0 checks it).
        if table:
            numpy_function(0.0, 1.0, np.array(radii), np.ones(len(radii)), rtol=rtol)
        elif has_rtol:
            _core.linear(0.0, 1.0, 0.0, rtol=rtol)
        if has_rtol:
            rtol = float(rtol)
        return _op(name, rtol, radii)(*values.values())

    function.__name__ = function.__qualname__ = name
    function.__module__ = __name__
    function.__signature__ = signature
    function.__doc__ = (
        f"{name}{signature}\n\n"
        f"tavlomer_physics.{name} as a PyTensor operation: the same magnification as a\n"
        f"float64 variable, with the derivatives of gradient=True.  See the module's\n"
        f"documentation for broadcasting and backends.\n\n"
        + (numpy_function.__doc__ or "").split("\n\n", 1)[-1])
    return function


for _name in __all__:
    globals()[_name] = _make(_name)
del _name


# ---- PyTensor's JAX backend ---------------------------------------------------------


def _jax_function(op):
    """The operation as a JAX function of its inputs: tavlomer_physics.jax, and
    for the gradient's node the value and every partial, from one call (the
    per-element gradient of every argument at once)."""
    import jax
    import jax.numpy as jnp

    import tavlomer_physics.jax as tj

    law = getattr(tj, op.law)
    keywords = {} if op.rtol is None else {"rtol": op.rtol}
    radii = () if op.radii is None else (op.radii,)

    def value(u, rho, *rest):
        return law(u, rho, *radii, *rest, **keywords)

    if not op.gradient:
        return value

    def value_and_partials(*inputs):
        inputs = [jnp.asarray(x, jnp.float64) for x in inputs]
        shape = jnp.broadcast_shapes(*(x.shape[:-1] if op._rows(j) else x.shape
                                       for j, x in enumerate(inputs)))
        size = int(np.prod(shape))
        flat = [jnp.broadcast_to(x, shape + x.shape[-1:]).reshape((size,) + x.shape[-1:])
                if op._rows(j) else jnp.broadcast_to(x, shape).reshape(size)
                for j, x in enumerate(inputs)]
        every = tuple(range(len(inputs)))
        a, partials = jax.vmap(jax.value_and_grad(value, argnums=every))(*flat)
        return (a.reshape(shape),) + tuple(
            p.reshape(shape + p.shape[1:]) for p in partials)

    return value_and_partials


if importlib.util.find_spec("jax") is not None:
    from pytensor.link.jax.dispatch import jax_funcify

    @jax_funcify.register(Magnification)
    def _jax_funcify_magnification(op, **kwargs):
        return _jax_function(op)
