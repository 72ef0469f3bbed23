"""Fixtures for the end-to-end tests: a private Wine prefix and a loopback OpenSSH server."""

import time


def wait_for(condition, seconds=60):
    """Polls `condition` until it holds or `seconds` pass; True when it held."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.05)
    return False
