#!/usr/bin/python3
"""A display and a Wine prefix of a test's own: Xvfb at any size with logical monitors set by
xrandr, and a copy of the build's prepared prefix told to read those monitors (from Xinerama, not
XRandR). The test session's display has one monitor of a fixed size; the two-monitor tests, the
screen tests and the capture benchmark use this instead.

    private_display.py STATE BUILD_WINE_STATE PROGRAM [ARGUMENTS...]

runs one program on the two-monitor display below and returns its exit code (tests/wine/two-monitors).
"""
import os
import select
import shutil
import subprocess
import sys
from pathlib import Path

# \\.\DISPLAY1 (0,0)-(1920,1080), primary, and \\.\DISPLAY2 (1920,0)-(3200,1024).
LEFT_PRIMARY = [("*LEFT", "1920/508x1080/286+0+0", "screen"),
                ("RIGHT", "1280/338x1024/270+1920+0", "none")]
RIGHT_PRIMARY = [("LEFT", "1920/508x1080/286+0+0", "screen"),
                 ("*RIGHT", "1280/338x1024/270+1920+0", "none")]
SESSION = Path(__file__).resolve().parent / "session"
QUIET = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}


class PrivateDisplay:
    """Stopped by stop() (or `with`): the prefix's Wine server first, since Wine keeps the monitors
    it found for as long as its server runs, then Xvfb, by its process id."""

    def __init__(self, state, build_state, size="3200x1080", monitors=LEFT_PRIMARY):
        state, self.process = Path(state).resolve(), None
        prefix = state / "prefix"
        self.env = dict(os.environ, WINEPREFIX=str(prefix), WINEDEBUG="-all", LC_ALL="C.UTF-8")
        self.env.pop("DISPLAY", None)
        if not (prefix / ".private-display-ready").exists():
            subprocess.run([str(SESSION), "prefix", str(build_state)], check=True, timeout=600,
                           **QUIET)
            shutil.rmtree(prefix, ignore_errors=True)
            state.mkdir(parents=True, exist_ok=True)
            subprocess.run(["cp", "-a", str(Path(build_state) / "prefix"), str(prefix)], check=True)
            self.run("/usr/bin/wine", "reg", "add", "HKCU\\Software\\Wine\\X11 Driver", "/v",
                     "UseXRandR", "/t", "REG_SZ", "/d", "N", "/f")
            self.stop_server()
            (prefix / ".private-display-ready").touch()
        # Two servers starting at once may race for the same display and one gives up: try again.
        for _ in range(3):
            self.process, display = self._start(size)
            self.env["DISPLAY"] = display
            if display and self.run("xrandr", "--listmonitors").returncode == 0:
                break
            self.stop()
        else:
            raise RuntimeError("Xvfb did not start")
        for name, geometry, output in monitors:
            self.run("xrandr", "--setmonitor", name, geometry, output, check=True)

    def run(self, *command, check=False, timeout=600, **streams):
        """Runs a command on this display in this prefix; Wine's server and helpers inherit the
        first program's files, so by default none of ours (a pipe would never end)."""
        return subprocess.run(command, env=self.env, check=check, timeout=timeout,
                              start_new_session=True, **{**QUIET, **streams})

    def wine_run(self, path):
        """Writes a script like the build's wine-run, for this display and prefix."""
        keys = ("WINEPREFIX", "WINEDEBUG", "LC_ALL", "DISPLAY")
        Path(path).write_text("#!/bin/sh\n" + "".join(f"export {k}='{self.env[k]}'\n" for k in keys)
                              + 'exec /usr/bin/wine "$@"\n')
        Path(path).chmod(0o755)
        return str(path)

    @staticmethod
    def _start(size):
        read_end, write_end = os.pipe()
        process = subprocess.Popen(
            ["/usr/bin/Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp", "-noreset",
             "-screen", "0", size + "x24"], pass_fds=[write_end], start_new_session=True, **QUIET)
        os.close(write_end)
        # Xvfb writes the number and the line feed apart, and ends if the second write fails:
        # read the whole line before closing our end.
        text = b""
        try:
            while not text.endswith(b"\n"):
                ready, _, _ = select.select([read_end], [], [], 60)
                piece = os.read(read_end, 64) if ready else b""
                if not piece:
                    break
                text += piece
        finally:
            os.close(read_end)
        number = text.decode().strip()
        return process, ":" + number if number else ""

    def stop_server(self):
        for flag in ("-k", "-w"):
            subprocess.run(["/usr/bin/wineserver", flag], env=self.env, timeout=120, check=False)

    def stop(self):
        self.stop_server()
        if self.process:
            self.process.terminate()
            self.process.wait(timeout=60)
            self.process = None

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.stop()


if __name__ == "__main__":
    if len(sys.argv) < 4:
        sys.exit(__doc__.split("\n\n")[1])
    with PrivateDisplay(sys.argv[1], sys.argv[2]) as shown:
        shown.run("/usr/bin/wineserver", "-p")
        sys.exit(subprocess.run(["/usr/bin/wine", *sys.argv[3:]], env=shown.env).returncode)
