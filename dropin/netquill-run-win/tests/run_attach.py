#!/usr/bin/env python3
"""netquill-run.exe -p under Wine: a Winsock echo server of threads blocked
in accept and recv, and libuv's uv-echo (overlapped I/O), each driven from
here before, during and after an attach, and attached to twice. The trace
holds exactly the bytes of the calls between attach and detach, the server
serves and ends as untraced, and the refusals say why with exit code 2."""
import argparse, os, shutil, socket, subprocess, sys, time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "../../../tests/support"))
import nqtest  # noqa: E402
from nqtest import check  # noqa: E402

PORT = 7000  # uv-echo's; the C server takes it too


class Wine:
    def __init__(self, a):
        self.a = a
        self.env = {k: v for k, v in os.environ.items()
                    if not k.startswith("NETQUILL")}
        self.env.update(WINEPREFIX=os.path.join(a.work, "prefix"),
                        WINEDEBUG="-all")

    def win_path(self, name):
        return "Z:" + os.path.join(self.a.work, name).replace("/", "\\")

    def start(self, name, args, stdin=subprocess.DEVNULL):
        out = [os.path.join(self.a.work, name + x) for x in (".out", ".err")]
        files = [open(f, "wb") for f in out]
        proc = subprocess.Popen([self.a.wine] + args, env=self.env, stdin=stdin,
                                stdout=files[0], stderr=files[1])
        for f in files:
            f.close()
        proc.out = out
        return proc

    def finish(self, proc, timeout=60):
        try:
            rc = proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            rc = "timed out"
        return [rc] + [open(f, "rb").read() for f in proc.out]

    def wait_for(self, proc, which, text, timeout=30):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if text in open(proc.out[which], "rb").read():
                return True
            if proc.poll() is not None:
                break
            time.sleep(0.05)
        return False

    def pid_of(self, image):
        """The Windows process id of the running image."""
        out = subprocess.run([self.a.wine, self.a.pid_of, image], env=self.env,
                             stdin=subprocess.DEVNULL, capture_output=True,
                             text=True).stdout.split()
        return int(out[0]) if len(out) == 1 else None
