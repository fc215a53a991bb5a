"""The options dialog on a terminal, typed at through a pseudo-terminal as a
person would, and the settings file it leaves behind.

    terminal_dialog_test.py RUNNER
"""
import os
import pty
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

RUNNER = None
STEP_TIMEOUT = 10.0   # seconds for one screen to appear
EXIT_TIMEOUT = 10.0

DOWN, UP, LEFT = "\x1b[B", "\x1b[A", "\x1b[D"


class TerminalSession:
    def __init__(self, settings, port_name, baud_index, ports, background=False):
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            # pty.fork made the pseudo-terminal the child's controlling terminal.
            args = [RUNNER, settings, port_name, baud_index, ports]
            if not background:
                os.execv(RUNNER, args)
            # As a shell's background job: a process group of its own, not the terminal's.
            job = os.fork()
            if job == 0:
                os.setpgid(0, 0)
                os.execv(RUNNER, args)
            os._exit(os.waitstatus_to_exitcode(os.waitpid(job, 0)[1]) & 0xFF)
        self.output = ""
        self.seen = 0
        self.status = None

    def _read(self, deadline):
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            return False
        ready, _, _ = select.select([self.fd], [], [], remaining)
        if not ready:
            return False
        try:
            data = os.read(self.fd, 4096)
        except OSError:  # the child closed the terminal
            return False
        if not data:
            return False
        self.output += data.decode("utf-8", "replace")
        return True

    def wait_for(self, text):
        """Waits until `text` appears after what the last wait found."""
        deadline = time.monotonic() + STEP_TIMEOUT
        while True:
            at = self.output.find(text, self.seen)
            if at >= 0:
                self.seen = at + len(text)
                return
            if not self._read(deadline):
                raise AssertionError("screen never showed %r; output:\n%s" % (text, self.output[-2000:]))

    def type(self, keys, settle=0.25):
        # A pause after each key lets a lone Esc be told from an arrow key.
        for key in keys:
            os.write(self.fd, key.encode())
            time.sleep(settle)

    def finish(self):
        """Waits for the program's end; returns its result line."""
        deadline = time.monotonic() + EXIT_TIMEOUT
        while self.status is None:
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid:
                self.status = status
                break
            if time.monotonic() > deadline:
                self.kill()
                raise AssertionError("dialog did not close; output:\n" + self.output[-2000:])
            self._read(time.monotonic() + 0.1)
        while self._read(time.monotonic() + 0.2):
            pass
        lines = [l for l in self.output.replace("\r", "").split("\n") if l.startswith("result=")]
        if not lines:
            raise AssertionError("no result line; output:\n" + self.output[-2000:])
        return lines[-1]

    def kill(self):
        if self.status is None:
            os.kill(self.pid, signal.SIGKILL)
            os.waitpid(self.pid, 0)
            self.status = -1

    def close(self):
        self.kill()
        os.close(self.fd)


def read_ini(path):
    values = {}
    section = None
    with open(path) as f:
        for line in f:
            line = line.strip()
            if line.startswith("["):
                section = line.strip("[]").upper()
            elif "=" in line:
                key, value = line.split("=", 1)
                values[(section, key.strip().lower())] = value.strip()
    return values


