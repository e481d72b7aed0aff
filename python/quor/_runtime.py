"""What a count runs on here: the package's version, the kernel variant, the threads."""
from __future__ import annotations

import platform
from typing import Any, Dict

import numpy as np

from . import _kernels


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

    info = dict(_kernels.runtime_info())
    return {"version": __version__, **info, "numpy": np.__version__,
            "python": platform.python_version()}
