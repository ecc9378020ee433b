"""Ports between processes: a Python server and client, and Python against the
console tool. These use the fixed port names, so ctest runs them under the
ports' lock."""
import errno
import hashlib
import os
import selectors
import subprocess
import sys
import time

import pytest

import vexa_port
from vexa_port import Event, Port

pytestmark = pytest.mark.ports
HERE = os.path.dirname(os.path.abspath(__file__))
# A fresh interpreter finds the module where this one did.
CHILD_ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))


def wait_events(sel, port, want, deadline):
    """Events of port until all of want were seen (or the deadline passes)."""
    seen = Event(0)
    while want & ~seen:
        left = deadline - time.monotonic()
        assert left > 0, "waited in vain for %r, saw %r" % (want, seen)
        if sel.select(left):
            seen |= port.events()
    return seen


def test_python_server_and_client_exchange_bytes():
    size = 64 * 1024
    payload = os.urandom(1 << 20)  # sixteen rings' worth: partial and full sends
    # A client may come first; until a server is there it has no link.
    with Port.attach(1, size=size, timeout_us=20_000) as client:
        with pytest.raises(vexa_port.VexaPortError) as e:
            client.send(b"x")
        assert e.value.errno == errno.EINVAL and "Invalid argument" in str(e.value)

        server = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "echo_server.py"), "1", str(size)],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=CHILD_ENV,
        )
        try:
            assert server.stdout.readline().strip() == "ready", server.stderr.read()
            sel = selectors.DefaultSelector()
            sel.register(client, selectors.EVENT_READ)
            deadline = time.monotonic() + 60
            wait_events(sel, client, Event.CONNECTED, deadline)
            # Send and read back at once: the echo fills this side's ring too.
            echoed, sent, buf = bytearray(), 0, bytearray(32 * 1024)
            while len(echoed) < len(payload):
                assert time.monotonic() < deadline, "echoed %d of %d" % (len(echoed), len(payload))
                if sent < len(payload):
                    sent += client.send(memoryview(payload)[sent : sent + 50_000])
                if sel.select(0.01) and client.events() & Event.DATA:
                    while n := client.recv_into(buf):
                        echoed += buf[:n]
            assert hashlib.sha256(echoed).digest() == hashlib.sha256(payload).digest()
            sel.unregister(client)
        finally:
            client.close()  # the server sees the client go and reports
            out, err = server.communicate(timeout=30)
    assert server.returncode == 0, err
    assert out.split() == [
        "received", str(len(payload)), hashlib.sha256(payload).hexdigest(),
        "close_errno", str(errno.EDEADLK),
    ]
    assert "deliberate failure in on_connected" in err  # logged, not propagated


def test_python_server_and_console_tool_through_the_descriptor():
    tool = os.environ.get("VEXA_SERVICE")
    if not tool:
        pytest.skip("VEXA_SERVICE names no vexa-port-service to run")
    with Port.serve(2) as port:  # the tool's size is everyone's default
        with pytest.raises(vexa_port.VexaPortError) as e:
            Port.serve(2)  # served already, if by this very process
        assert e.value.errno == errno.EBUSY and "already binded" in str(e.value)
        sel = selectors.DefaultSelector()
        sel.register(port.fileno(), selectors.EVENT_READ)
        assert not sel.select(0), "readable before anything happened"
        proc = subprocess.Popen(
            [tool, "arm", "2"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True
        )
        try:
            deadline = time.monotonic() + 30
            assert wait_events(sel, port, Event.CONNECTED, deadline)
            # The tool only sends while it knows it is attached.
            for line in proc.stdout:
                if line.strip() == "connected":
                    break
            proc.stdin.write("hello\n")
            proc.stdin.flush()
            wait_events(sel, port, Event.DATA, deadline)
            assert port.recv(100) == b"hello\0"
            assert port.recv(100) == b""  # nothing more waits
            assert port.send(b"pong\0") == 5
            for line in proc.stdout:
                if line.startswith("got "):
                    assert line.strip() == "got 'pong' len 5"
                    break
            proc.terminate()  # the tool detaches on SIGTERM
            proc.wait(timeout=10)
            wait_events(sel, port, Event.DISCONNECTED, deadline)
        finally:
            if proc.poll() is None:
                proc.kill()
            proc.wait()
            sel.unregister(port.fileno())
