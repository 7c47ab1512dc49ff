"""A FastCGI client speaking for a web server: one request per connection, its
parameters and body sent as a web server sends them, the STDOUT records put back
together. Used by the tests that drive kelp's responder without a web server in
between (the golden pages, whose environments hold what only a server sets) and by
those that send it what no server would.

As a program: fcgi_client.py ADDRESS [NAME=value ...] [< body]
prints the response's STDOUT bytes; the exit status is 0 with a complete reply,
3 when the connection ended without one."""

import socket
import struct
import sys

BEGIN_REQUEST, ABORT_REQUEST, END_REQUEST, PARAMS, STDIN, STDOUT, STDERR = 1, 2, 3, 4, 5, 6, 7


def record(kind, request_id, content=b""):
    padding = (8 - len(content) % 8) % 8
    return (struct.pack(">BBHHBx", 1, kind, request_id, len(content), padding) + content +
            b"\0" * padding)


def stream(kind, request_id, data, chunk=32768):
    out = b"".join(record(kind, request_id, data[i:i + chunk])
                   for i in range(0, len(data), chunk))
    return out + record(kind, request_id)


def pair(name, value):
    def length(n):
        return bytes([n]) if n < 128 else struct.pack(">I", n | 0x80000000)
    return length(len(name)) + length(len(value)) + name + value


def encode_params(params):
    return b"".join(pair(k.encode(), v.encode() if isinstance(v, str) else v)
                    for k, v in params)


def request_bytes(params, body=b"", request_id=1, keep=False):
    begin = record(BEGIN_REQUEST, request_id, struct.pack(">HB5x", 1, 1 if keep else 0))
    return (begin + stream(PARAMS, request_id, encode_params(params)) +
            stream(STDIN, request_id, body))


def connect(address, timeout=60):
    if ":" in address and "/" not in address:
        host, port = address.rsplit(":", 1)
        sock = socket.create_connection((host or "127.0.0.1", int(port)), timeout=timeout)
    else:
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        sock.settimeout(timeout)
        sock.connect(address)
    return sock


def read_reply(sock):
    """(stdout bytes, stderr bytes, app status or None when the connection ended
    without an END_REQUEST)."""
    data = b""
    out, err = [], []
    while True:
        while len(data) >= 8:
            _, kind, _, length, padding = struct.unpack(">BBHHBx", data[:8])
            if len(data) < 8 + length + padding:
                break
            content = data[8:8 + length]
            data = data[8 + length + padding:]
            if kind == STDOUT:
                out.append(content)
            elif kind == STDERR:
                err.append(content)
            elif kind == END_REQUEST:
                return b"".join(out), b"".join(err), struct.unpack(">I", content[:4])[0]
        try:
            chunk = sock.recv(65536)
        except (ConnectionResetError, socket.timeout):
            chunk = b""
        if not chunk:
            return b"".join(out), b"".join(err), None
        data += chunk


def ask(address, params, body=b"", timeout=60):
    sock = connect(address, timeout)
    try:
        sock.sendall(request_bytes(params, body))
        return read_reply(sock)
    finally:
        sock.close()


def main():
    address = sys.argv[1]
    params = [tuple(a.split("=", 1)) for a in sys.argv[2:]]
    body = b"" if sys.stdin.isatty() else sys.stdin.buffer.read()
    out, _, status = ask(address, params, body)
    sys.stdout.buffer.write(out)
    return 0 if status is not None else 3


if __name__ == "__main__":
    sys.exit(main())
