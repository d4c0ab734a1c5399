#!/usr/bin/env python3
"""The console measures of run.py alone: exec round trips, 1 MiB writes and
reads, and 100 consoles with 20 execs each gathered (S1); the options are
run.py's."""

from run import main

if __name__ == "__main__":
    main(("exec", "write", "read", "s1"))
