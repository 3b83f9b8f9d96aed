"""Corvenda: e-mail sending for Python."""
