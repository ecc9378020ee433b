"""What needs no port: loading, errors and their texts."""
import errno
import os
import pickle
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
    # The library returns NULL, leaves the cause in errno and logs the
    # details; the exception carries both.
    for start in (Port.serve, Port.attach):
        # Values ctypes would wrap into a valid port, size or pause.
        for kwargs in ({"port_num": 2**32 + 3}, {"port_num": -1}, {"size": -5}, {"size": 2**32}, {"size": 0}):
            with pytest.raises(ValueError):
                start(**dict({"port_num": 0}, **kwargs))
        with pytest.raises(TypeError):
            start(1.0)
    with pytest.raises(ValueError):
        Port.attach(0, timeout_us=2**32)
    # A size too small for the rings: the library's own refusal.
    with pytest.raises(VexaPortError) as e:
        Port.serve(0, size=100)
    assert (e.value.errno, e.value.code) == (errno.EINVAL, -errno.EINVAL)
    assert e.value.strerror == os.strerror(errno.EINVAL)
    assert str(e.value).startswith("[Errno 22] cannot serve port 0: Invalid argument (")
    assert "too small" in str(e.value)
    # The channel's own codes have texts of their own.
    err = VexaPortError(-37198, "attach")
    assert (err.errno, err.code, err.strerror) == (37198, -37198, "connect error: Bad size")
    assert str(err) == "[Errno 37198] attach: connect error: Bad size"
    again = pickle.loads(pickle.dumps(e.value))
    assert (again.errno, again.code, str(again)) == (e.value.errno, e.value.code, str(e.value))
    assert vexa_port.strerror(-errno.ENOSPC) == os.strerror(errno.ENOSPC)
