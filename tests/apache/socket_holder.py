#!/usr/bin/env python3
"""Holds a listening unix socket as systemd's socket unit does and runs the
responder on it as standard input. SIGHUP restarts it the way systemctl
restart does: SIGTERM, wait for the exit, start the next one on the same
socket, whose queue keeps the connections made meanwhile. SIGTERM ends both.
Each start and exit is logged, one line each, to LOG.

usage: socket_holder.py SOCKET LOG [--user USER] -- PROGRAM [ARGS...]
"""
import os
import pwd
import signal
import socket
import subprocess
import sys
import time


def main():
    args = sys.argv[1:]
    split = args.index("--")
    options, command = args[:split], args[split + 1:]
    path, log_path = options[0], options[1]
    user = options[3] if len(options) > 3 and options[2] == "--user" else None

    if os.path.exists(path):
        os.unlink(path)
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(path)
    listener.listen(socket.SOMAXCONN)
    os.chmod(path, 0o666)
    log = open(log_path, "a", buffering=1)

    def demote():
        if user:
            entry = pwd.getpwnam(user)
            os.setgid(entry.pw_gid)
            os.setuid(entry.pw_uid)

    def start():
        child = subprocess.Popen(command, stdin=listener.fileno(), preexec_fn=demote)
        log.write(f"started {child.pid}\n")
        return child

    def stop(child, sig=signal.SIGTERM):
        began = time.monotonic()
        child.send_signal(sig)
        try:
            status = child.wait(timeout=10)
        except subprocess.TimeoutExpired:
            child.kill()
            status = child.wait()
        log.write(f"exited {child.pid} status {status} after {int((time.monotonic() - began) * 1000)} ms\n")

    pending = []
    signal.signal(signal.SIGHUP, lambda *_: pending.append("restart"))
    signal.signal(signal.SIGTERM, lambda *_: pending.append("end"))
    child = start()
    while True:
        time.sleep(0.01)
        while pending:
            what = pending.pop(0)
            if what == "end":
                stop(child)
                return
            stop(child)
            child = start()


if __name__ == "__main__":
    main()
