"""Faults of the line and the phone: split, late, missing and damaged replies, and a
terminal that closes in the middle of a transfer."""

import concurrent.futures
import hashlib
import os
import shutil
import signal
import subprocess
import time
import unittest

from e2e_support import (BAUD_INDEX_115200, E2ETestCase, NO_REPLY_BOUND_S, Phone, every_byte_value, read_file, wait_for)

DATA = every_byte_value(3000)
TREE = {"a": {}, "data": {"f.bin": DATA}}

class SlowRepliesTest(E2ETestCase):
    def check_operations_work(self, options):
        phone = self.start_phone(TREE, options=options)
        code, out, err = self.velkfs_run("ls", "\\")
        self.assertEqual(code, 0, err)
        self.assertEqual(out.splitlines()[:2], ["a", "data"])
        code, _, err = self.velkfs_run("get", "\\data\\f.bin", self.local_path("f.bin"))
        self.assertEqual(code, 0, err)
        self.assertEqual(read_file(self.local_path("f.bin")), DATA)
        code, _, err = self.velkfs_run("put", self.local_path("f.bin"), "\\data\\g.bin")
        self.assertEqual(code, 0, err)
        self.assertEqual(read_file(phone.path("data/g.bin")), DATA)
        self.assertEqual(self.velkfs_run("mkdir", "\\data\\new")[0], 0)
        self.assertEqual(self.velkfs_run("rmdir", "\\data\\new")[0], 0)
        self.assertEqual(self.velkfs_run("rm", "\\data\\g.bin")[0], 0)
        self.assertFalse(os.path.exists(phone.path("data/g.bin")))

    def test_split_replies(self):
        self.check_operations_work(["--split", "3", "--gap", "30"])

    def test_delayed_replies(self):
        self.check_operations_work(["--delay", "300"])

    def test_make_directory_then_list_on_a_slow_phone(self):
        # The listing right after the new folder must not take a late reply of the make-directory.
        tree = {"data": dict({"d%02d" % i: {} for i in range(6)}, **{"f%02d" % i: b"x" * i for i in range(7)})}
        self.start_phone(tree, options=["--delay", "300"])
        self.assertEqual(self.velkfs_run("mkdir", "\\data\\new")[0], 0)
        code, out, err = self.velkfs_run("ls", "-l", "\\data")
        self.assertEqual(code, 0, err)
        self.assert_listing(out, [("d%02d" % i, None) for i in range(6)] + [("new", None)] +
                            [("f%02d" % i, i) for i in range(7)])


