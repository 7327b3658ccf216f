# The extension's build rules live in python/build_ext.py; setuptools only
# looks for ext_modules here.
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "python"))
from build_ext import setup_arguments  # noqa: E402
from setuptools import setup  # noqa: E402

setup(**setup_arguments())
