#!/usr/bin/env python3
"""Runs a command as a job on a terminal of its own, as a login shell runs one.

    pty_job.py [--background] [--transcript FILE] [--keys FIFO] [--pid-file FILE]
               [--stdin FILE] [--stdout FILE] [--stderr FILE] [--cols N] -- COMMAND...

A new pseudo-terminal is the controlling terminal of a new session. Its leader (the
"shell") puts COMMAND in a process group of its own, in the terminal's foreground unless
--background, and waits for it. What the terminal shows goes to the transcript; bytes
written into the keys FIFO are typed on the terminal (\\003 is Ctrl+C, \\032 Ctrl+Z). The
command's standard streams are the terminal unless given; its pid goes to the pid file.
Exits with the command's status, 128 + the signal that ended it.
"""

import argparse
import fcntl
import os
import select
import signal
import struct
import sys
import termios


def run_job(slave, args):
    """The session leader: starts the job and waits for it; never returns."""
    os.setsid()
    fcntl.ioctl(slave, termios.TIOCSCTTY, 0)
    handed_over, hand_over = os.pipe()
    job = os.fork()
    if job == 0:
        os.close(hand_over)
        os.setpgid(0, 0)
        os.read(handed_over, 1)  # the terminal is the job's, or is not to be
        streams = [(args.stdin, os.O_RDONLY), (args.stdout, os.O_WRONLY | os.O_CREAT | os.O_TRUNC),
                   (args.stderr, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)]
        for fd, (path, flags) in enumerate(streams):
            os.dup2(os.open(path, flags, 0o644) if path else slave, fd)
        for number in (signal.SIGPIPE, signal.SIGXFSZ, signal.SIGINT):
            signal.signal(number, signal.SIG_DFL)
        try:
            os.execvp(args.command[0], args.command)
        finally:
            os._exit(127)
    # A shell does not stop or end with its jobs' keys.
    for number in (signal.SIGINT, signal.SIGQUIT, signal.SIGTSTP, signal.SIGTTOU):
        signal.signal(number, signal.SIG_IGN)
    try:
        os.setpgid(job, job)
    except OSError:
        pass  # the job did it first
    if not args.background:
        os.tcsetpgrp(slave, job)
    if args.pid_file:
        with open(args.pid_file + ".new", "w") as f:
            f.write("%d\n" % job)
        os.rename(args.pid_file + ".new", args.pid_file)
    os.write(hand_over, b"x")
    os.close(hand_over)
    _, status = os.waitpid(job, 0)
    if os.WIFSIGNALED(status):
        os._exit(128 + os.WTERMSIG(status))
    os._exit(os.WEXITSTATUS(status))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--background", action="store_true")
    parser.add_argument("--transcript", default=os.devnull)
    parser.add_argument("--keys")
    parser.add_argument("--pid-file")
    parser.add_argument("--stdin")
    parser.add_argument("--stdout")
    parser.add_argument("--stderr")
    parser.add_argument("--cols", type=int, default=80)
    parser.add_argument("command", nargs="+")
    args = parser.parse_args()

    master, slave = os.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, args.cols, 0, 0))
    keys = os.open(args.keys, os.O_RDWR | os.O_NONBLOCK) if args.keys else None
    leader = os.fork()
    if leader == 0:
        os.close(master)
        run_job(slave, args)
    os.close(slave)

    status = None
    with open(args.transcript, "ab", buffering=0) as transcript:
        while True:
            ready, _, _ = select.select([master] + ([keys] if keys is not None else []), [], [], 0.05)
            if keys is not None and keys in ready:
                os.write(master, os.read(keys, 4096))
            if master in ready:
                try:
                    data = os.read(master, 4096)
                except OSError:
                    data = b""  # every end of the terminal is closed
                transcript.write(data)
                if not data and status is not None:
                    break
            if status is None:
                pid, waited = os.waitpid(leader, os.WNOHANG)
                if pid:
                    status = waited
            elif master not in ready:
                break
    sys.exit(os.WEXITSTATUS(status) if os.WIFEXITED(status) else 128 + os.WTERMSIG(status))


if __name__ == "__main__":
    main()