class NoReplyTest(E2ETestCase):
    """A request lost once is sent again and the operation ends as if nothing happened, with one
    line on standard error; a phone that falls silent ends the operation as failed within the bound."""

    def requests_until(self, args, packet_start):
        """How many requests velkfs sends up to the first one beginning with packet_start."""
        phone = self.start_phone(TREE)
        self.assertEqual(self.velkfs_run(*args)[0], 0)
        packets = phone.received_packets()
        starts = [i for i, p in enumerate(packets) if p.startswith(packet_start)]
        self.assertTrue(starts, "velkfs never sent the request")
        if args[0] == "get":  # the copy made while counting must not hide a failed one
            os.remove(self.local_path(args[2]))
        return starts[0] + 1

    def check_no_reply(self, args, packet_start):
        nth = self.requests_until(args, packet_start)
        # Lost once: a retry.
        phone = self.start_phone(TREE, options=["--drop-nth", str(nth)])
        started = time.monotonic()
        code, _, err = self.velkfs_run(*args)
        self.assertEqual(code, 0, err)
        self.assertLess(time.monotonic() - started, NO_REPLY_BOUND_S)
        self.assertEqual([line for line in err.splitlines() if "retry: " in line],
                         ["velkfs: retry: the phone stopped answering"])
        if args[0] == "get":
            os.remove(self.local_path(args[2]))
        # Silent from then on: a failure, without a retry, within the bound.
        phone = self.start_phone(TREE, options=["--silent-from", str(nth)])
        started = time.monotonic()
        code, _, err = self.velkfs_run(*args)
        self.assertEqual(code, 4, err)
        # The phone is listed once more to find out why, which costs the idle limit again.
        self.assertLess(time.monotonic() - started, 2 * NO_REPLY_BOUND_S)
        self.assertNotIn("retry: ", err)
        return phone

    def test_listing(self):
        self.check_no_reply(["ls", "\\data"], bytes([0x59, 0x0A]))

    def test_listing_lost_in_the_middle_of_a_folder(self):
        """Ten entries, one request lost: the whole listing after the retry. Lost for good: the
        listing fails, and a folder copy with it; nothing partial is taken as complete."""
        tree = {"ten": dict({"d%d" % i: {} for i in range(5)}, **{"f%d" % i: b"x" for i in range(5)})}
        phone = self.start_phone(tree)
        self.assertEqual(self.velkfs_run("ls", "\\ten")[0], 0)
        nth = str([i for i, p in enumerate(phone.received_packets()) if p.startswith(b"\x59\x0a")][4] + 1)
        expected = ["d%d" % i for i in range(5)] + ["f%d" % i for i in range(5)]
        for option in ("--drop-nth", "--flip-request-nth", "--flip-nth"):
            with self.subTest(fault=option):
                self.start_phone(tree, options=[option, nth, "--seed", nth])
                code, out, err = self.velkfs_run("ls", "\\ten")
                self.assertEqual(code, 0, err)
                self.assertEqual(out.splitlines(), expected)
                self.assertIn("velkfs: retry: ", err)
        self.start_phone(tree, options=["--silent-from", nth])
        code, out, err = self.velkfs_run("ls", "\\ten")
        self.assertEqual(code, 4, err)
        self.assertEqual(out.splitlines(), expected[:4])
        self.start_phone(tree, options=["--silent-from", nth])
        code, _, err = self.velkfs_run("get", "\\ten", self.local_path("copy"))
        self.assertEqual(code, 4, err)
        self.assertFalse(os.path.exists(self.local_path(os.path.join("copy", "f0"))))

    def test_download(self):
        self.check_no_reply(["get", "\\data\\f.bin", "f.bin"], bytes([0x59, 0x04, 0x00]))
        self.assertFalse(os.path.exists(self.local_path("f.bin")))

    def test_download_next_chunk(self):
        # A download that stops with part of the file received failed; nobody aborted it.
        self.check_no_reply(["get", "\\data\\f.bin", "f.bin"], bytes([0x59, 0x04, 0x02]))
        self.assertFalse(os.path.exists(self.local_path("f.bin")))

    def test_a_phone_that_asks_for_the_file_again_and_again(self):
        for kind in ("1404", "590406"):
            with self.subTest(kind=kind):
                nth = str(self.requests_until(["get", "\\data\\f.bin", "r.bin"], b"\x59\x04\x00"))
                phone = self.start_phone(TREE, options=["--status", "read=6"] if kind == "590406" else
                                         ["--repeat-nth", nth, "--repeat-kind", kind])
                code, _, err = self.velkfs_run("get", "\\data\\f.bin", "r.bin")
                if kind == "590406":  # every read: two restarts, then the failure
                    self.assertEqual(code, 4, err)
                    self.assertEqual(err.count("velkfs: retry: the phone asked for the file again"), 2)
                    first_reads = [p for p in phone.received_packets() if p.startswith(b"\x59\x04\x00") and len(p) > 3]
                    self.assertEqual(len(first_reads), 3)
                else:  # once: one restart, then the file
                    self.assertEqual(code, 0, err)
                    self.assertEqual(read_file(self.local_path("r.bin")), DATA)
                    os.remove(self.local_path("r.bin"))

    def test_upload(self):
        self.write_local("g.bin", DATA)
        for request in (bytes([0x59, 0x05, 0x00]), bytes([0x59, 0x05, 0x03]), bytes([0x59, 0x04, 0x00])):
            with self.subTest(request=request.hex()):
                phone = self.check_no_reply(["put", "g.bin", "\\data\\g.bin"], request)
                if request[1] == 0x05:
                    self.assertFalse(os.path.exists(phone.path("data/g.bin")))

    def test_folder_commands(self):
        for args, request in ((["mkdir", "\\new"], b"\x59\x00"), (["rmdir", "\\a"], b"\x59\x01"),
                              (["rm", "\\data\\f.bin"], b"\x59\x06")):
            with self.subTest(command=args[0]):
                self.check_no_reply(args, request)


