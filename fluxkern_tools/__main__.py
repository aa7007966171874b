"""``python -m fluxkern_tools``: the command line (see :mod:`fluxkern_tools.apps.cli`)."""

from .apps.cli import main

main()
