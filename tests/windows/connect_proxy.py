#!/usr/bin/env python3
"""A minimal HTTP CONNECT proxy on loopback for the Windows part: relays each tunnel and writes
every CONNECT request line to the log file. Prints its port once listening. NAME=ADDRESS
arguments map host names the machine cannot resolve (the service's names) for the tunnels.
Usage: connect_proxy.py LOGFILE [NAME=ADDRESS...]"""
import socket
import sys
import threading


def pipe(src, dst):
    try:
        while True:
            data = src.recv(65536)
            if not data:
                break
            dst.sendall(data)
    except OSError:
        pass
    finally:
        for s in (src, dst):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


NAMES = {}


def serve(client, log):
    head = b""
    while b"\r\n\r\n" not in head:
        chunk = client.recv(4096)
        if not chunk:
            client.close()
            return
        head += chunk
    line = head.split(b"\r\n", 1)[0].decode("latin-1")
    with open(log, "a") as f:
        f.write(line + "\n")
    parts = line.split()
    if len(parts) < 2 or parts[0] != "CONNECT":
        client.sendall(b"HTTP/1.0 405 Method Not Allowed\r\n\r\n")
        client.close()
        return
    host, port = parts[1].rsplit(":", 1)
    try:
        upstream = socket.create_connection((NAMES.get(host, host), int(port)))
    except OSError:
        client.sendall(b"HTTP/1.0 502 Bad Gateway\r\n\r\n")
        client.close()
        return
    client.sendall(b"HTTP/1.0 200 Connection established\r\n\r\n")
    rest = head.split(b"\r\n\r\n", 1)[1]
    if rest:
        upstream.sendall(rest)
    threading.Thread(target=pipe, args=(upstream, client), daemon=True).start()
    pipe(client, upstream)


def main():
    log = sys.argv[1]
    NAMES.update(arg.split("=", 1) for arg in sys.argv[2:])
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    print(listener.getsockname()[1], flush=True)
    while True:
        client, _ = listener.accept()
        threading.Thread(target=serve, args=(client, log), daemon=True).start()


if __name__ == "__main__":
    main()
