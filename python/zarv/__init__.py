"""Read zarv compressed-FASTQ archives.

Everything here comes from the compiled core module `_zarv`; see its
docstrings for the functions and classes.
"""

import _zarv
from _zarv import *  # noqa: F401,F403

from . import remote  # noqa: E402,F401

__all__ = list(_zarv.__all__)
__doc__ = _zarv.__doc__
