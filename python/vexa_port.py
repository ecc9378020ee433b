"""Python binding of libvexa-port: a duplex byte channel between two processes
on one machine over named shared memory, through ctypes.

One process serves a port, another attaches to it; both then move bytes::

    import vexa_port

    with vexa_port.Port.serve(0, on_data=lambda port, data: port.send(data)) as port:
        ...                                   # echoes until the with block ends

    with vexa_port.Port.attach(0) as port:    # retries until a server is there
        ...

Events arrive either as callbacks, which run on the port's own thread (not
the thread that opened it), or through the port's event descriptor:
``fileno()`` suits ``selectors`` and ``asyncio``'s ``add_reader``, and
``events()`` then says what happened (``Event`` bits) and empties it.

The library is looked up as $VEXA_PORT_LIBRARY when set, else by
``ctypes.util.find_library("vexa-port")``, else by its soname
``libvexa-port.so.0``. Its log lines go to the ``logging`` logger
"vexa_port" (``route_logs(False)`` gives them back to standard output).
"""

import atexit
import ctypes
import ctypes.util
import enum
import errno
import logging
import operator
import os
import threading
import time

__all__ = [
    "DEFAULT_SIZE",
    "Event",
    "Port",
    "VexaPortError",
    "port_count",
    "route_logs",
    "set_debug",
    "strerror",
    "version",
]

log = logging.getLogger("vexa_port")

#: Region size that serve() and attach() use unless told otherwise, the same
#: 2 MiB as the console tools and the C++ layer (VEXA_PORT_DEFAULT_SIZE). Both
#: sides of a port must use the same size, or the client never attaches.
DEFAULT_SIZE = 2 << 20


def _load():
    override = os.environ.get("VEXA_PORT_LIBRARY")
    if override:
        # An explicit choice that fails is an error, not a reason to load
        # some other copy of the library instead.
        return ctypes.CDLL(override, use_errno=True)
    names = [n for n in (ctypes.util.find_library("vexa-port"), "libvexa-port.so.0") if n]
    failures = []
    for name in names:
        try:
            return ctypes.CDLL(name, use_errno=True)
        except OSError as e:
            failures.append(str(e))
    raise ImportError(
        "libvexa-port is not installed where the dynamic loader looks (%s); "
        "set VEXA_PORT_LIBRARY to its path" % "; ".join(failures)
    )


_lib = _load()

_CONNECTED_FN = ctypes.CFUNCTYPE(ctypes.c_int32, ctypes.c_void_p, ctypes.c_void_p)
_DATA_READY_FN = ctypes.CFUNCTYPE(ctypes.c_int32, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int32)
# The last argument is a va_list. On Linux targets it reaches a function as a
# pointer-sized value (x86-64 and AArch64 pass a pointer to it), which
# vsnprintf accepts back in the same form.
_LOG_FN = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int32, ctypes.c_char_p, ctypes.c_void_p)


class _Config(ctypes.Structure):
    _fields_ = [
        ("port_num", ctypes.c_uint32),
        ("timeout_us", ctypes.c_uint32),
        ("size", ctypes.c_uint64),
        ("on_connected", _CONNECTED_FN),
        ("on_data_ready", _DATA_READY_FN),
        ("on_disconnected", _CONNECTED_FN),
        ("user_data", ctypes.c_void_p),
        ("option", ctypes.c_uint8),
    ]


def _proto(name, restype, *argtypes):
    fn = getattr(_lib, name)
    fn.restype = restype
    fn.argtypes = argtypes
    return fn


_open = _proto("vexa_port_open", ctypes.c_void_p, ctypes.POINTER(_Config))
_connect = _proto("vexa_port_connect", ctypes.c_void_p, ctypes.POINTER(_Config))
_send = _proto("vexa_port_send", ctypes.c_int64, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_uint64)
_recv = _proto("vexa_port_recv", ctypes.c_int64, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_uint64)
_close = _proto("vexa_port_close", ctypes.c_int32, ctypes.c_void_p)
_event_fd = _proto("vexa_port_event_fd", ctypes.c_int, ctypes.c_void_p)
_events = _proto("vexa_port_events", ctypes.c_int32, ctypes.c_void_p)
_count = _proto("vexa_port_count", ctypes.c_uint64)
_set_logfunc = _proto("vexa_port_set_logfunc", None, _LOG_FN, ctypes.c_int32, ctypes.c_int32, ctypes.c_int32)
_set_debug = _proto("vexa_port_set_debug", None, ctypes.c_int32)
_version = _proto("vexa_port_version", ctypes.c_char_p)
_strerror = _proto("shm_strerror", ctypes.c_char_p, ctypes.c_int32)

_libc = ctypes.CDLL(None)
_vsnprintf = _libc.vsnprintf
_vsnprintf.restype = ctypes.c_int
_vsnprintf.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_char_p, ctypes.c_void_p]


