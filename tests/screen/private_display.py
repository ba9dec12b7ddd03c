"""A display and a Wine prefix of a test's own, for the screen tests and the capture benchmark.

The test session's display has one monitor of a fixed size; these bring up Xvfb at any size with
logical monitors set by xrandr, and a prefix in which Wine reads those monitors.
"""
import os
import select
import subprocess


class PrivateDisplay:
    """Xvfb on a free display, with logical monitors set by xrandr, stopped by its pid."""

    def __init__(self, size, monitors=()):
        # Two servers starting at once may race for the same display and one gives up: try again.
        for _ in range(3):
            self.process, self.display = self._start(size)
            if self.display and subprocess.run(
                    ["xrandr", "-d", self.display, "--listmonitors"], timeout=60, check=False,
                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0:
                break
            self.stop()
        else:
            raise RuntimeError("Xvfb did not start")
        for name, geometry, output in monitors:
            subprocess.run(["xrandr", "-d", self.display, "--setmonitor", name, geometry, output],
                           check=True, timeout=60, stdout=subprocess.DEVNULL)

    @staticmethod
    def _start(size):
        read_end, write_end = os.pipe()
        process = subprocess.Popen(
            ["/usr/bin/Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp", "-noreset",
             "-screen", "0", size + "x24"],
            pass_fds=[write_end], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL, start_new_session=True)
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

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=60)


class PrivatePrefix:
    """A Wine prefix that takes its monitors from Xinerama (where xrandr's logical monitors
    appear), so that it must not be the test session's."""

    def __init__(self, source, state):
        self.state = state
        self.env = dict(os.environ, WINEPREFIX=str(self.state / "prefix"), WINEDEBUG="-all",
                        LC_ALL="C.UTF-8")
        self.env.pop("DISPLAY", None)
        subprocess.run([str(source / "tests/wine/session"), "prefix", str(self.state)],
                       check=True, timeout=600, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        marker = self.state / "prefix" / ".screen-xinerama"
        if not marker.exists():
            subprocess.run(["/usr/bin/wine", "reg", "add", "HKCU\\Software\\Wine\\X11 Driver",
                            "/v", "UseXRandR", "/t", "REG_SZ", "/d", "N", "/f"], env=self.env,
                           check=True, timeout=600, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           start_new_session=True)
            self.stop_server()
            marker.touch()

    def stop_server(self):
        subprocess.run(["/usr/bin/wineserver", "-k"], env=self.env, timeout=120, check=False)
        subprocess.run(["/usr/bin/wineserver", "-w"], env=self.env, timeout=120, check=False)

    def environment(self, display):
        """The environment for /usr/bin/wine to run a program on `display` in this prefix."""
        return dict(self.env, DISPLAY=display.display)
