"""python -m tavrin.datastructures: a tour of the package on a bundled example."""
import sys

from tavrin.datastructures.tour import run

if __name__ == "__main__":
    sys.exit(run())
