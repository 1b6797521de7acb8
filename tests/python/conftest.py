"""Puts the built extension modules on sys.path.

The modules are looked up in $QUORREL_BUILD_DIR/src/python (default:
<repository>/build/src/python). Run the suite with Debian's interpreter:

    QUORREL_BUILD_DIR=build /usr/bin/python3 -m pytest tests/python
"""

import os
import pathlib
import sys

REPOSITORY = pathlib.Path(__file__).resolve().parents[2]
BUILD_DIR = pathlib.Path(os.environ.get("QUORREL_BUILD_DIR", REPOSITORY / "build")).resolve()
MODULE_DIR = BUILD_DIR / "src" / "python"

if not any(MODULE_DIR.glob("quorrel.*.so")):
    raise RuntimeError(f"quorrel extension module not found in {MODULE_DIR}; build it first "
                       "or point QUORREL_BUILD_DIR at the build tree")

sys.path.insert(0, str(MODULE_DIR))


import shutil
import tempfile

import pytest


@pytest.fixture
def shared_tmp():
    """A fresh directory under /tmp that the sandboxed command may use too.

    Commands run as uid 65534 when the tests run as root, so pytest's own
    tmp_path (mode 0700, owned by the test user) is out of their reach.
    """
    path = pathlib.Path(tempfile.mkdtemp(prefix="quorrel-test-", dir="/tmp"))
    path.chmod(0o777)
    yield path
    shutil.rmtree(path, ignore_errors=True)


@pytest.fixture
def sb():
    """An OS-level sandbox, closed after the test."""
    import quorrel

    with quorrel.Sandbox(isolation="os") as sandbox:
        yield sandbox
