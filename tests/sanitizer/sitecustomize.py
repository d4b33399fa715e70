"""Run at the start of every Python process of the sanitizer test run (make test-asan).

Two libraries that velorin uses keep objects for the life of the process and
drop the last pointers to them while the interpreter shuts down: scipy.special
its ufuncs (scipy.spatial imports it), orjson its module state. LeakSanitizer
reports those at exit. They are imported here with leak detection switched
off for this thread, so that exactly the allocations made by these imports are
exempt; everything velorin_core allocates stays visible.
"""

import ctypes

try:
    _runtime = ctypes.CDLL(None)
    _disable, _enable = _runtime.__lsan_disable, _runtime.__lsan_enable
except (OSError, AttributeError):  # not running under the sanitizers
    pass
else:
    _disable()
    try:
        import orjson  # noqa: F401
        import scipy.spatial  # noqa: F401
    except ImportError:
        pass
    finally:
        _enable()
