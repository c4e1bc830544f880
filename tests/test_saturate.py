"""Saturation of values to a precision's range."""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from zelka.backend.cpu.graph_utils import saturate

RANGES = {
    "fp32": (-3.4028234663852886e38, 3.4028234663852886e38),
    "fp16": (-65504.0, 65504.0),
    "int16": (-32768.0, 32767.0),
    "int8": (-128.0, 127.0),
    "int4": (-8.0, 7.0),
    "ap_fixed<16,6>": (-32.0, 32.0 - 2.0**-10),
    "ap_fixed<8,1>": (-1.0, 1.0 - 2.0**-7),
    "ap_fixed<4,6>": (-32.0, 32.0 - 4.0),
}


@pytest.mark.parametrize("precision", list(RANGES))
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_float_values_are_clipped_to_the_range(precision, dtype):
    lo, hi = RANGES[precision]
    big = -1e300 if dtype == np.float64 else -1e38
    values = np.array([-np.inf, big, lo, -0.0, 0.5, hi, 3e38, np.inf, np.nan], dtype=dtype)
    out = saturate(values, precision)
    assert out.dtype == values.dtype and out.shape == values.shape and out is not values
    expected = np.clip(values.astype(np.float64), lo, hi)
    finite = ~np.isnan(values)
    assert np.all(out[finite] <= hi) and np.all(out[finite] >= lo)
    assert np.isnan(out[-1])
    # inside the range values are untouched, signed zeros included
    assert np.signbit(out[3])
    assert np.allclose(out[finite].astype(np.float64), expected[finite], rtol=1e-6)


@given(
    hnp.arrays(st.sampled_from([np.float32, np.float64]), hnp.array_shapes(max_dims=3, max_side=5)),
    st.sampled_from(list(RANGES)),
)
@settings(max_examples=200, deadline=None)
def test_saturate_matches_clip_with_inward_bounds(values, precision):
    lo, hi = RANGES[precision]
    info = np.finfo(values.dtype)
    lo_t = max(np.asarray(lo, values.dtype), -info.max) if values.dtype == np.float32 else lo
    hi_t = min(np.asarray(hi, values.dtype), info.max) if values.dtype == np.float32 else hi
    if values.dtype == np.float32 and float(np.float32(hi)) > hi:
        hi_t = np.nextafter(np.float32(hi), np.float32(-np.inf))
    expected = np.clip(values, values.dtype.type(lo_t), values.dtype.type(hi_t))
    out = saturate(values, precision)
    np.testing.assert_array_equal(out, expected)
    assert out.dtype == values.dtype


# fmt: off
@pytest.mark.parametrize("dtype, precision, expected", [
    (np.int8, "int4", [-8, -8, 0, 7, 7]), (np.int32, "int8", [-128, -100, 0, 100, 127]),
    (np.int64, "ap_fixed<16,6>", [-32, -32, 0, 31, 31]), (np.uint8, "int4", [0, 0, 0, 7, 7]),
    (np.int16, "fp32", [-200, -100, 0, 100, 200]),
])
def test_integer_values_keep_their_dtype(dtype, precision, expected):
    values = np.array([-200, -100, 0, 100, 200]).clip(np.iinfo(dtype).min, np.iinfo(dtype).max).astype(dtype)
    out = saturate(values, precision)
    assert out.dtype == dtype and out.tolist() == expected
# fmt: on


def test_other_dtypes_and_layouts():
    half = np.array([np.inf, 60000, 1.5, -np.inf], dtype=np.float16)
    assert saturate(half, "fp16").tolist() == [65504.0, 60000.0, 1.5, -65504.0]
    assert saturate(half, "int4").dtype == np.float16
    big_endian = np.array([1e6, -3.0], dtype=">f8")
    out = saturate(big_endian, "int8")
    assert out.dtype == big_endian.dtype and out.tolist() == [127.0, -3.0]
    strided = np.arange(20, dtype=np.float64)[::2].reshape(2, 5)
    assert saturate(strided, "int4").tolist() == np.clip(strided, -8, 7).tolist()
    assert saturate(np.array([True, False]), "int4").tolist() == [True, False]
    assert saturate(3.5, "int4").shape == () and saturate([[9.0]], "int4").tolist() == [[7.0]]


@pytest.mark.parametrize("precision", ["fp8", "ap_fixed<16>", "ap_fixed<0,1>", "", None, 8])
def test_unknown_precision_is_named(precision):
    with pytest.raises(ValueError, match="Unknown precision " + repr(precision).replace("[", r"\[")):
        saturate(np.zeros(2), precision)


def test_complex_values_are_rejected():
    with pytest.raises(TypeError, match="real numbers"):
        saturate(np.zeros(2, complex), "fp32")


# fmt: off
# ap_fixed<W,I> is read in one form only: the name, '<' right after it, two integers (W in
# 1..1024, I in -1024..1024, spaces around them allowed) and '>' ending the text
WRITTEN_FORMS = {
    "ap_fixed<16,6>": (-32.0, 32.0 - 2.0**-10),
    "ap_fixed< 16 , 6 >": (-32.0, 32.0 - 2.0**-10),
    "ap_fixed<016,06>": (-32.0, 32.0 - 2.0**-10),
    "ap_fixed<1,1>": (-1.0, 0.0),
    "ap_fixed<8,-2>": (-0.125, 0.125 - 2.0**-10),
    "ap_fixed<1024,1024>": (-(2.0**1023), 2.0**1023 - 1.0),
    "ap_fixed<1,-1024>": (-(2.0**-1025), 0.0),
}
REFUSED_FORMS = [
    " ap_fixed<16,6>", "ap_fixed<16,6> ", "ap_fixed <16,6>", "AP_FIXED<16,6>", "ap_fixed<\t16,6>",
    "ap_fixed<16,6,AP_RND>", "ap_fixed<16,6,AP_RND_CONV,AP_SAT>", "ap_fixed<16,6,>", "ap_fixed<16,6>>",
    "ap_fixed<<16,6>", "ap_fixed<16;6>", "ap_fixed<16.0,6>", "ap_fixed<+16,6>", "ap_fixed<16,6",
    "ap_fixed<0,1>", "ap_fixed<1025,6>", "ap_fixed<16,1025>", "ap_fixed<16,-1025>",
    "ap_fixed<99999999999,6>", "ap_ufixed<16,6>", "ap_int<8>", "ap_uint<8>", "ap_fixed<>", "ap_fixed<16>",
]
# fmt: on


@pytest.mark.parametrize("precision", list(WRITTEN_FORMS))
def test_ap_fixed_names_give_their_range(precision):
    lo, hi = WRITTEN_FORMS[precision]
    out = saturate(np.array([-np.inf, lo, 0.0, hi, np.inf]), precision)
    assert out.tolist() == [lo, lo, 0.0, hi, hi]


@pytest.mark.parametrize("precision", REFUSED_FORMS)
def test_other_ap_type_texts_are_unknown_precisions(precision):
    with pytest.raises(ValueError, match="^Unknown precision "):
        saturate(np.zeros(2), precision)