class DamagedReplyTest(E2ETestCase):
    """One damaged reply anywhere, listing included, costs a retry: the copy ends with the file."""

    def test_a_flipped_bit_in_any_download_reply(self):
        # A 3000-byte download takes about a dozen replies, after the listing; damage each in turn.
        for nth in range(1, 16):
            with self.subTest(nth=nth):
                self.start_phone(TREE, options=["--flip-nth", str(nth), "--seed", str(nth)])
                target = self.local_path("f%d.bin" % nth)
                code, _, err = self.velkfs_run("get", "\\data\\f.bin", target, timeout=30)
                self.assertEqual(code, 0, err)
                self.assertEqual(read_file(target), DATA, "a damaged file was reported as copied")

    def test_a_flipped_bit_in_any_upload_reply(self):
        local = self.write_local("g.bin", DATA)
        for nth in range(1, 16):
            with self.subTest(nth=nth):
                phone = self.start_phone(TREE, options=["--flip-nth", str(nth), "--seed", str(nth)])
                code, _, err = self.velkfs_run("put", local, "\\data\\g.bin", timeout=30)
                self.assertEqual(code, 0, err)
                self.assertEqual(read_file(phone.path("data/g.bin")), DATA)


class HangupTest(E2ETestCase):
    """The phone's terminal closes in the middle of an operation."""

    def check_hangup(self, args, after):
        self.start_phone(TREE, options=["--hangup-after", str(after)])
        started = time.monotonic()
        code, _, err = self.velkfs_run(*args, timeout=30)
        self.assertIn(code, (4, 5), err)  # a failure, not a crash (a signal gives a negative code)
        self.assertLess(time.monotonic() - started, NO_REPLY_BOUND_S + 5)

    def test_download(self):
        self.check_hangup(["get", "\\data\\f.bin", "f.bin"], 6)
        self.assertFalse(os.path.exists(self.local_path("f.bin")))

    def test_upload(self):
        self.check_hangup(["put", self.write_local("g.bin", DATA), "\\data\\g.bin"], 3)

    def test_listing(self):
        self.check_hangup(["ls", "\\data"], 1)


MATRIX_SIZES = [0, 1, 255, 256, 257, 65537]
PREVIOUS = b"the previous copy\n"
# Each fault, given the number of the request it hits: (phonesim options, the directions in
# which the result must be 0).
# One fault on a request or a reply costs at most a retry and must still give the file; a phone
# that refuses, hangs up or sends nonsense may fail the transfer.
MATRIX_FAULTS = {
    "drop": (lambda n, op: ["--drop-nth", n], {"get", "put"}),
    "flip-request": (lambda n, op: ["--flip-request-nth", n], {"get", "put"}),
    "flip": (lambda n, op: ["--flip-nth", n, "--seed", n], {"get", "put"}),
    "garbage": (lambda n, op: ["--garbage-nth", n, "--seed", n], {"get", "put"}),
    "split": (lambda n, op: ["--split", "3", "--gap", "2"], {"get", "put"}),
    "delay": (lambda n, op: ["--delay", "10"], {"get", "put"}),
    "repeat": (lambda n, op: ["--repeat-nth", n], {"get"}),  # a write answered 14 04 is refused
    "status": (lambda n, op: ["--status", op + "=" + ("6" if op == "read" else "1")], set()),
    "hangup": (lambda n, op: ["--hangup-after", n], set()),
    "dup": (lambda n, op: ["--dup-nth", n], set()),
    "stale": (lambda n, op: ["--stale-nth", n], {"get", "put"}),
    "empty": (lambda n, op: ["--empty-chunks"], set()),
    "oversize": (lambda n, op: ["--oversize-nth", n], set()),
    "noise": (lambda n, op: ["--noise-nth", n, "3000"], {"get", "put"}),
    "silent": (lambda n, op: ["--silent-from", n], set()),
}


def sha256(data):
    return None if data is None else hashlib.sha256(data).hexdigest()


def read_or_none(path):
    return read_file(path) if os.path.exists(path) else None


