#!/usr/bin/python3
"""Misbehaving servers for the network tests, on 127.0.0.1:

    test_servers.py silent PORT     accepts connections and never answers
    test_servers.py endless PORT    answers with headers and a body without end
    test_servers.py close PORT      reads the request and closes without a word
    test_servers.py counted PORT    a body of the length it announces, then more, and
                                    the connection left open
    test_servers.py nostatus PORT   a body without status line or headers
"""
import socket
import sys
import threading


def serve(port, handle):
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", port))
    listener.listen(16)
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=handle, args=(conn,), daemon=True).start()


def silent(conn):
    held.append(conn)  # kept open, never answered


def endless(conn):
    try:
        conn.recv(65536)
        conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n")
        chunk = b"<p>more</p>" * 1000
        while True:
            conn.sendall(chunk)
    except OSError:
        conn.close()


def close(conn):
    conn.recv(65536)
    conn.close()


def counted(conn):
    conn.recv(65536)
    conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: 11\r\n\r\n"
                 b"<p>body</p><p>beyond the length</p>")
    held.append(conn)  # never closed: the length alone ends the body


def nostatus(conn):
    conn.recv(65536)
    conn.sendall(b"<p>no status</p>\r\n<b>x</b>")
    conn.close()


held = []
if __name__ == "__main__":
    serve(int(sys.argv[2]), {"silent": silent, "endless": endless, "close": close, "counted": counted,
                            "nostatus": nostatus}[sys.argv[1]])
