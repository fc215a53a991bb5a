#!/usr/bin/env python3
"""The far end of a serial line for the Windows tests: a pseudo-terminal whose
other side a COM port under Wine opens through a symbolic link.

The pty is left with the settings the system gives it (canonical, echo), so
that what the state file shows afterwards is what the port made of the line.
The peer writes the line's current state to a state file whenever it changes:
    open=1 speed=9600 bits=8 parity=N stop=1 raw=1
and answers commands, each ending in a newline:
    STTY        -> the state line above (without open=), then a newline
    SEND n      -> n bytes "0123456789" repeated
    ECHO text   -> text, without a newline
Every byte received is logged on standard output. The peer ends after
--lifetime seconds at the latest.
"""
import argparse
import os
import select
import sys
import termios
import time

SPEEDS = {getattr(termios, name): int(name[1:]) for name in dir(termios)
          if name.startswith("B") and name[1:].isdigit()}


def line_state(fd):
    iflag, oflag, cflag, lflag, ispeed, ospeed, cc = termios.tcgetattr(fd)
    bits = {termios.CS5: 5, termios.CS6: 6, termios.CS7: 7, termios.CS8: 8}[cflag & termios.CSIZE]
    parity = "N"
    if cflag & termios.PARENB:
        parity = "O" if cflag & termios.PARODD else "E"
    stop = 2 if cflag & termios.CSTOPB else 1
    raw = not (lflag & (termios.ICANON | termios.ECHO | termios.ISIG)) and not (oflag & termios.OPOST) \
        and not (iflag & (termios.ICRNL | termios.INLCR | termios.IXON))
    return "speed=%d bits=%d parity=%s stop=%d raw=%d" % (SPEEDS.get(ospeed, -1), bits, parity, stop, int(raw))


def answer(command):
    if command == b"STTY":
        return None  # filled in by the caller, which knows the fd
    if command.startswith(b"SEND "):
        count = int(command[5:])
        return (b"0123456789" * (count // 10 + 1))[:count]
    if command.startswith(b"ECHO "):
        return command[5:]
    return b"?"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--link", required=True, help="symbolic link to create to the pty")
    parser.add_argument("--state", required=True, help="file that receives the line state")
    parser.add_argument("--lifetime", type=float, default=60.0)
    args = parser.parse_args()

    master, slave = os.openpty()
    slave_name = os.ttyname(slave)
    # Nobody holds the slave open, so the master reports hang-up until the port opens it.
    os.close(slave)
    if os.path.lexists(args.link):
        os.unlink(args.link)
    os.symlink(slave_name, args.link)

    deadline = time.monotonic() + args.lifetime
    last_state = None
    pending = b""
    poller = select.poll()
    poller.register(master, select.POLLIN)
    print("peer: %s -> %s" % (args.link, slave_name), flush=True)
    try:
        while time.monotonic() < deadline:
            events = poller.poll(20)
            opened = not any(flags & select.POLLHUP for _, flags in events)
            state = "open=%d %s" % (int(opened), line_state(master))
            if state != last_state:
                with open(args.state + ".tmp", "w") as out:
                    out.write(state + "\n")
                os.replace(args.state + ".tmp", args.state)
                print("peer: " + state, flush=True)
                last_state = state
            if not opened:
                time.sleep(0.02)
                continue
            if not any(flags & select.POLLIN for _, flags in events):
                continue
            try:
                data = os.read(master, 4096)
            except OSError:
                continue
            print("peer: received %r" % data, flush=True)
            pending += data
            while b"\n" in pending:
                command, pending = pending.split(b"\n", 1)
                reply = answer(command)
                if reply is None:
                    reply = (line_state(master) + "\n").encode()
                os.write(master, reply)
    finally:
        if os.path.islink(args.link):
            os.unlink(args.link)
    return 0


if __name__ == "__main__":
    sys.exit(main())
