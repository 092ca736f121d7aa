#!/usr/bin/env python3
"""Posts raw bytes on an existing POSIX message queue, as a misbehaving sender would.

usage: post_raw.py QUEUE-NAME HEX-BYTES
"""
import ctypes
import sys

O_WRONLY = 1


def main():
    name, data = sys.argv[1].encode(), bytes.fromhex(sys.argv[2])
    rt = ctypes.CDLL("librt.so.1", use_errno=True)
    rt.mq_open.argtypes = [ctypes.c_char_p, ctypes.c_int]
    rt.mq_send.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_size_t, ctypes.c_uint]
    queue = rt.mq_open(name, O_WRONLY)
    if queue < 0 or rt.mq_send(queue, data, len(data), 0) != 0:
        sys.exit("post_raw: %s: errno %d" % (sys.argv[1], ctypes.get_errno()))


main()
