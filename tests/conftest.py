"""Fixtures shared by the module's test files."""

import pytest
from _hovra import Database


@pytest.fixture
def db(tmp_path):
    """A fresh, empty four-dimensional Euclidean database."""
    return Database(str(tmp_path / "db"), dim=4, metric="euclidean")
