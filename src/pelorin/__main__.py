"""python -m pelorin: the `pelorin` command."""
import sys

from .cli import main

sys.exit(main())
