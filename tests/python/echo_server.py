"""Child process of test_ports.py: serves a port with callbacks and echoes
every byte back. Prints "ready" once served; when the client leaves, prints
what it saw and exits.   echo_server.py PORT SIZE"""
import hashlib
import logging
import sys
import threading

import vexa_port

logging.basicConfig(stream=sys.stderr, level=logging.WARNING)
port_num, size = int(sys.argv[1]), int(sys.argv[2])
digest = hashlib.sha256()
received = 0
close_errno = None
done = threading.Event()


def connected(port):
    global close_errno
    # Closing from the port's own callback must be refused, not deadlock.
    try:
        port.close()
    except vexa_port.VexaPortError as e:
        close_errno = e.errno
    # An exception here must be logged and go no further.
    raise RuntimeError("deliberate failure in on_connected")


def data(port, chunk):
    global received
    digest.update(chunk)
    received += len(chunk)
    port.sendall(chunk, timeout=10)


def disconnected(port):
    done.set()


with vexa_port.Port.serve(
    port_num, size=size, on_connected=connected, on_data=data, on_disconnected=disconnected
) as port:
    print("ready", flush=True)
    if not done.wait(60):
        sys.exit("no client came and went within 60 s")
print("received %d %s close_errno %s" % (received, digest.hexdigest(), close_errno), flush=True)
