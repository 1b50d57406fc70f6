import korvale


def test_module_doc_is_empty():
    assert korvale.__doc__ == ""


def test_all_is_a_list():
    assert isinstance(korvale.__all__, list)
