"""The README's Python blocks run, in order, as a newcomer would paste them."""

import pathlib
import re

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def test_the_python_blocks_of_the_readme_run_in_order(tmp_path, monkeypatch):
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), flags=re.DOTALL)
    assert blocks, "the README has no Python blocks"
    monkeypatch.chdir(tmp_path)  # anything a block writes lands in a scratch folder
    namespace = {"__name__": "__readme__"}
    for number, block in enumerate(blocks, start=1):
        exec(compile(block, f"README.md python block {number}", "exec"), namespace)  # noqa: S102
