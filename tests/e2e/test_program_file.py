"""The program trusts only Windows' own libraries: a winhttp.dll planted beside it, as a web page
might drop one into the Downloads folder, is never loaded, even with Wine told to prefer native
libraries, and the session runs on the system's WinHTTP."""
import os
import shutil
import subprocess
from pathlib import Path

from desktop import DEFAULT_TIMEOUT, wait_until, work_folder

YES = 6
SCENARIO_TICKET = "300002"  # the window scenario's story 3: runs until the customer closes


def test_a_winhttp_dll_beside_the_program_is_never_loaded(desktop, connect, simulator):
    folder = work_folder(desktop.config, "planted")
    shutil.rmtree(folder)
    folder.mkdir()
    planted = Path(desktop.config["bin"]).parent / "planted" / "winhttp.dll"
    for source in (desktop.bin / "Quillory.exe", desktop.bin / "winhttp_import_probe.exe", planted):
        shutil.copy(source, folder)
    marker = folder / "planted-library-loaded"
    env = {**os.environ, "WINEDLLOVERRIDES": "winhttp=n,b"}

    # The plant works: a program that imports WinHTTP statically loads it from its own folder.
    subprocess.run([desktop.wine_run, str(folder / "winhttp_import_probe.exe")], env=env,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=DEFAULT_TIMEOUT)
    assert marker.exists(), "the planted library was not loaded by a static import"
    marker.unlink()
    try:
        process, window = connect(SCENARIO_TICKET, exe=folder / "Quillory.exe", env=env)
        # Turns go back and forth over WinHTTP; then the customer ends the session.
        wait_until(lambda: len(simulator.client_messages(SCENARIO_TICKET)) > 3)
        window.close()
        desktop.answer(desktop.wait_box(title="End remote support?"), YES)
        assert process.wait() == 0
        assert wait_until(lambda: simulator.closed(SCENARIO_TICKET))
    finally:
        # Checked even when the session failed: a program that loads the plant may never start.
        assert not marker.exists(), "the program loaded the winhttp.dll beside it"
