"""bfloat16, float8 and int4 parameter arrays (ml_dtypes) in the IR layer and every service.

What numpy itself answers with ml_dtypes installed is the reference of every comparison: the
same result, or the same exception where numpy cannot evaluate a pair (numpy 1.x has no
common type for bfloat16 and half, say).
"""

import itertools
import json
import math
import re

import ml_dtypes
import numpy as np
import pytest

from ondrel import ir

# NaN and infinities are the point of several cases here: numpy's warnings about them are not.
pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")
from ondrel.sdk.analyze import analyze_node
from ondrel.sdk.cli.formats import plain
from ondrel.sdk.compare import _array_statistics, compare_arrays
from ondrel.sdk.fingerprint import fingerprint_graph
from ondrel.sdk.lint import lint_graph
from ondrel.sdk.report import ModelView
from ondrel.sdk.tensor_sizes import node_tensors
from ondrel.sdk.testing import _numpy_statistics, array_statistics, assert_graphs_close

BF16, E4M3, E5M2, I4, U4 = (ml_dtypes.bfloat16, ml_dtypes.float8_e4m3fn, ml_dtypes.float8_e5m2, ml_dtypes.int4,
                            ml_dtypes.uint4)
# dtype -> (name in the file's tensor header, name in the raw table or None, unsigned storage of the same size)
LOW_PRECISION = {BF16: ("BF16", None, np.uint16), E4M3: ("F8_E4M3", None, np.uint8),
                 E5M2: ("F8_E5M2", None, np.uint8), I4: ("U8", "I4", np.uint8), U4: ("U8", "U4", np.uint8)}
INTEGERS = (I4, U4)


def values(dtype, shape=(3, 4)):
    """Small values every type holds exactly: 0..11 (uint4, int4: shifted into range)."""
    numbers = np.arange(math.prod(shape)).reshape(shape) % 16
    return (numbers - 8 if dtype is I4 else numbers).astype(dtype)


def chain(middle):
    return ir.Graph({"in": ir.Input(), "mid": middle, "out": ir.Output()}, [("in", "mid"), ("mid", "out")])


def is_integer(array):
    return array.dtype.kind in "biu" or array.dtype.type in INTEGERS


def numpy_answer(a, b, atol=1e-6, rtol=1e-5):
    """compare_arrays spelled with numpy: (match, max_diff), or the exception numpy raises."""
    try:
        difference = np.subtract(a, b, dtype=object) if is_integer(a) and is_integer(b) else a - b
        largest = float(np.max(np.abs(difference))) if a.size else 0.0
        return bool(np.allclose(a, b, atol=atol, rtol=rtol)), largest
    except Exception as error:  # what numpy cannot evaluate
        return type(error), str(error)


def sdk_answer(a, b, atol=1e-6, rtol=1e-5):
    try:
        match, largest = compare_arrays(a, b, atol, rtol)
        return bool(match), largest
    except Exception as error:
        return type(error), str(error)


def same_answer(x, y):
    return x[0] == y[0] and (x[1] == y[1] or (isinstance(x[1], float) and math.isnan(x[1]) and math.isnan(y[1])))


def numpy_refuses(a, b):
    """The exception numpy raises on np.isclose(a, b), or None: numpy 1.x has no common type for
    bfloat16 or float8_e4m3fn and half (nor, before ml_dtypes 0.3.2, for int4)."""
    try:
        np.isclose(a[:1], b[:1])
    except Exception as error:
        return error
    return None


def assert_refused_alike(error, a, b):
    with pytest.raises(type(error), match=re.escape(str(error))):
        compare_arrays(a, b)


# ---------------------------------------------------------------- dtype x operation


