"""`tervalin-dm monitor` in a real terminal: tmux runs it, the test reads the screen and types as a person does."""

import re
import shutil
import subprocess
import sys
import time
import uuid

import pytest

TMUX = shutil.which("tmux")
pytestmark = pytest.mark.skipif(TMUX is None, reason="tmux is not installed")

WAIT_S = 60  # for the screen to show what is awaited; a loaded machine may take long to start Python
POSITION = re.compile(r"[+-]\d+\.\d{4}")  # the first signed number of a row: the position


class Terminal:
    """A detached tmux session of a fixed size on a private server, running a plain shell."""

    def __init__(self, tmp_path):
        self.socket = f"tervalin-test-{uuid.uuid4().hex}"
        self.tmp = tmp_path
        self.tmux(
            "new-session",
            "-d",
            "-s",
            "t",
            "-x",
            "132",
            "-y",
            "30",
            "-c",
            str(tmp_path),
            "env PS1='$ ' TERM=screen bash --norc --noprofile",
        )

    def tmux(self, *args):
        return subprocess.run(
            [TMUX, "-L", self.socket, *args], capture_output=True, text=True, timeout=30, check=True
        ).stdout

    def type(self, *keys):
        self.tmux("send-keys", "-t", "t", *keys)

    def screen(self):
        return self.tmux("capture-pane", "-p", "-t", "t")

    def wait_for(self, found, what, *, give_up=lambda screen: False):
        deadline = time.monotonic() + WAIT_S
        while time.monotonic() < deadline:
            screen = self.screen()
            result = found(screen)
            if result:
                return result
            if give_up(screen):
                break  # waiting longer shows nothing new
            time.sleep(0.1)
        pytest.fail(f"the screen never showed {what}:\n{self.screen()}")

    def run_shell(self, command, marker):
        self.type(f"{command}; echo {marker}-$?", "Enter")
        return self.wait_for(lambda s: re.search(rf"^{marker}-(\d+)$", s, re.M), marker)

    def close(self):
        subprocess.run([TMUX, "-L", self.socket, "kill-server"], capture_output=True, timeout=30)


@pytest.fixture
def terminal(tmp_path):
    term = Terminal(tmp_path)
    yield term
    term.close()


def positions(screen, motor):
    """The position the row of `motor` shows, or None."""
    for line in screen.splitlines():
        if line.startswith(f"{motor} "):
            number = POSITION.search(line)
            return number and number.group()
    return None


def ended(screen):
    """Whether the monitor has ended (the shell printed its exit status)."""
    return re.search(r"^EXIT-\d+$", screen, re.M) is not None


@pytest.mark.parametrize("quit_key", ["q", "C-c"], ids=["q", "ctrl-c"])
def test_monitor_shows_moving_motors_and_restores_the_terminal(terminal, quit_key):
    assert terminal.run_shell("stty -a > before.txt", "BEFORE").group(1) == "0"
    terminal.type(f"{sys.executable} -m tervalin_dm.cli --simulate 2 --timeout 200 monitor 1 2; echo EXIT-$?", "Enter")
    # The table of both motors with numbers, and a position that moves (the simulated motors follow a sine).
    first = terminal.wait_for(
        lambda s: "position" in s and positions(s, "0x2") and positions(s, "0x1"),
        "a table with positions",
        give_up=ended,
    )
    terminal.wait_for(lambda s: positions(s, "0x1") not in (None, first), "a position that changes", give_up=ended)
    screen = terminal.screen()
    assert "ENABLED" in screen and "T mos" in screen and "velocity" in screen
    terminal.type(quit_key)
    status = terminal.wait_for(lambda s: re.search(r"^EXIT-(\d+)$", s, re.M), "the monitor's exit")
    assert status.group(1) == "0"
    # The screen before the monitor is back, the table gone, and the terminal's modes are what they were.
    screen = terminal.screen()
    assert re.search(r"^BEFORE-0$", screen, re.M)
    assert "q or Ctrl-C: quit" not in screen
    assert terminal.run_shell("stty -a > after.txt", "AFTER").group(1) == "0"
    assert (terminal.tmp / "after.txt").read_text() == (terminal.tmp / "before.txt").read_text()


def test_monitor_of_a_silent_motor_fails_without_touching_the_terminal(terminal):
    assert terminal.run_shell("stty -a > before.txt", "BEFORE").group(1) == "0"
    status = terminal.run_shell(f"{sys.executable} -m tervalin_dm.cli --simulate 1 --timeout 50 monitor 3", "EXIT")
    assert status.group(1) == "1"
    assert "motor 0x3 did not answer" in terminal.screen()
    assert terminal.run_shell("stty -a > after.txt", "AFTER").group(1) == "0"
    assert (terminal.tmp / "after.txt").read_text() == (terminal.tmp / "before.txt").read_text()


def test_scan_on_a_terminal_redraws_one_progress_line(terminal):
    status = terminal.run_shell(f"{sys.executable} -m tervalin_dm.cli --simulate 2 scan --ids 1-30", "EXIT")
    assert status.group(1) == "0"
    screen = terminal.screen()
    # One line, redrawn to the end; the plain lines a pipe gets are not there.
    assert len(re.findall(r"^scanning: ", screen, re.M)) == 1
    assert "scanning: 30/30 ids asked, 2 found" in screen
    assert "found motor" not in screen
    assert re.search(r"^0x2 +0x12 +MIT", screen, re.M)
