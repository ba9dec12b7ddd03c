import pytest

from desktop import Desktop


@pytest.fixture(scope="session")
def desktop():
    return Desktop()


@pytest.fixture
def launch(desktop):
    """Starts Quillory.exe with the given arguments; ends it afterwards if it is still running."""
    started = []

    def start(*args):
        process = desktop.start_quillory(*args)
        started.append(process)
        return process

    yield start
    for process in started:
        process.end()