@pytest.mark.parametrize("dtype", LOW_PRECISION, ids=lambda t: t.__name__)
def test_write_and_read_mapped_and_in_memory(tmp_path, dtype):
    from safetensors import deserialize

    weight, scalar = values(dtype), values(dtype, (1,))[0]
    path = tmp_path / "g.o1c"
    ir.write(path, ir.Graph({"fc": ir.Affine(weight=weight)}, [], {"scalar": scalar}))
    for mapped in (True, False):
        back = ir.read(path, mmap=mapped)
        read = back.nodes["fc"].weight
        assert read.dtype == weight.dtype and read.shape == weight.shape and read.tobytes() == weight.tobytes()
        assert (read.base is not None) is mapped  # a mapped read views the file in place
        assert type(back.metadata["scalar"]) is dtype and back.metadata["scalar"].tobytes() == scalar.tobytes()
    # Still a container other readers read: the header names the tensor, the bytes are ml_dtypes' own.
    tensor_name, raw_name, _ = LOW_PRECISION[dtype]
    (name, tensor), = deserialize(path.read_bytes())
    assert tensor["dtype"] == tensor_name and bytes(tensor["data"]) == weight.tobytes()
    header = json.loads(path.read_bytes()[8:8 + int.from_bytes(path.read_bytes()[:8], "little")])
    assert json.loads(header["__metadata__"]["ondrel.graph"])["raw"] == ({name: [raw_name, [3, 4]]} if raw_name else {})


def test_int4_bytes_round_trip_as_they_are(tmp_path):
    weight = -np.array([1, 2, -3], I4)  # ml_dtypes may leave the high four bits set, here or elsewhere
    graph = chain(ir.Affine(weight=np.array([0x1F, 0xF2, 0x03], np.uint8).view(I4)))
    ir.write(tmp_path / "g.o1c", graph)
    back = ir.read(tmp_path / "g.o1c")
    assert back.nodes["mid"].weight.tobytes() == b"\x1f\xf2\x03"
    assert fingerprint_graph(back) == fingerprint_graph(graph)  # raw bytes: a stamp still verifies
    expected = np.array([-1, 2, 3], I4)
    if not numpy_refuses(expected, expected):  # compared by their values, the low four bits
        assert compare_arrays(back.nodes["mid"].weight, expected) == (True, 0.0)
        assert compare_arrays(weight, np.array([-1, -2, 3], I4)) == (True, 0.0)


@pytest.mark.parametrize("value, fragment", [
    (values(BF16).view(np.dtype(BF16).newbyteorder(">")), "numeric or bool dtype"),  # byte-swapped
    (np.zeros(2, ml_dtypes.float8_e4m3fnuz), "dtype float8_e4m3fnuz"),
    (np.zeros(2, getattr(ml_dtypes, "complex32", ml_dtypes.float8_e5m2fnuz)), "numeric or bool dtype"),
])
def test_what_files_cannot_hold_is_refused_on_write(tmp_path, value, fragment):
    with pytest.raises(ValueError, match="attribute 'weight'") as error:
        ir.write(tmp_path / "g.o1c", chain(ir.Affine(weight=value)))
    assert fragment in str(error.value)


