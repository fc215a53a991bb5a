"""Faults of the line and the phone: split, late, missing and damaged replies, and a
terminal that closes in the middle of a transfer."""

import os
import time
import unittest

from e2e_support import (E2ETestCase, NO_REPLY_BOUND_S, every_byte_value, read_file)

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


class NoReplyTest(E2ETestCase):
    """A request that gets no reply ends its operation as failed within the bound."""

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

    def check_no_reply(self, args, packet_start, expected_code=4):
        nth = self.requests_until(args, packet_start)
        phone = self.start_phone(TREE, options=["--drop-nth", str(nth)])
        started = time.monotonic()
        code, _, err = self.velkfs_run(*args)
        elapsed = time.monotonic() - started
        self.assertEqual(code, expected_code, err)
        self.assertLess(elapsed, NO_REPLY_BOUND_S)
        return phone

    def test_listing(self):
        self.check_no_reply(["ls", "\\data"], bytes([0x59, 0x0A]))

    def test_download(self):
        self.check_no_reply(["get", "\\data\\f.bin", "f.bin"], bytes([0x59, 0x04, 0x00]))
        self.assertFalse(os.path.exists(self.local_path("f.bin")))

    def test_download_next_chunk(self):
        # A download that stops with part of the file received failed; nobody aborted it.
        self.check_no_reply(["get", "\\data\\f.bin", "f.bin"], bytes([0x59, 0x04, 0x02]))
        self.assertFalse(os.path.exists(self.local_path("f.bin")))

    def test_upload(self):
        self.write_local("g.bin", DATA)
        for request in (bytes([0x59, 0x05, 0x00]), bytes([0x59, 0x05, 0x03])):
            with self.subTest(request=request.hex()):
                phone = self.check_no_reply(["put", "g.bin", "\\data\\g.bin"], request)
                self.assertFalse(os.path.exists(phone.path("data/g.bin")))

    def test_folder_commands(self):
        for args, request in ((["mkdir", "\\new"], b"\x59\x00"), (["rmdir", "\\a"], b"\x59\x01"),
                              (["rm", "\\data\\f.bin"], b"\x59\x06")):
            with self.subTest(command=args[0]):
                self.check_no_reply(args, request)


class DamagedReplyTest(E2ETestCase):
    def test_flipped_bits_never_give_a_wrong_file_reported_as_copied(self):
        # A 3000-byte download takes about a dozen replies; damage each in turn.
        for nth in range(1, 14):
            with self.subTest(nth=nth):
                self.start_phone(TREE, options=["--flip-nth", str(nth), "--seed", str(nth)])
                target = self.local_path("f%d.bin" % nth)
                code, _, err = self.velkfs_run("get", "\\data\\f.bin", target, timeout=30)
                if code == 0:
                    self.assertEqual(read_file(target), DATA, "a damaged file was reported as copied")
                else:
                    self.assertIn(code, (4, 5), err)
                    self.assertFalse(os.path.exists(target))

    def test_flipped_bits_in_upload_replies_never_give_a_wrong_file(self):
        local = self.write_local("g.bin", DATA)
        for nth in range(1, 14):
            with self.subTest(nth=nth):
                phone = self.start_phone(TREE, options=["--flip-nth", str(nth), "--seed", str(nth)])
                code, _, err = self.velkfs_run("put", local, "\\data\\g.bin", timeout=30)
                if code == 0:
                    self.assertEqual(read_file(phone.path("data/g.bin")), DATA)
                else:
                    self.assertIn(code, (4, 5), err)


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


if __name__ == "__main__":
    unittest.main()
