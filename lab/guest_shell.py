"""A shell in the guest on a virtio-serial port, and the jobs it runs: each command runs
in a session of its own under the guest's `timeout`, its output arriving line by line,
and ends with a tag line that carries its exit status."""
import base64
import os
import re
import threading

from layout import LabError
from streams import connect, read_lines
from waiting import until


class Job:
    """A command running in a guest shell; its output lines arrive as it prints them."""

    def __init__(self, shell, tag):
        self.shell = shell
        self.tag = tag
        self.lines = []
        self.rc = None
        self._cond = threading.Condition()

    def _line(self, line):
        with self._cond:
            if line.startswith(self.tag):
                self.rc = int(line[len(self.tag):] or "255")
            else:
                self.lines.append(line)
            self._cond.notify_all()

    def _ended(self):
        with self._cond:
            self._cond.notify_all()

    def wait_line(self, pattern, timeout, start=0):
        """The first output line from index `start` on matching `pattern`, or None."""
        rx = re.compile(pattern)
        seen = [start]

        def found():
            for line in self.lines[seen[0]:]:
                if rx.search(line):
                    return line
            seen[0] = len(self.lines)
            return None
        with self._cond:
            return until(found, timeout, self._cond,
                         lambda: self.rc is not None or self.shell.closed)

    def wait(self, timeout):
        """The exit status (None when the job is still running after `timeout`)."""
        with self._cond:
            return until(lambda: self.rc, timeout, self._cond, lambda: self.shell.closed)

    def output(self):
        with self._cond:
            return "\n".join(self.lines)


class GuestShell:
    """One shell in the guest, one job at a time. `other`, the machine's other shell, is
    the one that can stop this one's jobs."""

    def __init__(self, name, path, timeout):
        self.name = name
        self.other = None
        self.sock = connect(path, timeout)
        self.closed = False
        self._job = None
        self._lock = threading.Lock()
        self._count = 0
        read_lines(self.sock, self._line, self._ended)

    def _line(self, raw):
        job = self._job
        if job:
            job._line(raw.decode("utf-8", "replace").rstrip("\r"))

    def _ended(self):
        self.closed = True
        if self._job:
            self._job._ended()

    def start(self, command, timeout):
        """Starts `command` (sh syntax) under the guest's `timeout`, output and errors merged."""
        with self._lock:
            if self._job and self._job.rc is None:
                raise LabError("guest shell busy")
            self._count += 1
            tag = "@@lab-done-%d-%d@@" % (os.getpid(), self._count)
            job = Job(self, tag)
            self._job = job
            job.pidfile = "/run/lab-%s-%d.pid" % (self.name, self._count)
            script = base64.b64encode(command.encode()).decode()
            # A session of its own, so that stop() can end everything the job started.
            line = ("echo %s | base64 -d > /run/lab-%s-%d.sh; setsid -w timeout -k 2 %d sh"
                    " /run/lab-%s-%d.sh </dev/null 2>&1 & echo $! > %s; wait $!;"
                    " rc=$?; echo; echo \"%s$rc\"\n"
                    % (script, self.name, self._count, max(1, int(timeout)), self.name,
                       self._count, job.pidfile, tag))
            self.sock.sendall(line.encode())
            return job

    def busy(self):
        return self._job is not None and self._job.rc is None and not self.closed

    def current(self):
        return self._job

    def stop(self, job):
        """Ends a job (and all it started) through the other shell."""
        if job is None or job.rc is not None:
            return
        self.other.run("kill -KILL -- -$(cat %s) 2>/dev/null" % job.pidfile, timeout=20)
        job.wait(10)

    def run(self, command, timeout=60):
        """Runs `command`; (exit status, output). The status is None when it did not end."""
        job = self.start(command, timeout)
        rc = job.wait(timeout + 5)
        return rc, job.output().rstrip("\n")
