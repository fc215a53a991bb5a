"""Runs the module, velkfs and phonesim together for the end-to-end tests.

Each test gets a folder of its own holding copies of velkfs and the module
(the module reads fsplugin.ini beside the running executable), a phone root
served by phonesim over a pseudo-terminal, and phonesim's trace of the wire.
Every wait is bounded.
"""

import os
import pty
import resource
import select
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

BIN_DIR = os.environ.get("VELK_BIN_DIR", "")
VELKFS = os.path.join(BIN_DIR, "velkfs")
MODULE = os.path.join(BIN_DIR, "VelkPlugin.wfx")
PHONESIM = os.path.join(BIN_DIR, "phonesim")

# The module's baud-rate index of 115200.
BAUD_INDEX_115200 = 13
# A phone that does not answer ends an operation after about 2.5 s; this bound
# leaves room for process start and a slow machine.
NO_REPLY_BOUND_S = 8.0
INSTALL_FOLDERS = ["INSTALL JAVA GAME", "INSTALL JAVA APP", "INSTALL THEME"]
# The folders a phone has from the factory, into which installations write.
FACTORY_FOLDERS = {"brew": {"mod": {"java_ams": {"config": {"games": {}, "apps": {}}}, "cmgr": {"pp": {}}}}}
FILE_SIZES = [0, 1, 255, 256, 257, 300, 65537]
MIB = 1024 * 1024


def every_byte_value(size, start=0):
    """`size` bytes counting up from `start`: every value 0..255 once size reaches 256."""
    return bytes((start + i) % 256 for i in range(size))


def crc16_x25(data):
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0x8408 if crc & 1 else crc >> 1
    return crc ^ 0xFFFF


def escaped(data):
    out = bytearray()
    for byte in data:
        if byte in (0x7D, 0x7E):
            out += bytes([0x7D, byte ^ 0x20])
        else:
            out.append(byte)
    return bytes(out)


def frame_of(packet):
    """A packet as it goes on the wire: checksum low byte first, escaping, terminator."""
    crc = crc16_x25(packet)
    return escaped(packet + bytes([crc & 0xFF, crc >> 8])) + b"\x7e"


def packet_of(frame):
    """The packet inside a wire frame: escaping undone, checksum and terminator cut."""
    out = bytearray()
    escape = False
    for byte in frame[:-1]:
        if escape:
            out.append(byte ^ 0x20)
            escape = False
        elif byte == 0x7D:
            escape = True
        else:
            out.append(byte)
    return bytes(out[:-2])


def path_field(path):
    raw = path.encode()
    return bytes([len(raw) + 1]) + raw + b"\x00"


def listing_request(sub_operation, index, path=""):
    return bytes([0x59, sub_operation, index & 0xFF, (index >> 8) & 0xFF, 0, 0]) + path_field(path)


