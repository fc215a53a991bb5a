"""Making and removing phone folders and deleting phone files, with each outcome."""

import os
import unittest

from e2e_support import E2ETestCase


class FolderTest(E2ETestCase):
    def test_mkdir_makes_the_folder_and_fails_when_it_exists(self):
        phone = self.start_phone({"data": {}})
        code, _, err = self.velkfs_run("mkdir", "\\data\\new")
        self.assertEqual(code, 0, err)
        self.assertTrue(os.path.isdir(phone.path("data/new")))
        self.assertEqual(phone.received_packets()[0], b"\x59\x00\x09data/new\x00")
        code, _, _ = self.velkfs_run("mkdir", "\\data\\new")  # the phone answers status 7
        self.assertEqual(code, 4)

    def test_mkdir_with_forced_failure_status(self):
        self.start_phone({}, options=["--status", "mkdir=7"])
        code, _, _ = self.velkfs_run("mkdir", "\\new")
        self.assertEqual(code, 4)

    def test_rmdir_removes_and_fails_for_missing_or_non_empty_folders(self):
        phone = self.start_phone({"old": {}, "full": {"f": b"x"}})
        code, _, err = self.velkfs_run("rmdir", "\\old")
        self.assertEqual(code, 0, err)
        self.assertFalse(os.path.exists(phone.path("old")))
        for path, status in (("\\old", 3), ("\\full", 9)):
            with self.subTest(path=path):
                code, _, _ = self.velkfs_run("rmdir", path)
                self.assertEqual(code, 4)
                # velkfs looks at the folder after the failure, to tell why.
                replies = [packet for packet in phone.sent_packets() if packet.startswith(b"\x59\x01")]
                self.assertEqual(replies[-1][:3], bytes([0x59, 0x01, status]))
        self.assertTrue(os.path.exists(phone.path("full/f")))

    def test_rmdir_with_forced_failure_statuses(self):
        for status in (3, 9):
            with self.subTest(status=status):
                self.start_phone({"old": {}}, options=["--status", "rmdir=%d" % status])
                code, _, _ = self.velkfs_run("rmdir", "\\old")
                self.assertEqual(code, 4)

    def test_rm_deletes_and_fails_for_a_missing_file(self):
        phone = self.start_phone({"data": {"a.txt": b"a"}})
        code, _, err = self.velkfs_run("rm", "\\data\\a.txt")
        self.assertEqual(code, 0, err)
        self.assertFalse(os.path.exists(phone.path("data/a.txt")))
        self.assertEqual(phone.received_packets()[0], b"\x59\x06\x0bdata/a.txt\x00")
        code, _, _ = self.velkfs_run("rm", "\\data\\a.txt")
        self.assertEqual(code, 4)

    def test_rm_with_forced_failure_statuses(self):
        for status in (1, 6):
            with self.subTest(status=status):
                phone = self.start_phone({"a.txt": b"a"}, options=["--status", "delete=%d" % status])
                code, _, _ = self.velkfs_run("rm", "\\a.txt")
                self.assertEqual(code, 4)
                self.assertTrue(os.path.exists(phone.path("a.txt")))


if __name__ == "__main__":
    unittest.main()
