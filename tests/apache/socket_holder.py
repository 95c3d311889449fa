#!/usr/bin/env python3
"""Holds a listening unix socket as systemd's socket unit does and runs the
responder on it, passed as systemd passes it to pagestamp.service: from fd 3
on, named pagestamp.socket, with LISTEN_FDS, LISTEN_PID and LISTEN_FDNAMES.
SIGHUP restarts it the way systemctl restart does: SIGTERM, wait for the
exit, start the next one on the same socket, whose queue keeps the
connections made meanwhile. SIGTERM ends both. It keeps a file descriptor
store as systemd 252 does for a unit with FileDescriptorStoreMax=256 (checked
against it by tests/apache/systemd_restart_test.sh): descriptors sent to
NOTIFY_SOCKET with FDSTORE=1 are kept, past 256 closed, passed after the
socket to each later start, and kept still until FDSTOREREMOVE=1 names them
(FDNAME=) or their peer hangs up. Each start and exit is logged, one line
each, to LOG, with the descriptors stored and passed.

usage: socket_holder.py SOCKET LOG [--user USER] -- PROGRAM [ARGS...]
"""
import fcntl
import os
import pwd
import select
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
    account = pwd.getpwnam(user) if user else None
    notify_path = path + ".notify"
    if os.path.exists(notify_path):
        os.unlink(notify_path)
    notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    notify.bind(notify_path)
    notify.setblocking(False)
    os.chmod(notify_path, 0o666)
    stored = []  # (descriptor, name)
    store_max = 256

    def forget(names):
        kept = [(fd, name) for fd, name in stored if name not in names]
        for fd, name in stored:
            if name in names:
                os.close(fd)
        stored[:] = kept

    def drop_hung_up():
        if not stored:
            return
        poller = select.poll()
        for fd, _ in stored:
            poller.register(fd, 0)  # POLLHUP and POLLERR are always reported
        gone = {fd for fd, events in poller.poll(0) if events & (select.POLLHUP | select.POLLERR)}
        for fd in gone:
            os.close(fd)
        stored[:] = [(fd, name) for fd, name in stored if fd not in gone]

    def take_notifications():
        while True:
            try:
                message, fds, _, _ = socket.recv_fds(notify, 4096, 16)
            except BlockingIOError:
                return
            fields = dict(line.split("=", 1) for line in message.decode().splitlines() if "=" in line)
            if fields.get("FDSTOREREMOVE") == "1" and "FDNAME" in fields:
                forget({fields["FDNAME"]})
            for fd in fds:
                if fields.get("FDSTORE") == "1" and len(stored) < store_max:
                    stored.append((fd, fields.get("FDNAME", "stored")))
                else:
                    os.close(fd)

    def prepare(passed, names):
        # In the child: the socket, then the stored descriptors, from 3 on,
        # nothing else open beyond them, the variables that name them, then
        # the user.
        high = [fcntl.fcntl(fd, fcntl.F_DUPFD, 1024) for fd in passed]
        for k, fd in enumerate(high):
            os.dup2(fd, 3 + k)
        os.closerange(3 + len(passed), 65536)
        os.environ["NOTIFY_SOCKET"] = notify_path
        os.environ["LISTEN_FDS"] = str(len(passed))
        os.environ["LISTEN_PID"] = str(os.getpid())
        os.environ["LISTEN_FDNAMES"] = ":".join(names)
        if account:
            os.setgid(account.pw_gid)
            os.setuid(account.pw_uid)

    def start():
        drop_hung_up()
        passed = [listener.fileno()] + [fd for fd, _ in stored]
        names = ["pagestamp.socket"] + [name for _, name in stored]
        child = subprocess.Popen(command, stdin=subprocess.DEVNULL, close_fds=False,
                                 preexec_fn=lambda: prepare(passed, names))
        log.write(f"started {child.pid} passed {len(passed) - 1}\n")
        return child

    def stop(child, sig=signal.SIGTERM):
        began = time.monotonic()
        child.send_signal(sig)
        # Stopping, it stores its connections: taken as they come, as systemd
        # does, or a full queue would hold the stop up.
        while child.poll() is None and time.monotonic() - began < 10:
            take_notifications()
            time.sleep(0.001)
        if child.poll() is None:
            child.kill()
        status = child.wait()
        take_notifications()
        log.write(f"exited {child.pid} status {status} after {int((time.monotonic() - began) * 1000)} ms"
                  f" stored {len(stored)}\n")

    pending = []
    signal.signal(signal.SIGHUP, lambda *_: pending.append("restart"))
    signal.signal(signal.SIGTERM, lambda *_: pending.append("end"))
    child = start()
    while True:
        time.sleep(0.01)
        take_notifications()
        drop_hung_up()
        while pending:
            what = pending.pop(0)
            if what == "end":
                stop(child)
                forget({name for _, name in stored})  # as systemctl stop flushes the store
                return
            stop(child)
            child = start()


if __name__ == "__main__":
    main()
