import pytest

from desktop import Desktop, Simulator, work_folder


@pytest.fixture(scope="session")
def desktop():
    return Desktop()


@pytest.fixture
def launch(desktop):
    """Starts Quillory.exe with the given arguments; afterwards closes any status window the test
    left (so the next test starts a first instance) and ends the processes it started."""
    started = []

    def start(*args, hidden=False):
        process = desktop.start_hidden(*args) if hidden else desktop.start_quillory(*args)
        started.append(process)
        return process

    yield start
    desktop.close_all()
    for process in started:
        process.end()


@pytest.fixture(scope="module")
def simulator(request, desktop):
    """One support-server simulator for a whole test module (window scenario)."""
    server = Simulator(work_folder(desktop.config, request.module.__name__))
    yield server
    server.stop()


@pytest.fixture
def connect_args(simulator):
    return ["--server-url", simulator.url, "--allow-insecure-local"]
