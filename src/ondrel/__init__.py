"""Device control for lab instruments.

The package's modules are imported on demand (``import ondrel.Tarnel``);
importing the package itself loads nothing else.
"""
