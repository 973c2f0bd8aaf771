# The one place the package version is set (pyproject.toml and setup.py read it).
__version__ = "0.1.0"
