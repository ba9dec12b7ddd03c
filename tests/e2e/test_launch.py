"""Start-up as the customer sees it: the help box, rejected launch options and exit codes."""
STATUS_WINDOW_CLASS = "VarnelQuillory.Status.v1"
HINT = "\n\nRun with --help to view the required arguments."
OK = 1


def help_text(default_url):
    return "\n".join([
        "Quillory.exe",
        "",
        "Standalone (company 1): enter your name and the six-digit ticket from your support agent.",
        'Orvane: --ixcompany 2 --identity "M01|S01|V01|Larkprint|1.0"',
        "Use exactly five nonempty fields separated by |. A field cannot contain |.",
        "",
        f"Optional --server-url (default: {default_url})",
        "Existing individual metadata options remain supported.",
        "Local ws://: --allow-insecure-local + localhost or a private IP address",
        "",
        "Screen updates and remote control require your approval.",
    ])


def expect_single_box(desktop, process, text, icon):
    box = desktop.wait_box()
    assert box["text"] == text
    assert box["icon"] == icon
    assert [(b["id"], b["enabled"]) for b in box["buttons"]] == [(OK, True)]
    assert len(desktop.boxes()) == 1
    assert desktop.windows(STATUS_WINDOW_CLASS) == []
    assert process.running(), "the program must wait for the customer to answer"
    desktop.answer(box, OK)
    return process.wait()


def test_help_shows_the_eleven_lines_and_exits_0(desktop, launch):
    process = launch("--help")
    assert expect_single_box(desktop, process, help_text(desktop.config["default_server_url"]),
                             "information") == 0


def test_unknown_option_is_named_with_the_help_hint_and_exits_2(desktop, launch):
    process = launch("--bogus")
    assert expect_single_box(desktop, process, "Unknown option: --bogus" + HINT, "error") == 2


def test_29_arguments_are_refused_before_any_is_read_and_exit_2(desktop, launch):
    process = launch(*(["--help"] * 29))
    assert expect_single_box(desktop, process, "Too many command-line arguments." + HINT,
                             "error") == 2


def test_non_ascii_option_text_reaches_the_box_intact(desktop, launch):
    process = launch("--requester", "Zoë Łukasik", "--reason", "x" * 513)
    assert expect_single_box(
        desktop, process, "Empty, too long, or invalid value for option: --reason" + HINT,
        "error") == 2
    process = launch("--Zoë")
    assert expect_single_box(desktop, process, "Unknown option: --Zoë" + HINT, "error") == 2


def test_valid_launch_shows_the_entry_form_and_no_box(desktop, launch):
    process = launch("--requester", "Ada", "--server-url", "wss://help.example/client")
    window = desktop.window()
    controls = window.controls()
    assert controls["name"]["text"] == "Ada"
    assert controls["status"]["text"] == (
        "Call your support agent and enter the ticket they provide.")
    info = window.info()
    # Caption, system menu, sizing frame and minimise box, no maximise box; always on top.
    assert (info["title"], info["style"] & 0x00FF0000, info["ex_style"] & 0x8) == (
        "Quillory", 0x00CE0000, 0x8)
    assert desktop.boxes() == []
    window.close()  # nothing runs yet: no question
    assert process.wait() == 0


def test_help_while_an_instance_runs_touches_nothing(desktop, launch):
    first = launch()
    window = desktop.window()
    helper = launch("--help")
    desktop.answer(desktop.wait_box(), OK)
    assert helper.wait() == 0
    window.close()
    assert first.wait() == 0
