"""What needs no port: loading, errors and their texts."""
import errno
import os
import re

import pytest

import vexa_port
from vexa_port import Port, VexaPortError

ROOT = os.path.join(os.path.dirname(__file__), "..", "..")


def test_loads_the_library_of_this_tree():
    with open(os.path.join(ROOT, "include", "vexa-port", "version.h")) as f:
        want = re.search(r'VEXA_PORT_VERSION_STRING "(.*)"', f.read()).group(1)
    assert vexa_port.version() == want
    assert vexa_port.port_count() == 4


def test_failures_raise_with_the_librarys_text():
    # The library only returns NULL and logs why; the exception carries it.
    for start in (Port.serve, Port.attach):
        with pytest.raises(VexaPortError) as e:
            start(vexa_port.port_count())
        assert e.value.errno == errno.EINVAL
        assert "Invalid argument" in str(e.value)
    # The channel's own codes have texts of their own.
    err = VexaPortError(-37198, "attach")
    assert err.code == -37198 and str(err).endswith("attach: connect error: Bad size")
    assert vexa_port.strerror(-errno.ENOSPC) == os.strerror(errno.ENOSPC)