def wait_for(condition, timeout=3.0):
    """Polls `condition` until it holds or `timeout` seconds have passed."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


def write_tree(root, tree):
    """Creates files and folders under root: {"name": bytes | dict}."""
    for name, content in tree.items():
        target = os.path.join(root, name)
        if isinstance(content, dict):
            os.makedirs(target, exist_ok=True)
            write_tree(target, content)
        else:
            os.makedirs(os.path.dirname(target), exist_ok=True)
            with open(target, "wb") as handle:
                handle.write(content)


def read_file(path):
    with open(path, "rb") as handle:
        return handle.read()


class Phone:
    """phonesim serving `root` on a pseudo-terminal behind `link`."""

    def __init__(self, folder, options=(), tree=None):
        self.root = os.path.join(folder, "phone")
        self.link = os.path.join(folder, "phone-link")
        self.trace = os.path.join(folder, "trace.txt")
        os.makedirs(self.root, exist_ok=True)
        write_tree(self.root, tree or {})
        self.process = subprocess.Popen(
            [PHONESIM, "--root", self.root, "--link", self.link, "--trace", self.trace, *options],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, start_new_session=True)
        self.output = self._read_until(b"phonesim: listening", 10.0)
        if b"phonesim: listening" not in self.output:
            self.stop()
            raise AssertionError("phonesim did not start: " + self.output.decode(errors="replace"))

    def _read_until(self, marker, timeout):
        data = b""
        deadline = time.monotonic() + timeout
        while marker not in data and time.monotonic() < deadline:
            ready, _, _ = select.select([self.process.stdout], [], [], deadline - time.monotonic())
            if not ready:
                break
            chunk = os.read(self.process.stdout.fileno(), 4096)
            if not chunk:
                break
            data += chunk
        return data

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(5)
        self.output += self.process.stdout.read() or b""
        self.process.stdout.close()

    def path(self, phone_path):
        return os.path.join(self.root, *phone_path.split("/"))

    def trace_lines(self, direction):
        if not os.path.exists(self.trace):
            return []
        with open(self.trace) as handle:
            return [bytes.fromhex(line[3:]) for line in handle if line.startswith(direction + " ")]

    def received_frames(self):
        return self.trace_lines("RX")

    def received_packets(self):
        return [packet_of(frame) for frame in self.received_frames()]

    def sent_packets(self):
        return [packet_of(frame) for frame in self.trace_lines("TX")]


class E2ETestCase(unittest.TestCase):
    """A temporary folder with velkfs, the module and fsplugin.ini; a phone on demand."""

    def setUp(self):
        for program in (VELKFS, MODULE, PHONESIM):
            if not os.path.exists(program):
                self.fail(program + " is not built (VELK_BIN_DIR names the build's bin folder)")
        self.folder = tempfile.mkdtemp(prefix="velk-e2e-")
        self.addCleanup(shutil.rmtree, self.folder, ignore_errors=True)
        # The user's settings folder of this test, empty until velkfs config
        # writes it: until then fsplugin.ini beside velkfs serves, and the
        # real user's files are never touched.
        self.config_home = os.path.join(self.folder, "config")
        self.addCleanup(self._restore_environment, os.environ.get("XDG_CONFIG_HOME"))
        os.environ["XDG_CONFIG_HOME"] = self.config_home
        self.host_dir = os.path.join(self.folder, "host")
        os.makedirs(self.host_dir)
        shutil.copy2(VELKFS, self.host_dir)
        shutil.copy2(MODULE, self.host_dir)
        self.velkfs = os.path.join(self.host_dir, "velkfs")
        self.phones_started = 0
        self.local = os.path.join(self.folder, "local")
        os.makedirs(self.local)

    def start_phone(self, tree=None, options=()):
        """Starts phonesim in a folder of its own and points fsplugin.ini at it."""
        self.phones_started += 1
        phone_folder = os.path.join(self.folder, "phone%d" % self.phones_started)
        os.makedirs(phone_folder)
        phone = Phone(phone_folder, options, tree)
        self.addCleanup(phone.stop)
        with open(os.path.join(self.host_dir, "fsplugin.ini"), "w") as handle:
            handle.write("[VLK]\nvelkport=%s\nbaud=%d\n" % (phone.link, BAUD_INDEX_115200))
        return phone

    def velkfs_run(self, *args, timeout=60, file_size_limit=None):
        """Runs velkfs without a terminal (questions are answered No); returns (code, stdout, stderr)."""
        def limit_file_size():
            resource.setrlimit(resource.RLIMIT_FSIZE, (file_size_limit, file_size_limit))
        result = subprocess.run([self.velkfs, *args], cwd=self.local, capture_output=True,
                                timeout=timeout, start_new_session=True, stdin=subprocess.DEVNULL,
                                preexec_fn=limit_file_size if file_size_limit else None)
        return result.returncode, result.stdout.decode(errors="replace"), result.stderr.decode(errors="replace")

    def velkfs_start(self, *args):
        return subprocess.Popen([self.velkfs, *args], cwd=self.local, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, start_new_session=True, stdin=subprocess.DEVNULL)

    def velkfs_on_terminal(self, args, prompt, answer, timeout=60):
        """Runs velkfs on a pseudo-terminal and types `answer` when `prompt` appears, as a
        person would; returns (code, everything shown on the terminal)."""
        pid, master = pty.fork()
        if pid == 0:
            os.chdir(self.local)
            os.execv(self.velkfs, [self.velkfs, *args])
        shown = b""
        answered = False
        deadline = time.monotonic() + timeout
        try:
            while time.monotonic() < deadline:
                ready, _, _ = select.select([master], [], [], max(0.0, deadline - time.monotonic()))
                if not ready:
                    break
                try:
                    chunk = os.read(master, 4096)
                except OSError:  # the terminal closed: velkfs has ended
                    break
                if not chunk:
                    break
                shown += chunk
                if not answered and prompt.encode() in shown:
                    os.write(master, answer.encode())
                    answered = True
            code = self._wait_child(pid, deadline)
        finally:
            os.close(master)
        return code, shown.decode(errors="replace")

    @staticmethod
    def _restore_environment(config_home):
        if config_home is None:
            os.environ.pop("XDG_CONFIG_HOME", None)
        else:
            os.environ["XDG_CONFIG_HOME"] = config_home

    @staticmethod
    def _wait_child(pid, deadline):
        while True:
            finished, status = os.waitpid(pid, os.WNOHANG)
            if finished:
                return os.waitstatus_to_exitcode(status)
            if time.monotonic() > deadline:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
                raise AssertionError("velkfs did not end in time")
            time.sleep(0.05)

    def local_path(self, *parts):
        return os.path.join(self.local, *parts)

    def write_local(self, name, data):
        path = self.local_path(name)
        write_tree(self.local, {name: data})
        return path

    def assert_listing(self, stdout, expected):
        """`expected`: (name, size) for files, (name, None) for folders, in order."""
        lines = [line.split(None, 1) for line in stdout.splitlines() if line.strip()]
        got = [(name[:-1], None) if size == "<DIR>" else (name, int(size)) for size, name in lines]
        self.assertEqual(got, expected)
