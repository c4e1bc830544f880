"""Comparison of whole generated texts, showing a line diff when they differ."""

import difflib


def assert_same_text(actual: str, expected: str) -> None:
    if actual != expected:
        diff = difflib.unified_diff(
            expected.splitlines(keepends=True), actual.splitlines(keepends=True), "expected", "actual"
        )
        raise AssertionError("generated text differs:\n" + "".join(diff))
