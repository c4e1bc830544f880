"""The documentation site: every Python block of its pages runs, in the order of the site's
navigation, and the site builds with warnings as errors."""

import ast
import importlib.util
import inspect
import pathlib
import subprocess
import sys

import pytest
import yaml

from tests.python_blocks import python_blocks, run_blocks

ROOT = pathlib.Path(__file__).resolve().parent.parent
DOCS = ROOT / "docs"


def navigation_pages(entries):
    """The pages of a mkdocs.yml `nav`, depth first, as the site lists them."""
    for entry in entries:
        target = next(iter(entry.values())) if isinstance(entry, dict) else entry
        if isinstance(target, list):
            yield from navigation_pages(target)
        else:
            yield target


def site_pages():
    config = yaml.safe_load((ROOT / "mkdocs.yml").read_text(encoding="utf-8"))
    return list(navigation_pages(config["nav"]))


def test_every_page_with_examples_is_in_the_navigation():
    listed = set(site_pages())
    with_examples = {
        page.relative_to(DOCS).as_posix()
        for page in DOCS.rglob("*.md")
        if python_blocks(page.read_text(encoding="utf-8"))
    }
    assert with_examples, "no page of the site has a Python block"
    assert with_examples <= listed, f"pages whose examples would not run: {sorted(with_examples - listed)}"


def test_the_python_blocks_of_the_site_run_in_navigation_order(tmp_path, monkeypatch):
    named = [
        (f"docs/{page} python block {number}", block)
        for page in site_pages()
        for number, block in enumerate(python_blocks((DOCS / page).read_text(encoding="utf-8")), start=1)
    ]
    assert named, "the site has no Python blocks"
    monkeypatch.chdir(tmp_path)  # anything a block writes lands in a scratch folder
    skipped = run_blocks(named, {"__name__": "__docs__"})
    if skipped:
        pytest.skip("not run: " + "; ".join(skipped))


needs_docs_extra = pytest.mark.skipif(
    importlib.util.find_spec("mkdocstrings_handlers") is None,
    reason='needs the docs extra: pip install ".[docs]"',
)


@needs_docs_extra
def test_the_site_builds_with_warnings_as_errors(tmp_path):
    build = subprocess.run(
        [sys.executable, "-m", "mkdocs", "build", "--strict", "--site-dir", str(tmp_path / "site")],
        cwd=ROOT,
        check=False,
        capture_output=True,
        text=True,
    )
    assert build.returncode == 0, build.stderr
    # the compiled modules' signatures come from their stubs, with the types stubs.pat gives
    reference = (tmp_path / "site" / "api" / "rtl" / "index.html").read_text(encoding="utf-8")
    assert "dense_parallelism" in reference and "PerStep" in reference


@needs_docs_extra
def test_the_reference_gives_each_node_kind_the_signature_of_its_dataclass():
    import griffe

    from zelka.ir import NODE_KINDS

    extensions = griffe.load_extensions(f"{DOCS / 'node_kinds.py'}:NodeKindSignatures")
    ir = griffe.load("zelka.ir", allow_inspection=False, extensions=extensions)
    for kind in NODE_KINDS:
        written = [p for p in ir[kind.__name__]["__init__"].parameters if p.name != "self"]
        actual = list(inspect.signature(kind).parameters.values())
        assert [(p.name, p.kind.name) for p in written] == [(p.name, p.kind.name.lower()) for p in actual], (
            kind.__name__
        )
        for shown, parameter in zip(written, actual):
            if parameter.default is inspect.Parameter.empty:
                assert shown.default is None, (kind.__name__, parameter.name)
                continue
            try:  # a literal default is the dataclass's; an expression (a table lookup) is shown as written
                literal = ast.literal_eval(str(shown.default))
            except ValueError:
                continue
            assert literal == parameter.default, (kind.__name__, parameter.name)
