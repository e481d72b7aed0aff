"""What a count runs on here: the package's version, the kernel variant, the threads."""
from __future__ import annotations

import os
import platform
import warnings
from typing import Any, Dict

import numpy as np

from . import _kernels

_pool_variables_checked = False


def warn_unparsed_pool_variables() -> None:
    """Warns, once per process, of each variable that could have sized the pool but whose
    value is not a whole number (the pool passed it over), naming it and its value."""
    global _pool_variables_checked
    if _pool_variables_checked:
        return
    _pool_variables_checked = True
    info = _kernels.runtime_info()  # makes the pool, as the count about to run would
    for name in info["threads_unparsed"]:
        warnings.warn(
            f"{name}={os.environ.get(name, '')!r} is not a whole number of threads and was "
            f"ignored: quor's pool has {info['threads']} threads ({info['threads_from']})",
            UserWarning, stacklevel=4)


def runtime_info() -> Dict[str, Any]:
    """What counts run on in this process, in the spirit of ``numpy.show_runtime()``.

    Returns
    -------
    dict
        ``version``: quor's version. ``kernel``: the kernel variant counts use
        (``'portable'``, ``'avx2'`` or ``'avx512'``), or None when ``QUOR_KERNEL`` asks
        for one this processor cannot run; ``kernel_error`` then says why (every count
        raises it), and is None otherwise. ``kernels``: the variants this processor and
        build run. ``threads``: the size of quor's thread pool; ``threads_from``: what
        set it (``QUOR_NUM_THREADS``, ``RAYON_NUM_THREADS``, ``RAYON_RS_NUM_CPUS`` or the
        processor count); ``threads_unparsed``: those variables passed over because their
        value is not a whole number. ``numpy`` and ``python``: their versions.

    Examples
    --------
    >>> import quor
    >>> info = quor.runtime_info()
    >>> info["kernel"] in info["kernels"]
    True
    """
    from . import __version__

    warn_unparsed_pool_variables()
    info = dict(_kernels.runtime_info())
    return {"version": __version__, **info, "numpy": np.__version__,
            "python": platform.python_version()}
