"""Stands in for the system log: binds a datagram socket at PATH and appends each record it
receives to OUT as one line, until it is killed.
    syslog_listener.py PATH OUT"""
import socket
import sys

path, out = sys.argv[1], sys.argv[2]
listener = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
listener.bind(path)
with open(out, "a", buffering=1, encoding="utf-8") as records:
    while True:
        record = listener.recv(8192).decode("utf-8", "replace")
        records.write(record.rstrip("\0\n").replace("\n", " ") + "\n")
