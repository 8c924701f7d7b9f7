"""Stands in for pip's bootstrap script (get-pip.py) where ansible-test asks
for it: ansible-test downloads that script from a host of its own, which a
machine that reaches only the package index cannot.  Run as get-pip.py is,
with pip's install options and the packages to install: it puts the pip
that this interpreter bundles (ensurepip) into the environment, then lets
that pip install what was asked, from the package index."""

import runpy
import subprocess
import sys

GET_PIP_ONLY = ("--no-setuptools", "--no-wheel")  # get-pip.py's own options, not pip's

arguments = [argument for argument in sys.argv[1:] if argument not in GET_PIP_ONLY]
subprocess.run([sys.executable, "-m", "ensurepip", "--upgrade", "--default-pip"], check=True,
               stdout=subprocess.DEVNULL)
sys.argv = ["pip", "install"] + arguments
runpy.run_module("pip", run_name="__main__", alter_sys=True)
