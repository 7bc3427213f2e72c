"""Element types of parameter arrays: numpy's own numbers and the low-precision types of ml_dtypes.

ml_dtypes adds bfloat16, float8 and int4 types to numpy. Their dtypes have
``kind == "V"`` (float8_e5m2 has ``"f"``) and several share one ``dtype.str``
(``"<V1"``), so they are recognised here by their scalar type, never by kind or
text. ml_dtypes takes about half a second to import in its recent versions, so it
is imported only when a file holds such a tensor: an array of one of its types
cannot exist before ml_dtypes has been imported, so until then nothing is one.
"""

import sys
from typing import NamedTuple, Optional

import numpy as np


class LowPrecision(NamedTuple):
    name: str  # the dtype's name, as numpy and ml_dtypes print it
    bits: int  # the width of one element's value (int4 is stored one element per byte)
    integer: bool


# The name of each type in .o1c files -> the type. Float names are the common tensor-file
# format's; int4 and uint4, which it has no name for, are stored as bytes under I4 and U4.
LOW_PRECISION = {
    "BF16": LowPrecision("bfloat16", 16, False),
    "F8_E4M3": LowPrecision("float8_e4m3fn", 8, False),
    "F8_E5M2": LowPrecision("float8_e5m2", 8, False),
    "I4": LowPrecision("int4", 4, True),
    "U4": LowPrecision("uint4", 4, True),
}

# numpy's own scalar types of numbers (bool included), whatever their byte order.
_NUMPY_NUMBERS = frozenset({np.bool_, np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint16, np.uint32,
                            np.uint64, np.float16, np.float32, np.float64, np.longdouble, np.complex64,
                            np.complex128, np.clongdouble, np.intc, np.uintc, np.longlong, np.ulonglong})

_by_type: dict = {}  # ml_dtypes scalar type -> its name in files, once ml_dtypes is imported


def _known_types():
    if not _by_type and "ml_dtypes" in sys.modules:
        module = sys.modules["ml_dtypes"]
        _by_type.update({getattr(module, entry.name): name for name, entry in LOW_PRECISION.items()})
    return _by_type


def low_precision_name(dtype) -> Optional[str]:
    """The file name ("BF16", "F8_E4M3", "F8_E5M2", "I4", "U4") of a low-precision dtype in native
    byte order, else None."""
    if dtype.type in _NUMPY_NUMBERS or not (dtype.isnative or dtype.itemsize == 1):
        return None
    return _known_types().get(dtype.type)


def low_precision_dtype(name):
    """The numpy dtype of a name of ``LOW_PRECISION``, importing ml_dtypes; ValueError when it is missing."""
    try:
        import ml_dtypes
    except ImportError:
        raise ValueError(f"{name} tensors need the ml_dtypes package, which is not installed") from None
    return np.dtype(getattr(ml_dtypes, LOW_PRECISION[name].name))


def is_numpy_number(dtype) -> bool:
    """A bool, integer, float or complex dtype of numpy's own (no records, objects or subarrays)."""
    return dtype.type in _NUMPY_NUMBERS and dtype.fields is None and dtype.subdtype is None


def is_number(dtype) -> bool:
    """numpy's own numbers and the low-precision types: what parameter arrays may hold."""
    return is_numpy_number(dtype) or low_precision_name(dtype) is not None


def is_integer(dtype) -> bool:
    """Booleans and integers, int4 and uint4 included: their differences are taken exactly."""
    name = low_precision_name(dtype)
    return LOW_PRECISION[name].integer if name else dtype.kind in "biu"


def is_float(dtype) -> bool:
    """Real floating-point dtypes, bfloat16 and float8 included: those that can hold NaN."""
    name = low_precision_name(dtype)
    return not LOW_PRECISION[name].integer if name else dtype.kind == "f"


def element_bits(dtype) -> int:
    """The width of one element's value: 4 for int4 and uint4, else 8 bits per byte of storage."""
    name = low_precision_name(dtype)
    return LOW_PRECISION[name].bits if name else dtype.itemsize * 8


def value_bytes(array) -> int:
    """The size of an array's values at its dtype's bit width, in bytes (rounded up)."""
    return -(-array.size * element_bits(array.dtype) // 8)
