"""Hypothesis settings shared by the Python tests."""

import os

from hypothesis import settings

# Under the sanitizers every call is several times slower: fewer examples.
settings.register_profile(
    "quernlet", max_examples=12 if os.environ.get("QUERNLET_SANITIZED") == "1" else 80,
    deadline=None)
settings.load_profile("quernlet")
