"""python -m corvenda.testing: the development server (corvenda.testing._devserver)."""

import sys

from corvenda.testing._devserver import main

if __name__ == "__main__":
    sys.exit(main())