class TerminalDialog(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="velk-tty-")
        self.settings = os.path.join(self.folder, "fsplugin.ini")
        self.sessions = []

    def tearDown(self):
        for session in self.sessions:
            session.close()
        shutil.rmtree(self.folder)

    def open(self, port_name="COM9", ports="COM1,COM3", settings=None, baud_index="13", background=False):
        session = TerminalSession(settings or self.settings, port_name, baud_index, ports, background)
        self.sessions.append(session)
        if not background:
            session.wait_for("== Options ==")
        return session

    def test_choose_by_number_or_rate_and_press_ok(self):
        s = self.open()
        s.wait_for("> " + "  Port: COM9")        # it opens on the first field
        s.wait_for("Baud rate: 115200")         # the stored rate
        s.wait_for("Port entries:")
        s.wait_for("3) COM9")                   # the configured port, appended
        s.type(["2", "\r"])
        s.wait_for("Port: COM3")
        s.type([DOWN])                          # the field below
        s.wait_for("Baud rate entries:")
        s.wait_for("0) Custom")                 # numbered by the index the settings store
        s.wait_for("*13) 115200")
        s.type(list("9600"))
        s.wait_for("Baud rate: 9600_")          # typing shows in the field
        s.type(["\r"])                          # a rate chooses itself
        s.wait_for("Baud rate: 9600")
        s.type([DOWN, "\r"])                    # -> OK, press
        s.wait_for("Settings written to %s: port COM3, baud rate 9600." % self.settings)
        self.assertEqual(s.finish(), "result=1 port=COM3")
        ini = read_ini(self.settings)
        self.assertEqual(ini[("VLK", "velkport")], "COM3")
        self.assertEqual(ini[("VLK", "baud")], "7")

    def test_arrow_keys_move_down_and_up_the_form(self):
        s = self.open()
        s.type([DOWN])
        s.wait_for("> " + "  Baud rate: 115200")
        s.type([LEFT])
        s.wait_for("Baud rate: 57600")
        s.type([UP])
        s.wait_for("> " + "  Port: COM9")
        s.type([DOWN, DOWN])
        s.wait_for("> [ OK ]")
        s.type(["\r"])
        self.assertEqual(s.finish(), "result=1 port=COM9")
        ini = read_ini(self.settings)
        self.assertEqual(ini[("VLK", "velkport")], "COM9")
        self.assertEqual(ini[("VLK", "baud")], "12")

    def test_a_typed_device_path_joins_the_port_list_when_the_device_exists(self):
        s = self.open()
        s.type(list("/dev/velk-none") + ["\r"])
        s.wait_for("There is no serial port /dev/velk-none.")
        s.type(list("/dev/null"))               # a character device, as serial devices are
        s.wait_for("Port: /dev/null_")
        s.type(["\r"])
        s.wait_for("4) /dev/null")
        s.type([DOWN, DOWN, "\r"])
        self.assertEqual(s.finish(), "result=1 port=/dev/null")
        self.assertEqual(read_ini(self.settings)[("VLK", "velkport")], "/dev/null")

    def test_q_off_the_lists_and_esc_close_without_storing(self):
        for before, close_key in (([DOWN, DOWN], "q"), ([], "\x1b")):
            s = self.open()
            s.type([DOWN, "1", "5", "\r"])    # an index chooses its rate
            s.wait_for("Baud rate: 256000")
            s.type(before + [close_key], settle=0.25)
            self.assertEqual(s.finish(), "result=0 port=COM9")
            self.assertFalse(os.path.exists(self.settings))

    def test_failed_port_listing_offers_the_configured_port(self):
        s = self.open(ports="!")
        s.wait_for("Port: COM9")
        s.wait_for("1) COM9")
        s.type([DOWN, DOWN, "\r"])
        self.assertEqual(s.finish(), "result=1 port=COM9")
        self.assertEqual(read_ini(self.settings)[("VLK", "velkport")], "COM9")

    def test_refused_write_reports_and_stays_open(self):
        # A file stands where the settings folder would be made.
        open(os.path.join(self.folder, "blocked"), "w").close()
        settings = os.path.join(self.folder, "blocked", "fsplugin.ini")
        s = self.open(settings=settings)
        s.type(["1", "\r"])
        s.wait_for("Port: COM1")
        s.type([DOWN, DOWN, "\r"])
        s.wait_for("Unable to write to " + settings)
        s.wait_for("Port: COM1")           # the dialog is still there
        s.type(["q"], settle=0)
        self.assertEqual(s.finish(), "result=0 port=COM1")
        self.assertFalse(os.path.exists(settings))

    def test_a_background_job_is_refused_not_stopped(self):
        s = self.open(background=True)
        self.assertEqual(s.finish(), "result=0 port=COM9")
        self.assertIn("run it in the foreground", s.output)
        self.assertFalse(os.path.exists(self.settings))

    def test_without_a_terminal_nothing_opens(self):
        done = subprocess.run([RUNNER, self.settings, "COM9", "13", "COM1"], stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, start_new_session=True,
                              timeout=EXIT_TIMEOUT)
        self.assertEqual(done.stdout.strip(), "result=0 port=COM9")
        self.assertFalse(os.path.exists(self.settings))


if __name__ == "__main__":
    RUNNER = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
