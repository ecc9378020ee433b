# The tests import the module from python/ of the source tree and load the
# library that VEXA_PORT_LIBRARY names (ctest points it at the build tree).
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "python"))


def pytest_configure(config):
    config.addinivalue_line("markers", "ports: uses the four fixed ports; run under the ports' lock")
