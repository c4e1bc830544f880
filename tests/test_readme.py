"""The README's Python blocks run, in order, as a newcomer would paste them."""

import importlib.util
import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
# Libraries the package does not install; a block importing one runs only where it is.
OPTIONAL = ("torch", "snntorch")


def missing_libraries(block):
    return [
        name
        for name in OPTIONAL
        if re.search(rf"^\s*(import|from) {name}\b", block, flags=re.MULTILINE)
        and importlib.util.find_spec(name) is None
    ]


def test_the_python_blocks_of_the_readme_run_in_order(tmp_path, monkeypatch):
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), flags=re.DOTALL)
    assert blocks, "the README has no Python blocks"
    monkeypatch.chdir(tmp_path)  # anything a block writes lands in a scratch folder
    namespace = {"__name__": "__readme__"}
    skipped = []
    for number, block in enumerate(blocks, start=1):
        missing = missing_libraries(block)
        if missing:
            skipped.append(f"block {number} (needs {', '.join(missing)})")
            continue
        exec(compile(block, f"README.md python block {number}", "exec"), namespace)  # noqa: S102
    if skipped:
        pytest.skip("not run: " + "; ".join(skipped))
