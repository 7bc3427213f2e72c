import dataclasses
import math

import numpy as np
import pytest

from ondrel.sdk.compare import _array_statistics, compare_arrays
from ondrel.sdk.testing import ArrayStatistics, _numpy_statistics, array_statistics
from test_compare import DTYPES, TOLERANCES, random_pair, same_float

NAN, INF = math.nan, math.inf


def assert_native_like_numpy(a, b, atol=1e-6, rtol=1e-5):
    native = _array_statistics(a, b, atol, rtol)
    assert native is not None, (a.dtype, b.dtype)
    with np.errstate(all="ignore"):
        want = _numpy_statistics(a, b, atol, rtol)
    for got, expected in zip(native, want):
        assert (same_float(got, expected) if isinstance(expected, float) else got == expected), (a, b, native, want)
    match, max_diff = compare_arrays(a, b, atol, rtol)
    assert (native[1] == 0) == match
    assert a.size == 0 or same_float(native[2], max_diff)


@pytest.mark.parametrize("dtype_a", DTYPES)
@pytest.mark.parametrize("dtype_b", DTYPES)
def test_every_dtype_pair_matches_numpy(dtype_a, dtype_b):
    rng = np.random.default_rng([DTYPES.index(dtype_a), DTYPES.index(dtype_b), 16])
    for atol, rtol in TOLERANCES:
        a, b = random_pair(np.dtype(dtype_a), np.dtype(dtype_b), rng, 3000, atol, rtol)  # several blocks
        assert_native_like_numpy(a, b, atol, rtol)
        assert_native_like_numpy(a[:7], b[:7], atol, rtol)


LAYOUTS = {
    "transposed": lambda x: x.reshape(40, 75).T,
    "reversed": lambda x: x[::-1],
    "every third": lambda x: x[::3],
    "sliced block": lambda x: x.reshape(30, 100)[5:25:2, 90:3:-7],
    "0-d": lambda x: x[4:5].reshape(()),
    "empty": lambda x: x[:0].reshape(0, 5),
    "broadcast row": lambda x: np.broadcast_to(x[:10], (7, 10)),
}


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("dtypes", [("f4", "f4"), ("f2", "f8"), ("i8", "u8"), ("i1", "f4")])
def test_strided_layouts_index_row_major(layout, dtypes):
    a, b = random_pair(np.dtype(dtypes[0]), np.dtype(dtypes[1]), np.random.default_rng(3), 3000, 1e-3, 1e-3)
    view_a, view_b = LAYOUTS[layout](a), LAYOUTS[layout](np.roll(b, 1))  # the two walk different memory
    assert_native_like_numpy(view_a, view_b, 1e-3, 1e-3)


# What the definitions give, worked out by hand: the first occurrence wins, NaN is greatest,
# b == 0 is left out of the relative difference, integer differences are exact.
@pytest.mark.parametrize("a, b, expected", [
    ([1.0, 3.0, 0.0, 5.0], [1.0, 1.0, 0.0, 3.0], (4, 2, 2.0, 1, 2.0, 1, 0, 0, 0, 0)),
    ([0.0, 1.0, 2.0], [0.0, 0.0, 4.0], (3, 2, 2.0, 2, 0.5, 2, 0, 0, 0, 0)),
    ([1.0, NAN, NAN, INF], [1.0, 2.0, NAN, INF], (4, 2, NAN, 1, NAN, 1, 2, 1, 1, 1)),
    ([0.0, 0.0], [0.0, -0.0], (2, 0, 0.0, 0, None, None, 0, 0, 0, 0)),
    (np.array([2**63 - 1, 0], np.int64), np.array([-2**63, 0], np.int64),
     (2, 1, float(2**64 - 1), 0, float(2**64 - 1) / 2**63, 0, 0, 0, 0, 0)),
    (np.zeros((0, 3)), np.zeros((0, 3)), (0, 0, None, None, None, None, 0, 0, 0, 0)),
])
def test_worked_examples(a, b, expected):
    a, b = np.asarray(a, dtype=getattr(a, "dtype", np.float64)), np.asarray(b, dtype=getattr(b, "dtype", np.float64))
    with np.errstate(all="ignore"):
        for found in (_array_statistics(a, b, 1e-6, 1e-5), _numpy_statistics(a, b, 1e-6, 1e-5)):
            assert all(same_float(x, y) if isinstance(y, float) else x == y for x, y in zip(found, expected)), found


@pytest.mark.parametrize("convert", [lambda x: x.astype(x.dtype.newbyteorder(">")), lambda x: x.tolist(),
                                     lambda x: x.astype(np.complex128)])
def test_numpy_fallback_gives_the_native_answer(convert):
    a, b = random_pair(np.dtype("f8"), np.dtype("f8"), np.random.default_rng(5), 500, 1e-3, 1e-3)
    a, b = a.reshape(20, 25), b.reshape(20, 25)
    assert _array_statistics(convert(a), convert(b), 1e-3, 1e-3) is None
    with np.errstate(all="ignore"):
        fallback, native = array_statistics(convert(a), convert(b), 1e-3, 1e-3), array_statistics(a, b, 1e-3, 1e-3)
    assert math.isnan(native.max_abs_diff)
    assert all(same_float(x, y) if isinstance(y, float) else x == y
               for x, y in zip(dataclasses.astuple(fallback), dataclasses.astuple(native)))


def test_record_and_text():
    a = np.zeros((64, 128), np.float32)
    b = a.copy()
    b[3, 7] = 0.5
    stats = array_statistics(a, b)
    assert (stats.mismatched, stats.max_abs_index, stats.max_rel_index) == (1, (3, 7), (3, 7))
    assert stats.describe() == ["Mismatched elements: 1 / 8,192 (<0.1%)",
                                "Greatest absolute difference: 0.5 at index (3, 7) (up to 1e-06 allowed)",
                                "Greatest relative difference: 1 at index (3, 7) (up to 1e-05 allowed)"]
    reshaped = array_statistics(a, a.reshape(128, 64))
    assert not reshaped.match and reshaped.describe() == ["Shapes differ: (64, 128) in A, (128, 64) in B"]
    assert array_statistics(a, a) == ArrayStatistics((64, 128), (64, 128), 1e-6, 1e-5, 8192, 0, 0.0, (0, 0),
                                                     None, None)
