import pytest

import corvanedb


@pytest.fixture
def engine(tmp_path):
    """A fresh engine over an empty workspace."""
    return corvanedb.PyMetadataEngine(str(tmp_path / "ws"))
