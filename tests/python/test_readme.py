"""The Python example of the README runs as written."""

import pathlib
import re
import subprocess
import sys

README = pathlib.Path(__file__).parents[2] / "README.md"


def python_section_example():
    text = README.read_text()
    section = text.split("\n## Python\n", 1)[1].split("\n## ", 1)[0]
    blocks = re.findall(r"```python\n(.*?)```", section, re.S)
    assert blocks, "the README's Python section has no example"
    return blocks[0]


def test_readme_example_runs_as_written(tmp_path):
    script = tmp_path / "example.py"
    script.write_text(python_section_example())
    done = subprocess.run([sys.executable, str(script)], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0] == "(120, 160) float32"
    left, right = (float(v) for v in lines[1].split(":")[1].split())
    assert left < 0 and right < 0, "motion to the right makes Un negative on both sides"
    assert lines[-1] == "Invalid Data Type 0x80070057"
