import pytest

import thalren_native


@pytest.fixture(scope="session")
def tn():
    return thalren_native
