"""The system's ws2_32.dll and mswsock.dll as the emulated program sees
them: each export a stub, the socket calls made on real non-blocking host
sockets over loopback, every wait bounded (the emulator runs one thread at
a time, so a call that would block for ever fails with WSAETIMEDOUT), and a
resolver that knows one name. The error code is the calling thread's last
error, as WSASetLastError sets it on Windows.

For the checks of the pass-through, a call can be given its answer in
advance (answer_next): the next stub called records its arguments, sets
that error code and returns that result, touching nothing else."""
import errno
import os
import select
import socket
import struct
import sys

WAIT = 2.0  # seconds a "blocking" call waits at most

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "..", "wsock32", "tests"))
import check_exports  # noqa: E402

# The drop-in's exports are these DLLs' functions under the same names and
# arguments: the Microsoft extensions in mswsock.dll, the rest in ws2_32.dll
# but for two that nothing replaced.
MSWSOCK = {"AcceptEx", "GetAcceptExSockaddrs", "TransmitFile", "WSARecvEx",
           "EnumProtocolsA", "EnumProtocolsW", "GetAddressByNameA",
           "GetAddressByNameW", "GetTypeByNameA", "GetTypeByNameW",
           "SetServiceA", "SetServiceW", "GetServiceA", "GetServiceW",
           "inet_network", "getnetbyname", "s_perror"}
ARG_COUNTS = {}    # the drop-in's exports and their argument counts
MSWSOCK_ARGS = {}  # filled by read_calls
WS2_ARGS = {}
SYSTEM_DLLS = {"ws2_32.dll": WS2_ARGS, "mswsock.dll": MSWSOCK_ARGS}


