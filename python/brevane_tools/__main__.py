"""`python -m brevane_tools` runs the `brevane` command-line tool."""

from brevane_tools.cli import main

raise SystemExit(main())
