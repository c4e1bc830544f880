"""The README's Python blocks run, in order, as a newcomer would paste them."""

import pathlib

import pytest

from tests.python_blocks import python_blocks, run_blocks

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def test_the_python_blocks_of_the_readme_run_in_order(tmp_path, monkeypatch):
    blocks = python_blocks(README.read_text(encoding="utf-8"))
    assert blocks, "the README has no Python blocks"
    monkeypatch.chdir(tmp_path)  # anything a block writes lands in a scratch folder
    named = [(f"README.md python block {number}", block) for number, block in enumerate(blocks, start=1)]
    skipped = run_blocks(named, {"__name__": "__readme__"})
    if skipped:
        pytest.skip("not run: " + "; ".join(skipped))
