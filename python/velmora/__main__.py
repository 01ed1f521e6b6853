"""``python -m velmora``: the command line of velmora.cli."""

import os
import sys

from .cli import main

try:
    status = main()
    sys.stdout.flush()
except BrokenPipeError:
    # The reader went away (``| head``); say nothing more on a closed pipe.
    os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    status = 1
sys.exit(status)
