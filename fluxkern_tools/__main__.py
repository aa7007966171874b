"""Entry point of ``python -m fluxkern_tools``."""

from .cli import main

main()