@pytest.mark.parametrize("dtype", LOW_PRECISION, ids=lambda t: t.__name__)
def test_analysis_lint_and_report(dtype):
    tau = np.array([0, 3, 5, 7] * 300).astype(dtype)  # mean 3.75; numpy's own mean in the type is wrong
    lif = ir.LIF(tau=tau, v_threshold=np.array([2, 6], dtype), output_type={"output": np.array([1, 4])})
    stats = analyze_node("lif", lif)
    assert (stats.params, stats.bytes) == (1202, 1202 * np.dtype(dtype).itemsize)
    assert stats.config == {"tau_mean": 3.75, "threshold": 4.0}
    codes = [issue.code for issue in lint_graph(chain(lif)).issues]
    assert "LIF_LOW_TAU" in codes and "LIF_NONPOSITIVE_THRESHOLD" not in codes
    if not numpy_refuses(tau, tau):  # a failing assertion says where and by how much
        changed = ir.LIF(tau=tau.copy(), v_threshold=lif.v_threshold, output_type=lif.output_type)
        changed.tau[7] = dtype(1)
        with pytest.raises(AssertionError, match=r"Greatest absolute difference: [46] at index \(7,\)"):
            assert_graphs_close(chain(lif), chain(changed))

    (tau_size, threshold_size) = node_tensors("lif", lif)
    bits = {BF16: 16, E4M3: 8, E5M2: 8, I4: 4, U4: 4}[dtype]
    assert (tau_size.dtype, tau_size.bits, tau_size.bytes, tau_size.stored_bytes) == (
        np.dtype(dtype).name, bits, 1200 * bits // 8, tau.nbytes)
    page = ModelView(chain(lif)).html()
    assert f"{np.dtype(dtype).name} (1200,)" in page


@pytest.mark.parametrize("dtype", LOW_PRECISION, ids=lambda t: t.__name__)
def test_empty_scalar_and_strided_arrays_go_through_every_service(tmp_path, dtype):
    from ondrel.sdk import analyze_graph, compare_graphs

    for array in (np.zeros((0, 3), dtype), values(dtype, (1,)).reshape(()), values(dtype, (4, 6))[::2, ::-3]):
        graph = chain(ir.LIF(tau=array, r=array))
        assert analyze_graph(graph).total_params == 2 * array.size
        if array.size:
            lint_graph(graph)
        ir.write(tmp_path / "g.o1c", graph)
        assert fingerprint_graph(ir.read(tmp_path / "g.o1c")) == fingerprint_graph(graph)
        if not numpy_refuses(values(dtype), values(dtype)):
            assert compare_graphs(graph, str(tmp_path / "g.o1c")).identical
            assert_graphs_close(graph, tmp_path / "g.o1c")


def test_an_int4_matrix_is_sized_at_4_bits():
    (size,) = node_tensors("fc", ir.Affine(weight=np.zeros((4096, 4096), I4)))
    assert (size.bytes, size.stored_bytes) == (8_388_608, 16_777_216)


@pytest.mark.parametrize("dtype", LOW_PRECISION, ids=lambda t: t.__name__)
def test_fingerprint_hashes_the_raw_bytes(dtype):
    storage = LOW_PRECISION[dtype][2]
    weight = values(dtype, (6, 8))
    for array in (weight, weight[:, ::2], weight.T):  # in place, and strided in row-major order
        raw = np.ascontiguousarray(array).view(storage)
        assert fingerprint_graph(chain(ir.Affine(weight=array))) == fingerprint_graph(chain(ir.Affine(weight=raw)))


@pytest.mark.parametrize("dtype", LOW_PRECISION, ids=lambda t: t.__name__)
def test_json_writes_numbers(dtype):
    array = values(dtype, (2,))
    expected = [float(v) for v in array.astype(np.float64)]
    assert json.loads(json.dumps(plain({"a": array, "s": array[1]}))) == {"a": expected, "s": expected[1]}


# ---------------------------------------------------------------- comparison against numpy

NUMPY_TYPES = [np.bool_, np.int8, np.uint8, np.int16, np.int32, np.uint64, np.float16, np.float32, np.float64]


def samples(dtype, rng, size=48):
    """Values of ``dtype`` that make comparisons interesting: nearly equal, far apart, special."""
    numbers = rng.standard_normal(size) * 10.0 ** rng.integers(-4, 4, size)
    special = [0.0, -0.0, 1.0, -1.0, 7.0, -8.0, 15.0, 100.0, 448.0, 500.0, 57344.0, np.inf, -np.inf, np.nan]
    numbers[: len(special)] = special
    if dtype in INTEGERS or np.dtype(dtype).kind in "biu":
        low, high = (-8, 7) if dtype is I4 else (0, 15) if dtype is U4 else (-100, 100)
        return np.clip(np.nan_to_num(numbers, posinf=high, neginf=low), low, high).astype(np.int64).astype(dtype)
    with np.errstate(over="ignore", invalid="ignore"):
        return numbers.astype(dtype)


@pytest.mark.parametrize("dtype_b", list(LOW_PRECISION) + NUMPY_TYPES, ids=lambda t: t.__name__)
@pytest.mark.parametrize("dtype_a", list(LOW_PRECISION), ids=lambda t: t.__name__)
def test_compare_arrays_and_statistics_agree_with_numpy(dtype_a, dtype_b):
    rng = np.random.default_rng(7)
    for a0, b0 in ((samples(dtype_a, rng), samples(dtype_b, rng)),):
        near = (a0.astype(np.float64) * 1.001).astype(dtype_b) if dtype_b not in INTEGERS else b0
        for a, b in ((a0, b0), (b0, a0), (a0, near), (a0, a0.copy()), (a0[::3], b0[::3])):
            for atol, rtol in ((1e-6, 1e-5), (0.1, 0.1), (0.0, 0.0), (-0.0, 0.0), (0.5, -0.5), (math.nan, 0.1)):
                assert same_answer(sdk_answer(a, b, atol, rtol), numpy_answer(a, b, atol, rtol))
                native = _array_statistics(a, b, atol, rtol)
                if native is not None:  # where the kernel reads the pair, it agrees with the numpy spelling
                    spelled = _numpy_statistics(a, b, atol, rtol)
                    assert all(x == y or (isinstance(x, float) and math.isnan(x) and math.isnan(y))
                               for x, y in zip(native, spelled))


CODES = np.arange(256, dtype=np.uint8)
EVERY_PAIR = (np.repeat(CODES, 256), np.tile(CODES, 256))  # 65,536 pairs of bit patterns


@pytest.mark.parametrize("kinds", list(itertools.product([E4M3, E5M2], repeat=2)),
                         ids=lambda kinds: f"{kinds[0].__name__}-{kinds[1].__name__}")
def test_every_pair_of_float8_bit_patterns(kinds):
    a, b = EVERY_PAIR[0].view(kinds[0]), EVERY_PAIR[1].view(kinds[1])
    if error := numpy_refuses(a, b):
        return assert_refused_alike(error, a, b)
    for atol, rtol in ((1e-6, 1e-5), (0.5, 0.25)):
        close = np.isclose(a, b, atol=atol, rtol=rtol)
        magnitude = np.abs(a - b).astype(np.float64)
        # The verdict of every element: the pairs numpy finds close are close together, and
        # each of the others fails on its own (counted by the statistics).
        assert compare_arrays(a[close], b[close], atol, rtol)[0]
        assert array_statistics(a[~close], b[~close], atol, rtol).mismatched == np.count_nonzero(~close)
        # From 2^18 elements on, pairs are looked up in a table: the same answers.
        assert same_answer(sdk_answer(np.tile(a, 4), np.tile(b, 4), atol, rtol), numpy_answer(a, b, atol, rtol))
    found = np.array([compare_arrays(a[i:i + 1], b[i:i + 1])[1] for i in range(a.size)])
    assert np.array_equal(found, magnitude, equal_nan=True)  # and |a - b| of every pair


def test_bfloat16_near_the_tolerance_and_with_nan_and_infinities():
    rng = np.random.default_rng(11)
    every = np.arange(65536, dtype=np.uint32).astype(np.uint16)
    y = every.view(BF16)
    if error := numpy_refuses(y, y):
        return assert_refused_alike(error, y, y)
    for atol, rtol in ((1e-6, 1e-5), (1e-3, 1e-2), (0.0, 0.01)):
        for step in (1, 2, 5, -1, -3, 40):  # x a few bfloat16 steps from y: around every tolerance
            x = (every.astype(np.int64) + step).astype(np.uint16).view(BF16)
            close = np.isclose(x, y, atol=atol, rtol=rtol)
            assert sdk_answer(x[close], y[close], atol, rtol) == numpy_answer(x[close], y[close], atol, rtol)
            for i in rng.choice(np.flatnonzero(~close), 200):
                assert same_answer(sdk_answer(x[i:i + 1], y[i:i + 1], atol, rtol),
                                   numpy_answer(x[i:i + 1], y[i:i + 1], atol, rtol))
    base = rng.standard_normal(10_001).astype(BF16)  # odd length: a last element on its own
    for special in (np.nan, np.inf, -np.inf):
        other = base.copy()
        other[5_000] = special
        for a, b in ((base, other), (other, base), (other, other), (other[::2], base[::2])):
            assert same_answer(sdk_answer(a, b), numpy_answer(a, b))


def test_int4_edges_are_exact():
    lowest, highest = np.array([-8, 7], I4), np.array([7, -8], I4)
    if error := numpy_refuses(lowest, highest):
        return assert_refused_alike(error, lowest, highest)
    assert compare_arrays(lowest, highest) == (False, 15.0)  # numpy's int4 a - b would wrap around to -1
    assert compare_arrays(np.array([0, 15], U4), np.array([15, 0], U4)) == (False, 15.0)
    assert compare_arrays(np.array([-8], I4), np.array([127], np.int8)) == (False, 135.0)
    # ml_dtypes reads the low four bits only: bytes that differ above them hold equal values
    assert compare_arrays(np.array([0x1F], np.uint8).view(I4), np.array([-1], I4)) == (True, 0.0)
