import pytest

from desktop import SCENARIOS, Desktop, Simulator, work_folder


@pytest.fixture(scope="session")
def desktop():
    return Desktop()


@pytest.fixture
def launch(desktop):
    """Starts Quillory.exe with the given arguments; afterwards closes any status window the test
    left (so the next test starts a first instance) and ends the processes it started."""
    started = []

    def start(*args, **how):
        started.append(desktop.start_quillory(*args, **how))
        return started[-1]

    yield start
    desktop.close_all()
    for process in started:
        process.end()


@pytest.fixture(scope="module")
def simulator(request, desktop):
    """One support-server simulator for a whole test module, with the module's SCENARIO (the
    window scenario unless it names another) and SIMULATOR_OPTIONS."""
    server = Simulator(work_folder(desktop.config, request.module.__name__),
                       getattr(request.module, "SCENARIO", SCENARIOS / "window.py"),
                       **getattr(request.module, "SIMULATOR_OPTIONS", {}))
    yield server
    server.stop()


@pytest.fixture
def connect_args(simulator):
    return ["--server-url", simulator.url, "--allow-insecure-local"]


@pytest.fixture
def connect(desktop, launch, connect_args):
    """Starts the program against the simulator and connects with the ticket given."""
    def start(ticket, name="Ada Lovelace", **how):
        process = launch(*connect_args, **how)
        window = desktop.window()
        window.set_text("name", name)
        window.set_text("ticket", ticket)
        window.click("connect")
        return process, window
    return start
