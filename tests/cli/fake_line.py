#!/usr/bin/env python3
"""A line that talks first, for testing `zantrox-cli watch`.

    fake_line.py LINK SCRIPT

Makes a pseudo-terminal, points the symlink LINK at its terminal end and plays
SCRIPT, one step a line:
    wait FILE       until FILE exists (the test says it is ready)
    send HEX...     writes the bytes to the line
    frame TEXT      writes STX TEXT ETX and the checksum
    pause MS        sleeps
    vanish          closes the line and removes LINK (an adapter pulled)
    return          a new pseudo-terminal behind LINK (the adapter back)
Prints "ready" when LINK is first in place and "done" at the end.
"""
import os
import sys
import time


def checksum(data):
    return (-sum(data)) & 0x7F


def open_line(link):
    master, slave = os.openpty()
    path = os.ttyname(slave)
    os.close(slave)  # the listener opens it by name
    tmp = link + ".new"
    if os.path.lexists(tmp):
        os.unlink(tmp)
    os.symlink(path, tmp)
    os.replace(tmp, link)
    return master


def main():
    link, script = sys.argv[1], sys.argv[2]
    master = open_line(link)
    print("ready", flush=True)
    with open(script) as steps:
        for step in steps:
            word, _, rest = step.strip().partition(" ")
            if word == "wait":
                deadline = time.time() + 10
                while not os.path.exists(rest) and time.time() < deadline:
                    time.sleep(0.02)
            elif word == "send":
                os.write(master, bytes(int(h, 16) for h in rest.split()))
            elif word == "frame":
                body = bytes([2]) + rest.encode() + bytes([3])
                os.write(master, body + bytes([checksum(body)]))
            elif word == "pause":
                time.sleep(int(rest) / 1000)
            elif word == "vanish":
                os.close(master)
                os.unlink(link)
            elif word == "return":
                master = open_line(link)
    print("done", flush=True)
    time.sleep(0.5)


if __name__ == "__main__":
    main()
