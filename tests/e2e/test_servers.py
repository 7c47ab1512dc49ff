#!/usr/bin/python3
"""Misbehaving servers for the network tests, on 127.0.0.1:

    test_servers.py silent PORT     accepts connections and never answers
    test_servers.py endless PORT    answers with headers and a body without end
    test_servers.py close PORT      reads the request and closes without a word
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


held = []
if __name__ == "__main__":
    serve(int(sys.argv[2]), {"silent": silent, "endless": endless, "close": close}[sys.argv[1]])
