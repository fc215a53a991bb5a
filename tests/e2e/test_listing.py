"""Listing phone folders through velkfs ls, checked against the requests on the wire."""

import unittest

from e2e_support import (E2ETestCase, INSTALL_FOLDERS, listing_request)

DIRS, FILES = 0x0A, 0x0B
ABC_TREE = {"a": {}, "b": {}, "c": b"0123456789"}


class ListingTest(E2ETestCase):
    def test_root_lists_entries_then_install_folders_with_the_expected_requests(self):
        phone = self.start_phone(ABC_TREE)
        code, out, err = self.velkfs_run("ls", "-l", "\\")
        self.assertEqual(code, 0, err)
        self.assert_listing(out, [("a", None), ("b", None), ("c", 10)] +
                            [(name, None) for name in INSTALL_FOLDERS])
        expected = ([listing_request(DIRS, i) for i in (0, 1, 2)] +
                    [listing_request(FILES, i) for i in (0, 1, 0, 1, 0)])
        self.assertEqual(phone.received_packets(), expected)

    def test_sub_folder_lists_no_install_folders(self):
        phone = self.start_phone({"d": ABC_TREE})
        code, out, err = self.velkfs_run("ls", "-l", "\\d")
        self.assertEqual(code, 0, err)
        self.assert_listing(out, [("a", None), ("b", None), ("c", 10)])
        expected = ([listing_request(DIRS, i, "d") for i in (0, 1, 2)] +
                    [listing_request(FILES, i, "d") for i in (0, 1)])
        self.assertEqual(phone.received_packets(), expected)

    def test_empty_folder_and_install_paths_list_nothing(self):
        phone = self.start_phone({"empty": {}})
        code, out, err = self.velkfs_run("ls", "\\empty")
        # velkfs lists an empty folder only when the module set last error 18.
        self.assertEqual((code, out), (0, ""), err)
        self.assertEqual(len(phone.received_packets()), 2)
        before = len(phone.received_frames())
        for name in INSTALL_FOLDERS:
            for path in ("\\" + name, "\\" + name + "\\"):
                with self.subTest(path=path):
                    code, out, err = self.velkfs_run("ls", path)
                    self.assertEqual((code, out), (0, ""), err)
        self.assertEqual(len(phone.received_frames()), before, "nothing is sent for the install folders")

    def test_empty_root_offers_no_install_folders(self):
        self.start_phone({})
        code, out, err = self.velkfs_run("ls", "\\")
        self.assertEqual((code, out), (0, ""), err)

    def test_folder_the_phone_cannot_list_shows_the_error(self):
        self.start_phone(ABC_TREE)
        code, out, err = self.velkfs_run("ls", "\\missing")
        self.assertEqual(code, 4)
        self.assertEqual(out, "")
        self.assertIn("Error while reading file system!", err)

    def test_large_folder_lists_to_its_end(self):
        count = 300
        tree = {"big": {**{"d%03d" % i: {} for i in range(count)},
                        **{"f%03d" % i: bytes([i % 256]) * (i % 7) for i in range(count)}}}
        phone = self.start_phone(tree)
        code, out, err = self.velkfs_run("ls", "-l", "\\big", timeout=150)
        self.assertEqual(code, 0, err)
        # The phone lists by name, every entry, 126 included.
        expected = [("d%03d" % i, None) for i in range(count)] + [("f%03d" % i, i % 7) for i in range(count)]
        self.assert_listing(out, expected)
        frames = phone.received_frames()
        for sub_operation in (0x0A, 0x0B):
            self.assertEqual(sum(frame.startswith(bytes([0x59, sub_operation, 0x7D, 0x5E, 0x00])) for frame in frames),
                             1, "index 126 goes out escaped")
        asked = [packet[2] | packet[3] << 8 for packet in phone.received_packets()]
        self.assertIn(count, asked, "the last sub-folder phase request asks past index 255")


if __name__ == "__main__":
    unittest.main()
