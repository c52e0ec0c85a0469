#!/usr/bin/env python3
"""netquill-run as the program's parent, as a shell and a supervisor see it:
a program that stops itself stops the launcher too, which the shell waits
for, and continuing the launcher continues the program; a parent-death
signal that a supervisor gave the launcher reaches the program when the
supervisor dies, as it would untraced."""
import ctypes
import os
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "..", "..", "tests", "support"))
from nqtest import check, report  # noqa: E402

PR_SET_PDEATHSIG = 1


def stopped_by_itself(run, work):
    """The program sends itself SIGTSTP: the launcher stops (the shell's
    waitpid sees it), and SIGCONT to the launcher lets both go on. Played
    out in a session of its own, with the launcher in a process group whose
    parent is in another: the kernel drops a stop signal to a group that
    no process outside it could continue, as the test's own may be."""
    shell = os.fork()
    if shell == 0:
        os.setsid()
        os._exit(play_stopped_job(run, work))
    _, status = os.waitpid(shell, 0)
    code = os.WEXITSTATUS(status) if os.WIFEXITED(status) else -1
    check(code & 1 == 0, "the launcher stops with its program", status)
    check(code & 2 == 0, "continued, the program ends as untraced", status)


def play_stopped_job(run, work):
    """As a shell with job control: 1 when the launcher did not stop, 2
    when continued it did not end as the program did."""
    launcher = subprocess.Popen([run, "-o", os.path.join(work, "stop.log"),
                                 sys.executable, "-c",
                                 "import os, signal; "
                                 "os.kill(os.getpid(), signal.SIGTSTP)"],
                                process_group=0)
    seen = None
    for _ in range(100):
        pid, status = os.waitpid(launcher.pid, os.WUNTRACED | os.WNOHANG)
        if pid:
            seen = status
            break
        time.sleep(0.05)
    if seen is None or not os.WIFSTOPPED(seen):
        os.killpg(launcher.pid, signal.SIGKILL)
        return 1
    os.killpg(launcher.pid, signal.SIGCONT)
    _, status = os.waitpid(launcher.pid, 0)
    return 0 if os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0 else 2


def supervisor_dies(run, work):
    """A supervisor starts the launcher with PR_SET_PDEATHSIG(SIGKILL) and
    is killed: the program dies too."""
    read, write = os.pipe()
    supervisor = os.fork()
    if supervisor == 0:
        os.close(read)
        if os.fork() == 0:
            ctypes.CDLL(None).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
            os.dup2(write, 1)
            os.execv(run, [run, "-o", os.path.join(work, "death.log"),
                           "sh", "-c", "echo $$; exec sleep 60"])
        time.sleep(60)
        os._exit(0)
    os.close(write)
    program = int(os.fdopen(read).readline())
    os.kill(supervisor, signal.SIGKILL)
    os.waitpid(supervisor, 0)
    for _ in range(100):
        if not alive(program):
            break
        time.sleep(0.05)
    gone = not alive(program)
    if not gone:
        os.kill(program, signal.SIGKILL)
    check(gone, "the program dies with its supervisor", program)


def alive(pid):
    """A process that has not ended: a zombie no reaper took counts as
    ended."""
    try:
        with open("/proc/%d/stat" % pid) as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def main():
    run, work = sys.argv[1], sys.argv[2]
    os.makedirs(work, exist_ok=True)
    stopped_by_itself(run, work)
    supervisor_dies(run, work)
    return report()


if __name__ == "__main__":
    sys.exit(main())
