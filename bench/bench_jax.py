"""What calling tavlomer_physics through JAX costs beyond the NumPy call, in
one run: the FFI custom call of tavlomer_physics.jax beside the same NumPy
function wrapped in ``jax.pure_callback`` (the route not taken).

Each JAX route is a jitted function (what a JAX likelihood calls) given
arrays already on the device; each NumPy call is given NumPy arrays.  For 1
and 10^4 separations (rho = 0.1, u over [0, 3 rho]): microseconds of the
process's CPU time per call (all its threads: XLA's and the callback's
included; time the machine gives to other jobs excluded), the best of
interleaved rounds of many calls each, and each JAX route's fixed cost, its
time less the NumPy call's.  ``uniform`` shows the fixed
cost best (its work is a tenth of a microsecond per point); ``linear``,
value and value with gradient (``jit(vmap(grad))`` against
``gradient=True``), shows it beside real work.  Needs jax (CPython):

    python3 -m pip install ".[jax]" && python3 bench/bench_jax.py
"""

import time

import jax
import jax.numpy as jnp
import numpy as np

import tavlomer_physics as tp
import tavlomer_physics.jax as tj

jax.config.update("jax_enable_x64", True)

RHO = 0.1
C = 0.6


def per_call(call, seconds=0.02):
    """Microseconds of CPU time per call of call() over a batch of about
    `seconds`."""
    count = 1
    while True:
        start = time.process_time()
        for _ in range(count):
            call()
        elapsed = time.process_time() - start
        if elapsed >= seconds:
            return elapsed / count * 1e6
        count *= 2


def interleaved(calls, rounds=15):
    """The best over rounds of each call's microseconds, rounds interleaved
    so that the machine's drift falls on every route alike."""
    samples = {name: [] for name in calls}
    for _ in range(rounds):
        for name, call in calls.items():
            samples[name].append(per_call(call))
    return {name: min(values) for name, values in samples.items()}


def callback(function, results):
    """function (NumPy in, NumPy out) as a jax.pure_callback."""
    def wrapped(*arrays):
        return jax.pure_callback(lambda *a: tuple(np.asarray(r) for r in function(*a)),
                                 results(arrays[0].shape), *arrays, vmap_method="broadcast_all")
    return jax.jit(wrapped)


def routes(n):
    u_np = np.linspace(0.0, 3 * RHO, n)
    rho_np, c_np = np.float64(RHO), np.float64(C)
    u, rho, c = jnp.asarray(u_np), jnp.asarray(rho_np), jnp.asarray(c_np)

    def one(shape):
        return (jax.ShapeDtypeStruct(shape, jnp.float64),)

    def four(shape):
        return one(shape) * 4

    uniform_ffi = jax.jit(tj.uniform)
    uniform_cb = callback(lambda u, rho: (tp.uniform(u, rho),), lambda s: one(s))
    linear_ffi = jax.jit(tj.linear)
    linear_cb = callback(lambda u, rho, c: (tp.linear(u, rho, c),), lambda s: one(s))
    grad_ffi = jax.jit(jax.vmap(jax.value_and_grad(tj.linear, argnums=(0, 1, 2)),
                                in_axes=(0, None, None)))
    grad_cb = callback(lambda u, rho, c: tp.linear(u, rho, c, gradient=True), four)
    return {
        "uniform": {
            "NumPy": lambda: tp.uniform(u_np, rho_np),
            "JAX FFI": lambda: uniform_ffi(u, rho).block_until_ready(),
            "pure_callback": lambda: uniform_cb(u, rho)[0].block_until_ready(),
        },
        "linear": {
            "NumPy": lambda: tp.linear(u_np, rho_np, c_np),
            "JAX FFI": lambda: linear_ffi(u, rho, c).block_until_ready(),
            "pure_callback": lambda: linear_cb(u, rho, c)[0].block_until_ready(),
        },
        "linear, value and gradient": {
            "NumPy": lambda: tp.linear(u_np, rho_np, c_np, gradient=True),
            "JAX FFI": lambda: jax.block_until_ready(grad_ffi(u, rho, c)),
            "pure_callback": lambda: jax.block_until_ready(grad_cb(u, rho, c)),
        },
    }


def main():
    print(f"jax {jax.__version__}, jaxlib {jax.lib.__version__}, backend "
          f"{jax.default_backend()}; rho = {RHO}, c = {C}; us of CPU time per call, best of 15 rounds\n")
    print("| function | points | NumPy | JAX FFI | fixed cost | pure_callback | fixed cost |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for n in (1, 10_000):
        for name, calls in routes(n).items():
            for call in calls.values():  # compile and warm up
                call()
            t = interleaved(calls)
            base = t["NumPy"]
            print(f"| {name} | {n} | {base:.1f} | {t['JAX FFI']:.1f} | "
                  f"{t['JAX FFI'] - base:+.1f} | {t['pure_callback']:.1f} | "
                  f"{t['pure_callback'] - base:+.1f} |")


if __name__ == "__main__":
    main()
