"""A private X server (Xvfb) for the tests that open real windows.

No window manager runs on it, so Wine draws no title bar and nothing moves
or resizes the program's windows behind the test's back.
"""
import os
import shutil
import subprocess
import time
from pathlib import Path

XVFB = shutil.which("Xvfb") or "/usr/bin/Xvfb"
SOCKETS = Path("/tmp/.X11-unix")


def available():
    return Path(XVFB).exists()


class VirtualDisplay:
    """Xvfb on the first free display number from 90 up; `name` is the
    DISPLAY value (":N") while it runs."""

    def __init__(self, width=1280, height=900, depth=24, first=90):
        self.size = (width, height, depth)
        self.first = first
        self.number = None
        self.process = None
        self.log = None

    @property
    def name(self):
        return f":{self.number}"

    def start(self, seconds=15):
        width, height, depth = self.size
        for number in range(self.first, self.first + 50):
            # A lock file or socket means another server has (or had) it.
            if Path(f"/tmp/.X{number}-lock").exists() or (SOCKETS / f"X{number}").exists():
                continue
            self.number = number
            self.log = open(f"/tmp/tesmora-xvfb-{number}.log", "wb")
            self.process = subprocess.Popen(
                [XVFB, self.name, "-screen", "0", f"{width}x{height}x{depth}", "-nolisten", "tcp", "-noreset"],
                stdout=self.log, stderr=subprocess.STDOUT)
            if self._wait_ready(seconds):
                return self
            self.stop()  # lost a race for the number, or a server that never came up
        raise RuntimeError("Xvfb did not start on any display :%d..:%d" % (self.first, self.first + 49))

    def _wait_ready(self, seconds):
        deadline = time.monotonic() + seconds
        env = dict(os.environ, DISPLAY=self.name)
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                return False
            if (SOCKETS / f"X{self.number}").exists() and subprocess.run(
                    ["xdpyinfo"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0:
                return True
            time.sleep(0.05)
        return False

    def stop(self):
        if self.process is not None:
            if self.process.poll() is None:
                self.process.terminate()
                try:
                    self.process.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    self.process.kill()
                    self.process.wait()
            self.process = None
        if self.log is not None:
            self.log.close()
            Path(self.log.name).unlink(missing_ok=True)
            self.log = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
