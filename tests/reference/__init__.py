"""Small independent pure-Python/NumPy references for the tests."""
