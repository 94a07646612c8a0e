"""``python -m norsel_radar``: the command line (see ``norsel_radar.cli``)."""

import sys

from .cli import main

sys.exit(main())
