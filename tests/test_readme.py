"""The README's Python blocks run, in order, as a newcomer would paste them."""

import pathlib
import re

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


def test_the_readme_links_to_pages_that_exist():
    targets = re.findall(r"\]\(([^)#]+)(?:#[^)]*)?\)", README.read_text(encoding="utf-8"))
    local = [target for target in targets if "://" not in target]
    assert local, "the README links to no page of the documentation"
    missing = [target for target in local if not (README.parent / target).is_file()]
    assert not missing, f"the README links to missing pages: {missing}"
