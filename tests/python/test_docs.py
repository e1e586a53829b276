"""The Python examples in README.md and docs/python.md run as written."""

import re

import pytest

from conftest import ROOT

BLOCKS = [(page, block) for page in ("README.md", "docs/python.md")
          for block in re.findall(r"```python\n(.*?)```", (ROOT / page).read_text(), re.S)]


@pytest.mark.parametrize("page, block", BLOCKS)
def test_example_runs(page, block, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    exec(compile(block, page, "exec"), {})


def test_examples_found():
    assert len(BLOCKS) >= 3
