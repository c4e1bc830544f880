"""Running the ```python blocks of a Markdown text as a reader pastes them into one session."""

import importlib.util
import re

# Libraries the package does not install; a block importing one runs only where it is.
OPTIONAL = ("torch", "snntorch")


def python_blocks(markdown):
    return re.findall(r"```python\n(.*?)```", markdown, flags=re.DOTALL)


def missing_libraries(block):
    return [
        name
        for name in OPTIONAL
        if re.search(rf"^\s*(import|from) {name}\b", block, flags=re.MULTILINE)
        and importlib.util.find_spec(name) is None
    ]


def run_blocks(blocks, namespace):
    """Runs (source name, block) pairs in order in `namespace`; returns those skipped for a
    missing optional library, each named with what it needs."""
    skipped = []
    for source, block in blocks:
        missing = missing_libraries(block)
        if missing:
            skipped.append(f"{source} (needs {', '.join(missing)})")
            continue
        exec(compile(block, source, "exec"), namespace)  # noqa: S102
    return skipped
