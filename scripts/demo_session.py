#!/usr/bin/python3
"""Drives one support session of the demo on the virtual display, as a customer would: types a
name and the ticket, connects, allows support and then control, and acknowledges the agent's end.
Saves a screenshot of each step into the output folder.

    demo_session.py CONFIG_JSON OUTPUT_FOLDER TICKET
"""
import json
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "e2e"))
from desktop import Desktop, wait_until  # noqa: E402


def main():
    config, out, ticket = json.loads(Path(sys.argv[1]).read_text()), Path(sys.argv[2]), sys.argv[3]
    desktop = Desktop(config)
    window = desktop.window()

    def shot(name):
        desktop.screenshot(out / f"{name}.png", window.info()["rect"])
        print(f"   {name}: {window.info()['title']}")

    shot("1-entry-form")
    window.set_text("name", "Demo Customer")
    window.set_text("ticket", ticket)
    window.click("connect")
    window.wait(lambda c: c["allow"]["enabled"], timeout=120)
    shot("2-consent-prompt")
    window.click("allow")
    window.wait(lambda c: c["allow"]["enabled"] and c["allow"]["text"] == "Allow control",
                timeout=120)
    wait_until(lambda: not window.info()["iconic"])
    shot("3-control-request")
    window.click("allow")
    box = desktop.wait_box(timeout=120)
    desktop.screenshot(out / "4-agent-ended.png", (0, 0, 1600, 1000))
    print(f"   4-agent-ended: {box['text']}")
    desktop.answer(box, 1)
    window.wait(lambda c: c["ticket"]["visible"])
    window.close()


if __name__ == "__main__":
    main()
