"""What the tests need to know about the interpreter that runs them: CPython
or PyPy, which differ in their C API and in when objects are freed."""

import gc
import platform

import pytest

PYPY = platform.python_implementation() == "PyPy"

# The interpreter's own text for an int outside the signed 64-bit range.
INT_TOO_BIG = "integer too large" if PYPY else "int too big to convert"


def pypy_cannot(reason):
    """Skips a test on PyPy only, where its C API cannot give the behaviour."""
    return pytest.mark.skipif(PYPY, reason=f"PyPy: {reason}")


def collect():
    """Frees every object that nothing refers to any more. CPython frees most at
    once; PyPy frees an object that C code held only once its collector has run
    a few times after the last C reference went away."""
    for _ in range(5 if PYPY else 1):
        gc.collect()
