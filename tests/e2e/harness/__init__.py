"""Fixtures for the end-to-end tests: a private Wine prefix and a loopback OpenSSH server."""
