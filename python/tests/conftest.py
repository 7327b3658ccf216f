import os

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# The shared corpora sit beside the repository; corpus tests skip without them.
SHARED = os.environ.get("ZARVEL_SHARED_DIR") or os.path.join(ROOT, "..", "shared")


def shared_path(*parts):
    path = os.path.join(SHARED, *parts)
    if not os.path.exists(path):
        pytest.skip(f"{path} is absent")
    return path


def shared_entries(*parts):
    """Sorted names in a shared folder; empty when the folder is absent."""
    path = os.path.join(SHARED, *parts)
    return sorted(os.listdir(path)) if os.path.isdir(path) else []
