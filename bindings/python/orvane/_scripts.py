"""The commands that `pip install` makes (pyproject.toml, [project.scripts]).

- `orvane-flow`: the program orvane-flow that the package carries (orvane/bin/orvane-flow),
  started in place of this process, so that its options, messages, exit status and Ctrl-C are
  the program's own.
- `orvane-batch`: `python3 -m orvane.batch` under a shorter name.
"""

import os
import sys


def flow():
    from . import flow as _flow
    try:
        program = _flow.program()
    except FileNotFoundError as e:
        print(f"orvane-flow: {e}", file=sys.stderr)
        return 1
    sys.stdout.flush()
    sys.stderr.flush()
    os.execv(program, [program, *sys.argv[1:]])


def batch():
    from . import batch as _batch
    return _batch.main(prog="orvane-batch")
