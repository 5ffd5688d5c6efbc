"""python -m tavrin.datastructures: the tavrin-ds command (with no command, a tour)."""
import sys

from tavrin.datastructures.cli import main

if __name__ == "__main__":
    sys.exit(main())
