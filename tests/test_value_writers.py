"""The core value model's writers, alone: Python literal text against repr() and eval(), JSON
text against json.dumps()."""

import json
import math
import unicodedata
from decimal import Decimal

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from zelka.backend.fpga.hlsbridge import _json_text, _python_literal

BIG = st.integers(min_value=-(10**40), max_value=10**40)


def tree(text, floats):
    scalars = st.none() | st.booleans() | st.integers() | BIG | floats | text
    keys = text | st.integers() | BIG
    return st.recursive(
        scalars,
        lambda children: st.lists(children) | st.lists(children).map(tuple) | st.dictionaries(keys, children),
        max_leaves=25,
    )


# Characters repr() writes as they are (printable) or as \xHH (control characters): the writer
# escapes exactly the control characters and keeps everything else.
REPR_TEXT = st.text(st.characters(categories=["L", "M", "N", "P", "S", "Zs", "Cc"]))


def same(a, b):
    """Equal values of the same types at every level, NaN equal to NaN."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return a == b or (math.isnan(a) and math.isnan(b))
    if isinstance(a, list | tuple):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b, strict=True))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return a == b


@settings(max_examples=150)
@given(tree(REPR_TEXT.filter(lambda s: all(c.isprintable() or unicodedata.category(c) == "Cc" for c in s)),
            st.floats(allow_nan=False, allow_infinity=False)))  # fmt: skip
def test_python_literal_is_what_repr_writes(value):
    assert _python_literal(value) == repr(value)


@settings(max_examples=150)
@given(tree(st.text(), st.floats()))
def test_python_literal_reads_back_as_the_same_value(value):
    assert same(eval(_python_literal(value)), value)


# fmt: off
@pytest.mark.parametrize("value, literal", [
    (math.nan, "float('nan')"), (-math.inf, "-float('inf')"), ([math.inf, 1e16, 1e-05], "[float('inf'), 1e+16, 1e-05]"),
    ((7,), "(7,)"), ((), "()"), ({"k": (1, [])}, "{'k': (1, [])}"), (Decimal("1.5"), "'1.5'"),
    ("it's", '"it\'s"'), ("'\"", "'\\'\"'"), ("\x85\u2028\x7f", "'\\x85\u2028\\x7f'"), (2**64, "18446744073709551616"),
])
def test_python_literal_special_values(value, literal):
    assert _python_literal(value) == literal
# fmt: on


JSON_KEYS = st.text() | st.integers() | BIG | st.floats() | st.booleans() | st.none()


@settings(max_examples=150)
@given(
    st.recursive(
        st.none() | st.booleans() | st.integers() | BIG | st.floats() | st.text(),
        lambda children: (
            st.lists(children) | st.lists(children).map(tuple) | st.dictionaries(JSON_KEYS, children)
        ),
        max_leaves=25,
    ),
    st.sampled_from([-1, 0, 2, 4]),
)
def test_json_text_is_what_json_dumps_writes(value, indent):
    assert _json_text(value, indent) == json.dumps(value, indent=indent)


def test_json_text_of_values_json_cannot_write():
    assert _json_text({(1, "a"): Decimal("2.5"), "\U0001f600": ["é\x7f"]}) == (
        '{\n  "(1, \'a\')": "2.5",\n  "\\ud83d\\ude00": [\n    "\\u00e9\\u007f"\n  ]\n}'
    )