def version():
    """The version of the loaded library, "MAJOR.MINOR.PATCH"."""
    return _version().decode()


def port_count():
    """The number of ports (port numbers are 0 to port_count() - 1)."""
    return int(_count())


def strerror(code):
    """The library's text for a result code (negative errno or SHM_E_*)."""
    return _strerror(code).decode(errors="replace")


def set_debug(on):
    """Let the library's debug lines through (True) or drop them (False)."""
    _set_debug(1 if on else 0)


class Event(enum.IntFlag):
    """What events() reports; equal to VEXA_PORT_EV_* of vexa-port.h."""

    DATA = 1  # bytes wait: recv until it returns nothing
    CONNECTED = 2  # a peer attached (and a client accepted it)
    DISCONNECTED = 4  # the peer left or died
    LINKED = 8  # not an event: a link stands now (events of one kind merge)
    ENDED = 16  # a client stopped trying for good (refused link, bad size)


class VexaPortError(OSError):
    """A failed call. errno is the positive errno value (or the magnitude of
    an SHM_E_* code), code the library's raw negative result (-errno),
    strerror the library's text for it; str() says what failed and why, with
    the library's error lines where it logged any."""

    def __init__(self, code, what, details=()):
        self.code = code
        super().__init__(-code, strerror(code))
        self.what = what
        self.details = tuple(details)

    def __reduce__(self):
        # Pickled (to another process, say) as the three values it was made of.
        return (type(self), (self.code, self.what, self.details))

    def __str__(self):
        text = "%s: %s" % (self.what, self.strerror)
        if self.details:
            text += " (%s)" % "; ".join(self.details)
        return "[Errno %d] %s" % (self.errno, text)


def _check(result, what):
    if result < 0:
        raise VexaPortError(int(result), what)
    return int(result)


# --- the library's log lines ---------------------------------------------

# Error lines logged while serve() or attach() runs, so that a failure can
# say why: the library returns only NULL and logs the cause, often from the
# port's own thread. Each waiting call holds a list here.
_captures = []
_captures_lock = threading.Lock()


def _log_line(level, fmt, args):
    try:
        buf = ctypes.create_string_buffer(1024)
        # One pass only: the va_list can be walked once.
        _vsnprintf(buf, len(buf), fmt, args)
        text = buf.value.decode(errors="replace").rstrip("\n")
        log.log(level, "%s", text)
        if level >= logging.ERROR:
            with _captures_lock:
                for lines in _captures:
                    lines.append(text)
    except Exception:  # never let an exception unwind into C
        pass
    return 0


_log_hook = _LOG_FN(_log_line)


def route_logs(on=True):
    """Send the library's lines to the logger "vexa_port" (on, the default
    at import) at levels ERROR, INFO and DEBUG, or back to standard output.
    Process-wide: it replaces any hook installed through the C interface."""
    if on:
        _set_logfunc(_log_hook, logging.ERROR, logging.INFO, logging.DEBUG)
    else:
        _set_logfunc(_LOG_FN(), 0, 0, 0)


route_logs(True)


# --- ports ---------------------------------------------------------------

# Open ports are held here until closed: the library calls into their ctypes
# callbacks, which must not be collected while it may, and the garbage
# collector could otherwise finalise a forgotten port on that port's own
# thread, where it cannot be closed.
_open_ports = set()
_open_ports_lock = threading.Lock()


