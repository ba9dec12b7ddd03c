"""The ticket and name checks of Connect: each refusal is an information box, focus goes to the
field at fault, and nothing connects (no server is given: a connection would fail loudly)."""
import pytest

from desktop import wait_until

TICKET = "Enter the six-digit ticket from your support agent."
NAME = "Enter your name before connecting."
OK = 1


@pytest.fixture(scope="module")
def window(desktop):
    process = desktop.start_quillory()
    yield desktop.window()
    desktop.close_all()
    process.end()


@pytest.mark.parametrize("name, ticket, sentence, field", [
    ("Ada", "12345", TICKET, "ticket"),           # five digits
    ("Ada", "12a456", TICKET, "ticket"),          # a pasted non-digit
    ("Ada", "", TICKET, "ticket"),
    ("", "", TICKET, "ticket"),                   # the ticket is checked first
    ("   ", "123456", NAME, "name"),              # blanks only
    ("", "123456", NAME, "name"),
    ("Ada\tLovelace", "123456", NAME, "name"),    # a control character inside
    ("x" * 129, "123456", NAME, "name"),          # one unit too long
    ("\u3000\u2003", "123456", NAME, "name"),     # only (wide) white space
])
def test_refused_entries(desktop, window, name, ticket, sentence, field):
    window.set_text("name", name)
    window.set_text("ticket", ticket)
    window.click("connect")
    box = desktop.wait_box()
    assert (box["text"], box["icon"]) == (sentence, "information")
    assert [b["id"] for b in box["buttons"]] == [OK]
    desktop.answer(box, OK)
    wait_until(lambda: window.focus() == field)
    controls = window.controls()
    assert (controls["connect"]["text"], controls["connect"]["enabled"]) == ("Connect", True)
    assert desktop.boxes() == []