class FaultMatrixTest(E2ETestCase):
    """Downloads and uploads of every size under every fault the emulator injects. A result 0
    leaves the exact file; any other result leaves the previous file (or none) and no
    temporary file; every case ends within its bound."""

    def prelude_requests(self, args, packet_start):
        """How many requests velkfs sends before the transfer's first one."""
        phone = self.start_phone({"data": {"f.bin": every_byte_value(10)}})
        self.assertEqual(self.velkfs_run(*args)[0], 0)
        packets = phone.received_packets()
        return next(i for i, packet in enumerate(packets) if packet.startswith(packet_start))

    def run_case(self, direction, size, fault, prelude):
        name = "%s-%d-%s" % (direction, size, fault)
        folder = os.path.join(self.folder, name)
        host = os.path.join(folder, "host")
        local = os.path.join(folder, "local")
        for path in (host, local):
            os.makedirs(path)
        for program in (self.velkfs, os.path.join(self.host_dir, "VelkPlugin.wfx")):
            os.link(program, os.path.join(host, os.path.basename(program)))
        data = every_byte_value(size, start=size % 251)
        # Half the cases replace a previous copy, half make a new file.
        previous = PREVIOUS if (size + list(MATRIX_FAULTS).index(fault)) % 2 == 0 else None
        # A transfer takes one request per 256-byte chunk; the fault hits one past the middle.
        requests = max(1, -(-size // 256))
        nth = str(prelude + requests // 2 + 1)
        options, succeeding = MATRIX_FAULTS[fault]
        must_succeed = direction in succeeding
        on_phone = data if direction == "get" else previous
        tree = {"data": {} if on_phone is None else {"f.bin": on_phone}}
        phone = Phone(os.path.join(folder, "phone"), options(nth, "read" if direction == "get" else "write"), tree)
        with open(os.path.join(host, "fsplugin.ini"), "w") as handle:
            handle.write("[VLK]\nvelkport=%s\nbaud=%d\n" % (phone.link, BAUD_INDEX_115200))
        if direction == "get":
            target = os.path.join(local, "f.bin")
            if previous is not None:
                with open(target, "wb") as handle:
                    handle.write(previous)
            args = ["get", "-f", "\\data\\f.bin", target]
        else:
            target = phone.path("data/f.bin")
            with open(os.path.join(local, "f.bin"), "wb") as handle:
                handle.write(data)
            args = ["put", os.path.join(local, "f.bin"), "\\data\\f.bin"]
        # A retry costs at most the idle limit once more (and the transfer again).
        bound = 2 * NO_REPLY_BOUND_S + requests * (0.05 if fault == "delay" else 0.01)
        code = None  # no result: it did not end within the bound
        started = time.monotonic()
        try:
            code = subprocess.run([os.path.join(host, "velkfs"), *args], cwd=local, capture_output=True,
                                  timeout=bound, start_new_session=True, stdin=subprocess.DEVNULL).returncode
        except subprocess.TimeoutExpired:
            pass
        finally:
            elapsed = time.monotonic() - started
            if code == 0 and direction == "put":  # the phone stores the last chunk right after its reply
                wait_for(lambda: read_or_none(target) == data)
            phone.stop()
        problems = []
        got = read_or_none(target)
        if code is None:
            problems.append("did not end within %.1f s" % bound)
        elif code not in (0, 4) or (must_succeed and code != 0):
            problems.append("result %d" % code)
        if code == 0 and sha256(got) != sha256(data):
            problems.append("result 0 with a wrong file")
        if code != 0 and sha256(got) not in (sha256(previous), direction == "put" and sha256(data)):
            problems.append("a failed transfer changed the file")
        left = sorted(os.listdir(os.path.dirname(target)))
        if left not in ([], ["f.bin"]):
            problems.append("left beside the file: %s" % left)
        shutil.rmtree(folder, ignore_errors=True)
        return name, problems, elapsed

    def run_matrix(self, direction, packet_start):
        self.write_local("f.bin", every_byte_value(10))
        prelude = self.prelude_requests(
            ["get", "\\data\\f.bin", "calibration"] if direction == "get" else ["put", "f.bin", "\\data\\g.bin"],
            packet_start)
        cases = [(direction, size, fault, prelude) for size in MATRIX_SIZES for fault in MATRIX_FAULTS]
        with concurrent.futures.ThreadPoolExecutor(max_workers=12) as pool:
            results = list(pool.map(lambda case: self.run_case(*case), cases))
        for name, problems, elapsed in results:
            with self.subTest(case=name):
                self.assertEqual(problems, [], "%s (%.1f s)" % (name, elapsed))

    def test_downloads(self):
        self.run_matrix("get", bytes([0x59, 0x04, 0x00]))

    def test_uploads(self):
        self.run_matrix("put", bytes([0x59, 0x05, 0x00]))


# One operation that ends by an abort, or is retried after a reply came late,
# then the next with another file: (phonesim options given the number of the
# first read request, what the first operation meets, the next operation).
LEFTOVER_CASES = {
    "abort then get": (lambda n: ["--baud", "9600", "--late-abort", "1500"], "abort get", "get"),
    "abort then put": (lambda n: ["--baud", "9600", "--late-abort", "1500"], "abort put", "put"),
    "retried then list": (lambda n: ["--late-nth", n, "3500"], "late get", "ls"),
    "retried then get": (lambda n: ["--late-nth", n, "3500"], "late get", "get"),
}


class LeftoverTest(E2ETestCase):
    """Nothing of an operation that ended by an abort or a failure reaches the next one."""

    FIRST = every_byte_value(65536, start=1)
    NEXT = every_byte_value(700, start=99)

    def first_read_request(self):
        phone = self.start_phone({"data": {"f.bin": b"x"}})
        self.assertEqual(self.velkfs_run("get", "\\data\\f.bin", "calibration")[0], 0)
        return next(i for i, packet in enumerate(phone.received_packets()) if packet.startswith(b"\x59\x04\x00")) + 1

    def interrupt(self, phone, args, second_chunk):
        process = self.velkfs_start(*args)
        if not wait_for(lambda: process.poll() is not None or
                        any(p.startswith(second_chunk) for p in phone.received_packets()), timeout=20):
            process.kill()
        process.send_signal(signal.SIGINT)
        try:
            process.communicate(timeout=15)
        except subprocess.TimeoutExpired:
            process.kill()
            process.communicate()
        return process.returncode

    def test_the_next_operation_gets_only_its_own_replies(self):
        nth = str(self.first_read_request())
        self.write_local("up.bin", self.FIRST)
        self.write_local("next.bin", self.NEXT)
        for name, (options, first, then) in LEFTOVER_CASES.items():
            with self.subTest(case=name):
                phone = self.start_phone({"data": {"f.bin": self.FIRST, "g.bin": self.NEXT}}, options(nth))
                if first == "abort get":
                    code = self.interrupt(phone, ["get", "-f", "\\data\\f.bin", "f.bin"], b"\x59\x04\x02")
                elif first == "abort put":
                    code = self.interrupt(phone, ["put", "up.bin", "\\data\\up.bin"], b"\x59\x05\x02")
                else:  # the late reply costs a retry, which must not take it for its own
                    code = self.velkfs_run("get", "-f", "\\data\\f.bin", "f.bin")[0]
                    self.assertEqual(read_file(self.local_path("f.bin")), self.FIRST)
                self.assertEqual(code, 5 if first.startswith("abort") else 0)
                if then == "get":
                    code, _, err = self.velkfs_run("get", "-f", "\\data\\g.bin", "g.bin")
                    self.assertEqual(code, 0, err)
                    self.assertEqual(read_file(self.local_path("g.bin")), self.NEXT)
                elif then == "put":
                    code, _, err = self.velkfs_run("put", "next.bin", "\\data\\next.bin")
                    self.assertEqual(code, 0, err)
                    self.assertTrue(wait_for(lambda: read_or_none(phone.path("data/next.bin")) == self.NEXT))
                else:
                    code, out, err = self.velkfs_run("ls", "-l", "\\data")
                    self.assertEqual(code, 0, err)
                    self.assert_listing(out, [("f.bin", len(self.FIRST)), ("g.bin", len(self.NEXT))])


if __name__ == "__main__":
    unittest.main()