class Port:
    """An open port, made by Port.serve or Port.attach. Close it with close()
    or by leaving a with block; a port left open is closed at exit.

    send, recv, fileno and events may be called from any thread, including
    the port's own callbacks; close from any thread but the port's own."""

    def __init__(self, *_, **__):
        raise TypeError("use Port.serve() or Port.attach()")

    @classmethod
    def serve(cls, port_num, *, size=DEFAULT_SIZE, on_connected=None, on_data=None, on_disconnected=None):
        """Serve port port_num: returns once a client may attach. Raises
        ValueError for a number or size out of range, VexaPortError when the
        port cannot be served (another server holds it, say), with the
        library's cause and its error lines."""
        return cls._start(_open, True, port_num, size, 0, on_connected, on_data, on_disconnected)

    @classmethod
    def attach(
        cls,
        port_num,
        *,
        size=DEFAULT_SIZE,
        timeout_us=100_000,
        on_connected=None,
        on_data=None,
        on_disconnected=None,
    ):
        """Attach to port port_num in the background: returns at once and
        tries every timeout_us until a server serves it. on_connected(port)
        may return False to refuse the server: the client then stops trying
        (the port stays open until closed)."""
        return cls._start(_connect, False, port_num, size, timeout_us, on_connected, on_data, on_disconnected)

    @classmethod
    def _start(cls, start, server, port_num, size, timeout_us, on_connected, on_data, on_disconnected):
        # ctypes would wrap what does not fit the C fields (port 2**32 + 3
        # serving port 3, size -5 asking for 4 GiB): refused here instead.
        port_num = _in_range("port_num", port_num, 0, port_count() - 1)
        size = _in_range("size", size, 1, 0xFFFFFFFF)  # the region's size field is 32 bits
        if not server:
            timeout_us = _in_range("timeout_us", timeout_us, 0, 0xFFFFFFFF)
        self = object.__new__(cls)
        self.port_num = port_num
        self.is_server = server
        self._on_connected = on_connected
        self._on_data = on_data
        self._on_disconnected = on_disconnected
        self._cond = threading.Condition()
        self._handle = None
        self._users = 0  # calls in progress on the handle
        self._closing = False
        self._closed_done = False  # set once close() has returned from the library
        self._callback_thread = None  # the port's thread while it runs a callback

        cfg = _Config(port_num=port_num, timeout_us=timeout_us, size=size)
        # Kept on the port: the library calls them until close() returns.
        self._c_callbacks = []
        if on_connected:
            cfg.on_connected = self._keep(_CONNECTED_FN(self._c_connected))
        if on_data:
            cfg.on_data_ready = self._keep(_DATA_READY_FN(self._c_data_ready))
        if on_disconnected:
            cfg.on_disconnected = self._keep(_CONNECTED_FN(self._c_disconnected))

        lines = []
        with _captures_lock:
            _captures.append(lines)
        try:
            # The handle is published under the lock: a callback may already
            # run (and send) before start() has returned.
            with self._cond:
                ctypes.set_errno(0)
                self._handle = start(ctypes.byref(cfg))
                cause = ctypes.get_errno()
        finally:
            with _captures_lock:
                _captures.remove(lines)
        if not self._handle:
            raise cls._start_error("serve" if server else "attach to", port_num, cause, lines)
        with _open_ports_lock:
            _open_ports.add(self)
        return self

    @staticmethod
    def _start_error(verb, port_num, cause, lines):
        # The library leaves the cause in errno (an errno value, or the
        # magnitude of an SHM_E_* code) and logs the details.
        return VexaPortError(-(cause or errno.EIO), "cannot %s port %s" % (verb, port_num), lines)

    def _keep(self, fn):
        self._c_callbacks.append(fn)
        return fn

    # The trampolines run on the port's thread. Nothing may propagate into
    # C, and once close() has begun the host's callbacks are not called any
    # more: the port is going away under them.
    def _call(self, fn, *args):
        if self._closing:
            return None
        self._callback_thread = threading.get_ident()
        try:
            return fn(self, *args)
        except Exception:
            log.exception("exception in a callback of port %s", self.port_num)
            return None
        finally:
            self._callback_thread = None

    def _c_connected(self, _user, _thr):
        return -1 if self._call(self._on_connected) is False else 0

    # Read at most this much per callback: the count can be as large as the
    # ring (gigabytes); the library calls again while bytes wait.
    _CHUNK = 256 * 1024

    def _c_data_ready(self, _user, thr, count):
        if count <= 0:
            return 0
        # The port's thread cannot be inside close() now (close waits for
        # callbacks), so its own handle is safe to use without the lock.
        count = min(count, self._CHUNK)
        buf = ctypes.create_string_buffer(count)
        n = _recv(thr, buf, count)
        # While closing, the bytes are dropped rather than left: left, they
        # would bring the library straight back here, for as long as the
        # close takes.
        if n > 0 and not self._closing:
            self._call(self._on_data, buf.raw[:n])
        elif n not in (0, -errno.EAGAIN):
            log.error("port %s: recv failed: %s", self.port_num, strerror(n))
        return 0

    def _c_disconnected(self, _user, _thr):
        self._call(self._on_disconnected)
        return 0

    # Every call on the handle counts itself in and out, so that close()
    # can wait for calls in progress on other threads before freeing it.
    def _enter(self):
        with self._cond:
            if not self._handle:
                raise VexaPortError(-errno.EBADF, "port %s is closed" % self.port_num)
            self._users += 1
            return self._handle

    def _leave(self):
        with self._cond:
            self._users -= 1
            if not self._users:
                self._cond.notify_all()

    def send(self, data):
        """Copy bytes (bytes, bytearray, memoryview or any buffer) into the
        peer's ring. Returns the number taken, which is less than len(data)
        when the ring has less room, and 0 when it is full: send the rest
        after the peer has read. Raises VexaPortError for anything else,
        e.g. EINVAL while a client is not attached."""
        _keep, address, length = _address(data)
        return self._send(address, length) if length else 0

    def _send(self, address, length):
        handle = self._enter()
        try:
            n = _send(handle, address, length)
        finally:
            self._leave()
        if n == -errno.ENOSPC:
            return 0
        return _check(n, "send on port %s" % self.port_num)

    def sendall(self, data, timeout=None):
        """Send all of data, retrying while the ring is full (the peer reads
        meanwhile). Raises TimeoutError when timeout seconds pass first;
        the bytes sent until then stay sent. Not from a callback for long:
        the port's thread is also the one that notices the peer leave."""
        _keep, address, length = _address(data)
        deadline = None if timeout is None else time.monotonic() + timeout
        done = 0
        while done < length:
            n = self._send(address + done, length - done)
            done += n
            if not n:
                if deadline is not None and time.monotonic() > deadline:
                    raise TimeoutError("port %s: the peer has not read for %s s" % (self.port_num, timeout))
                time.sleep(0.001)

    def recv_into(self, buffer, nbytes=0):
        """Move up to nbytes (default: len(buffer)) waiting bytes into a
        writable buffer. Returns the number moved, 0 when nothing waits;
        never waits for bytes."""
        view = memoryview(buffer).cast("B")
        if view.readonly:
            raise TypeError("recv_into needs a writable buffer")
        cap = len(view) if nbytes <= 0 else min(nbytes, len(view))
        if not cap:
            return 0
        c_buf = (ctypes.c_char * len(view)).from_buffer(view)
        handle = self._enter()
        try:
            n = _recv(handle, c_buf, cap)
        finally:
            self._leave()
            del c_buf  # releases the export of buffer
        if n == -errno.EAGAIN:
            return 0
        return _check(n, "recv on port %s" % self.port_num)

    def recv(self, bufsize=65536):
        """Up to bufsize waiting bytes, b"" when nothing waits."""
        buf = bytearray(bufsize)
        n = self.recv_into(buf)
        del buf[n:]
        return bytes(buf)

    def fileno(self):
        """The port's event descriptor: readable (level-triggered) when
        events() has something. Belongs to the port: unregister it from
        selectors and event loops before close(), which closes it."""
        handle = self._enter()
        try:
            return _check(_event_fd(handle), "event descriptor of port %s" % self.port_num)
        finally:
            self._leave()

    def events(self):
        """The Event bits since the last call, and empties the descriptor.
        Event(0) after a wake-up is spurious: ignore it."""
        handle = self._enter()
        try:
            return Event(_check(_events(handle), "events of port %s" % self.port_num))
        finally:
            self._leave()

    @property
    def closed(self):
        return not self._handle

    def close(self):
        """Stop the port (the peer sees a disconnect) and free it. Waits for
        a callback that is running (whose calls on the port then raise
        VexaPortError EBADF; no callback starts any more); raises
        VexaPortError (EDEADLK) when called from one of this port's own
        callbacks. Closing twice is harmless."""
        if self._callback_thread == threading.get_ident():
            raise VexaPortError(-errno.EDEADLK, "close of port %s from its own callback" % self.port_num)
        with self._cond:
            handle = self._handle
            if not handle:
                # Another thread is closing it: return once it is closed, so
                # that no caller (the exit handler among them) goes on while
                # the port's thread may still call into Python.
                while self._closing and not self._closed_done:
                    self._cond.wait()
                return
            self._handle = None
            self._closing = True
            while self._users:
                self._cond.wait()
        try:
            _check(_close(handle), "close of port %s" % self.port_num)
        finally:
            with self._cond:
                self._closed_done = True
                self._cond.notify_all()
            with _open_ports_lock:
                _open_ports.discard(self)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __repr__(self):
        state = "closed" if self.closed else "open"
        return "<vexa_port.Port %s %s %s>" % (self.port_num, "server" if self.is_server else "client", state)


def _in_range(name, value, low, high):
    """value as an int, if it is an integer from low to high; ValueError (or
    TypeError for what is no integer) otherwise."""
    value = operator.index(value)
    if not low <= value <= high:
        raise ValueError("%s must be from %d to %d, not %d" % (name, low, high, value))
    return value


def _address(data):
    """The address and length of data's bytes, without copying where ctypes
    allows, and the object that keeps them alive while the address is used."""
    if isinstance(data, bytes):
        return data, ctypes.cast(data, ctypes.c_void_p).value or 0, len(data)
    view = memoryview(data).cast("B")
    if view.readonly:
        return _address(view.tobytes())  # ctypes cannot point into a read-only buffer
    if not view:
        return view, 0, 0
    c_buf = (ctypes.c_char * len(view)).from_buffer(view)
    return c_buf, ctypes.addressof(c_buf), len(view)


@atexit.register
def _close_all():
    # The ports' threads call into Python, which must not happen once the
    # interpreter is being torn down: close what is open, then take the log
    # hook back.
    with _open_ports_lock:
        ports = list(_open_ports)
    for port in ports:
        try:
            port.close()
        except Exception:
            pass
    _set_logfunc(_LOG_FN(), 0, 0, 0)
