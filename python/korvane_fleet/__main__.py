"""python -m korvane_fleet: the command korvane-fleet."""

from korvane_fleet.cli import main

raise SystemExit(main())
