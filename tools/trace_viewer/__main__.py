"""python3 tools/trace_viewer TRACE_FILE... (or python3 -m trace_viewer from tools/)"""
import os
import sys

sys.dont_write_bytecode = True   # no __pycache__ in the source tree
if not __package__:
    # Run as a folder: make the package importable by its name.
    sys.path[0] = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    from trace_viewer.cli import main
else:
    from .cli import main

sys.exit(main())
