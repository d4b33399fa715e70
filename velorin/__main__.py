"""``python -m velorin``: the same as the ``velorin`` command."""

import sys

from velorin.cli import main

sys.exit(main())
