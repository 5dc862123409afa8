import tavlomer
import tavlomer_testing


def test_imports():
    assert tavlomer.__name__ == "tavlomer"
    assert tavlomer_testing.__name__ == "tavlomer_testing"
