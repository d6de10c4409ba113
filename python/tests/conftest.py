# The project's tests use the fixture that the package ships.
pytest_plugins = ["evalpanel.pytest_plugin"]
