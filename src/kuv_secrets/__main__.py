"""``python -m kuv_secrets``: the same command line as ``kuv-secrets``."""

import sys

from kuv_secrets.cli import main

if __name__ == "__main__":
    sys.exit(main())
