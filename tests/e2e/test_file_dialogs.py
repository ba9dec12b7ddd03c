"""Files both ways through the real Open and Save dialogs: what the customer chooses is what the
agent gets (or where the agent's file lands), a cancelled dialog answers the agent and the session
goes on, and Stop Support in the middle of a transfer leaves nothing half-written behind."""
import hashlib
import os

from desktop import SCENARIOS, wait_until

SCENARIO = SCENARIOS / "file_dialogs.py"
SAVE_TITLE = "Save file from support agent - choose a new filename"
PICK_TITLE = "Select a file to send to the support agent (up to 200 MB)"
CHUNK = 196608
OK, CANCEL = 1, 2


def sha256(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


def stage_notes(simulator, label, stage, count=1):
    """The notes of one stage, once `count` of them are in the transcript."""
    def found():
        notes = [e for e in simulator.connection(label)
                 if e.get("event") == "note" and e.get("stage") == stage]
        return notes if len(notes) >= count else None
    return wait_until(found, timeout=120)


def answer_dialog(desktop, title, file_name, path=None):
    """Waits for the dialog, checks what it shows, and chooses `path` (None: Cancel)."""
    shown = desktop.driver("wait-file-dialog", "--timeout", 120)[0]
    assert (shown["title"], shown["file_name"]) == (title, file_name)
    if path is None:
        desktop.driver("click", shown["hwnd"], CANCEL)
    else:
        desktop.driver("fill-file-name", shown["hwnd"], "Z:" + str(path).replace("/", "\\"))


def start_session(connect, ticket):
    process, window = connect(ticket)
    window.wait(lambda c: c["allow"]["enabled"], timeout=120)
    window.click("allow")
    return process, window


def stop_support(process, window, simulator, label):
    window.click("stop")
    window.wait(lambda c: not c["stop"]["enabled"])
    assert wait_until(lambda: simulator.closed(label), timeout=120)
    window.close()
    assert process.wait() == 0


def test_files_both_ways_cancels_and_a_stopped_download(desktop, connect, simulator, tmp_path):
    label = "600001"
    taken, saved, upload = (tmp_path / name for name in ("report.bin", "saved report.bin",
                                                         "upload data.bin"))
    taken.write_bytes(b"keep me")
    upload.write_bytes(os.urandom(2 * CHUNK + 1234))
    process, window = start_session(connect, label)

    # The offered file: an existing name is refused until another one is typed.
    answer_dialog(desktop, SAVE_TITLE, "report.bin", taken)
    box = desktop.wait_box(title="Choose a new filename")
    assert (box["text"], box["icon"]) == (
        "That file already exists. Choose a different filename.", "information")
    desktop.answer(box, OK)
    answer_dialog(desktop, SAVE_TITLE, "report.bin", saved)
    offered = stage_notes(simulator, label, "offered")[0]
    assert offered["delivered"] and taken.read_bytes() == b"keep me"
    assert (saved.stat().st_size, sha256(saved)) == (offered["size"], offered["sha256"])

    # A cancelled save, then a cancelled pick: the agent hears of each and moves on.
    answer_dialog(desktop, SAVE_TITLE, "declined.txt")
    assert not stage_notes(simulator, label, "offered", 2)[1]["delivered"]
    answer_dialog(desktop, PICK_TITLE, "")
    assert not stage_notes(simulator, label, "requested")[0]["received"]

    # The agent asks again: the picked file arrives whole.
    answer_dialog(desktop, PICK_TITLE, "", upload)
    requested = stage_notes(simulator, label, "requested", 2)[1]
    assert (requested["received"], requested["name"], requested["size"], requested["sha256"]) == (
        True, upload.name, upload.stat().st_size, sha256(upload))

    # Stop Support while a download is under way: neither the partial nor the file remains.
    answer_dialog(desktop, SAVE_TITLE, "big.bin", tmp_path / "big.bin")
    stage_notes(simulator, label, "holding")
    wait_until(lambda: any(p.name.endswith(".part") and p.stat().st_size >= CHUNK
                           for p in tmp_path.iterdir()))
    stop_support(process, window, simulator, label)
    wait_until(lambda: sorted(p.name for p in tmp_path.iterdir()) == sorted(
        [taken.name, saved.name, upload.name]))

    answers = [m for m in simulator.client_messages(label)
               if m["type"] in ("file_accept", "file_cancel")]
    assert [m["type"] for m in answers] == [
        "file_accept", "file_cancel", "file_cancel", "file_accept", "file_accept"]
    assert len({m["transfer_id"] for m in answers}) == 5, "each answer is for its own transfer"


def test_stop_support_during_an_upload(desktop, connect, simulator, tmp_path):
    label = "610001"
    upload = tmp_path / "large upload.bin"
    data = os.urandom(3 * CHUNK + 5)
    upload.write_bytes(data)
    process, window = start_session(connect, label)
    answer_dialog(desktop, PICK_TITLE, "", upload)
    assert stage_notes(simulator, label, "holding")[0]["received"] == CHUNK
    stop_support(process, window, simulator, label)
    assert upload.read_bytes() == data and list(tmp_path.iterdir()) == [upload]
    assert not any(m["type"] == "file_finish" for m in simulator.client_messages(label))