def read_calls(path):
    """The argument counts, from the export lists the build wrote."""
    check_exports.read_calls(path)
    ARG_COUNTS.update((n, b // 4) for n, b in check_exports.ARG_BYTES.items())
    MSWSOCK_ARGS.update((n, ARG_COUNTS[n]) for n in MSWSOCK)
    WS2_ARGS.update((n, c) for n, c in ARG_COUNTS.items()
                    if n not in MSWSOCK and n not in ("WEP", "WsControl") and
                    n not in check_exports.OWN)

# What leaves the error code alone also when it works.
KEEP_ERROR = {"WSAGetLastError", "WSASetLastError", "htonl", "htons", "ntohl",
              "ntohs", "inet_addr", "inet_ntoa", "__WSAFDIsSet"}

RESOLVES = {"localhost": "127.0.0.1"}  # any other name: WSAHOST_NOT_FOUND

WSAEFAULT, WSAEINVAL, WSAEWOULDBLOCK = 10014, 10022, 10035
WSAENOTSOCK, WSAENOPROTOOPT, WSAEAFNOSUPPORT = 10038, 10042, 10047
WSAESOCKTNOSUPPORT, WSAETIMEDOUT, WSAHOST_NOT_FOUND = 10044, 10060, 11001
ERRNO_TO_WSA = {
    errno.ECONNREFUSED: 10061, errno.EADDRINUSE: 10048,
    errno.EADDRNOTAVAIL: 10049, errno.EINVAL: WSAEINVAL,
    errno.ENOTCONN: 10057, errno.ECONNRESET: 10054, errno.EPIPE: 10058,
    errno.EAGAIN: WSAEWOULDBLOCK, errno.ETIMEDOUT: WSAETIMEDOUT,
    errno.EISCONN: 10056, errno.EAFNOSUPPORT: WSAEAFNOSUPPORT,
    errno.EOPNOTSUPP: 10045,
}
# Options by level: ws2_32's number to the host's.
OPTIONS = {
    0: {4: (socket.IPPROTO_IP, socket.IP_TTL)},
    0xFFFF: {4: (socket.SOL_SOCKET, socket.SO_REUSEADDR)},
    6: {1: (socket.IPPROTO_TCP, socket.TCP_NODELAY)},
}


class Failed(Exception):
    def __init__(self, code):
        super().__init__(code)
        self.code = code


def _host_error(e):
    return ERRNO_TO_WSA.get(e.errno, WSAEINVAL)


class Ws2:
    def __init__(self, emu):
        self.emu = emu
        self.sockets = {}  # SOCKET handle -> host socket
        self.next_handle = 0x1A4
        self.received = []  # (name, arguments) of every call
        self.answer = None  # (result, error) for the next call
        self.static = {}  # per-call result buffers, made once

    def __getattr__(self, name):
        # Every export goes through one gate: it records the call and
        # gives a prepared answer or the emulated one.
        argc = WS2_ARGS.get(name, MSWSOCK_ARGS.get(name))
        impl = getattr(type(self), "do_" + name, None)
        if argc is None:
            raise AttributeError(name)

        def gate(*args):
            self.received.append((name, args))
            if self.answer is not None:
                result, error = self.answer
                self.answer = None
                self.emu.set_last_error(error)
                return result
            if impl is None:
                from pe_emu import EmuError
                raise EmuError("%s is not emulated" % name)
            try:
                result = impl(self, *args)
            except Failed as f:
                self.emu.set_last_error(f.code)
                return self.failed_result(name)
            except OSError as e:
                self.emu.set_last_error(_host_error(e))
                return self.failed_result(name)
            if name not in KEEP_ERROR:
                self.emu.set_last_error(0)  # as Windows: success says 0
            return result
        return gate

    def answer_next(self, result, error):
        self.answer = (result, error)

    @staticmethod
    def failed_result(name):
        if name.startswith("get") and name != "getsockopt" and \
                name not in ("getsockname", "getpeername", "gethostname"):
            return 0  # a null entry
        return 0xFFFFFFFF  # SOCKET_ERROR, INVALID_SOCKET

    # -- memory helpers
    def sock(self, handle):
        s = self.sockets.get(handle)
        if s is None:
            raise Failed(WSAENOTSOCK)
        return s

    def read_sin(self, addr, length):
        if addr == 0 or length < 16:
            raise Failed(WSAEFAULT)
        family = struct.unpack("<H", self.emu.read(addr, 2))[0]
        port = struct.unpack(">H", self.emu.read(addr + 2, 2))[0]
        if family != 2:
            raise Failed(WSAEAFNOSUPPORT)
        return socket.inet_ntoa(self.emu.read(addr + 4, 4)), port

    def write_sin(self, addr, len_ptr, host_port):
        if addr == 0:
            return
        if len_ptr == 0 or self.emu.read_u32(len_ptr) < 16:
            raise Failed(WSAEFAULT)
        self.emu.write(addr, struct.pack("<H", 2) + struct.pack(
            ">H", host_port[1]) + socket.inet_aton(host_port[0]) + b"\0" * 8)
        self.emu.write_u32(len_ptr, 16)

    def wait(self, s, write=False):
        ready = select.select([] if write else [s], [s] if write else [], [],
                              WAIT)
        if not any(ready):
            raise Failed(WSAETIMEDOUT)

    def buffer(self, name, size):
        if name not in self.static:
            self.static[name] = self.emu.alloc(b"\0" * size)
        return self.static[name]

    # -- start-up, the error code, byte order
    def do_WSAStartup(self, version, data):
        low, high = version & 0xFF, version >> 8 & 0xFF
        if (low, high) < (1, 1):
            return 10092  # WSAVERNOTSUPPORTED
        given = version if (low, high) <= (2, 2) else 0x0202
        self.emu.write(data, struct.pack("<HH", given, 0x0202) +
                       b"WinSock 2.0".ljust(257, b"\0") +
                       b"Running".ljust(129, b"\0") + b"\0" * 8)
        return 0

    def do_WSACleanup(self):
        return 0

    def do_WSAGetLastError(self):
        return self.emu.last_error()

    def do_WSASetLastError(self, code):
        self.emu.set_last_error(code)

    def do_htons(self, v):
        return struct.unpack("<H", struct.pack(">H", v & 0xFFFF))[0]

    do_ntohs = do_htons

    def do_htonl(self, v):
        return struct.unpack("<I", struct.pack(">I", v))[0]

    do_ntohl = do_htonl

    # -- sockets
    def do_socket(self, af, kind, protocol):
        if af != 2:
            raise Failed(WSAEAFNOSUPPORT)
        if kind not in (1, 2):
            raise Failed(WSAESOCKTNOSUPPORT)
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM if kind == 1
                          else socket.SOCK_DGRAM, protocol)
        s.setblocking(False)
        handle = self.next_handle
        self.next_handle += 4
        self.sockets[handle] = s
        return handle

    def do_closesocket(self, handle):
        self.sock(handle).close()
        del self.sockets[handle]
        return 0

    def do_bind(self, handle, name, length):
        self.sock(handle).bind(self.read_sin(name, length))
        return 0

    def do_listen(self, handle, backlog):
        self.sock(handle).listen(backlog)
        return 0

    def do_getsockname(self, handle, name, len_ptr):
        self.write_sin(name, len_ptr, self.sock(handle).getsockname())
        return 0

    def do_getpeername(self, handle, name, len_ptr):
        self.write_sin(name, len_ptr, self.sock(handle).getpeername())
        return 0

    def do_connect(self, handle, name, length):
        s = self.sock(handle)
        code = s.connect_ex(self.read_sin(name, length))
        if code == errno.EINPROGRESS:
            self.wait(s, write=True)
            code = s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
        if code:
            raise Failed(ERRNO_TO_WSA.get(code, WSAEINVAL))
        return 0

    def do_accept(self, handle, addr, len_ptr):
        s = self.sock(handle)
        self.wait(s)
        conn, peer = s.accept()
        conn.setblocking(False)
        self.write_sin(addr, len_ptr, peer)
        handle = self.next_handle
        self.next_handle += 4
        self.sockets[handle] = conn
        return handle

    def do_send(self, handle, buf, length, flags):
        s = self.sock(handle)
        self.wait(s, write=True)
        return s.send(self.emu.read(buf, length) if length else b"")

    def do_recv(self, handle, buf, length, flags):
        s = self.sock(handle)
        self.wait(s)
        data = s.recv(length)
        if data:
            self.emu.write(buf, data)
        return len(data)

    def do_shutdown(self, handle, how):
        self.sock(handle).shutdown(how)
        return 0

    def _fd_set(self, addr):
        count = self.emu.read_u32(addr)
        if count > 64:
            raise Failed(WSAEINVAL)
        handles = struct.unpack("<%dI" % count, self.emu.read(addr + 4,
                                                              4 * count))
        return [(h, self.sock(h)) for h in handles]

    def do_select(self, nfds, readfds, writefds, exceptfds, timeout):
        sets = [self._fd_set(a) if a else [] for a in (readfds, writefds,
                                                       exceptfds)]
        wait = WAIT
        if timeout:
            sec, usec = struct.unpack("<ii", self.emu.read(timeout, 8))
            wait = min(WAIT, sec + usec / 1e6)
        ready = select.select(*[[s for _, s in x] for x in sets], wait)
        total = 0
        for addr, given, got in zip((readfds, writefds, exceptfds), sets,
                                    ready):
            if addr:
                keep = [h for h, s in given if s in got]
                self.emu.write(addr, struct.pack("<%dI" % (len(keep) + 1),
                                                 len(keep), *keep))
                total += len(keep)
        return total

    def _option(self, level, name):
        option = OPTIONS.get(level, {}).get(name)
        if option is None:
            raise Failed(WSAENOPROTOOPT)
        return option

    def do_setsockopt(self, handle, level, name, value, length):
        if length < 4:
            raise Failed(WSAEFAULT)
        self.sock(handle).setsockopt(*self._option(level, name),
                                     self.emu.read_u32(value))
        return 0

    def do_getsockopt(self, handle, level, name, value, len_ptr):
        if self.emu.read_u32(len_ptr) < 4:
            raise Failed(WSAEFAULT)
        got = self.sock(handle).getsockopt(*self._option(level, name))
        self.emu.write_u32(value, got)
        self.emu.write_u32(len_ptr, 4)
        return 0

    # -- the resolver
    def do_gethostbyname(self, name):
        text = self.emu.read_cstr(name).decode("latin-1") if name else ""
        address = RESOLVES.get(text)
        if address is None:
            raise Failed(WSAHOST_NOT_FOUND)
        # hostent: h_name, h_aliases, h_addrtype, h_length, h_addr_list
        block = self.buffer("hostent", 64)
        addr = block + 32
        self.emu.write(block, struct.pack(
            "<IIhhI", block + 40, block + 24, 2, 4, block + 16))
        self.emu.write(block + 16, struct.pack("<II", addr, 0))
        self.emu.write(block + 24, struct.pack("<I", 0))
        self.emu.write(addr, socket.inet_aton(address))
        self.emu.write(block + 40, text.encode()[:23] + b"\0")
        return block
