import velorin_core


def test_module_imports():
    assert velorin_core.__doc__ == ""
