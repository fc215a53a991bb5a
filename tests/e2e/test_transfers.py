"""Copying files each way through velkfs get/put, byte for byte and on the wire."""

import os
import signal
import subprocess
import time
import unittest

from e2e_support import (E2ETestCase, FILE_SIZES, MIB, every_byte_value, frame_of, read_file, wait_for)


def sized_files(sizes):
    # Each file starts at another byte value so that no two are alike.
    return {"f%d.bin" % size: every_byte_value(size, start=size) for size in sizes}


class TransferTest(E2ETestCase):
    sizes = FILE_SIZES + [MIB]

    def test_downloads_come_back_identical(self):
        files = sized_files(self.sizes)
        self.start_phone({"dl": files})
        for name, data in files.items():
            with self.subTest(name=name):
                code, _, err = self.velkfs_run("get", "\\dl\\" + name, self.local_path(name), timeout=600)
                self.assertEqual(code, 0, err)
                self.assertEqual(read_file(self.local_path(name)), data)

    def test_uploads_land_identical(self):
        files = sized_files(self.sizes)
        phone = self.start_phone({"up": {}})
        for name, data in files.items():
            with self.subTest(name=name):
                local = self.write_local(name, data)
                code, _, err = self.velkfs_run("put", local, "\\up\\" + name, timeout=600)
                self.assertEqual(code, 0, err)
                self.assertEqual(read_file(phone.path("up/" + name)), data)


class LocalNameTest(E2ETestCase):
    def test_a_local_name_of_255_bytes_is_written_and_nothing_else(self):
        data = every_byte_value(1000)
        self.start_phone({"dl": {"f.bin": data}})
        name = "n" * 255
        code, _, err = self.velkfs_run("get", "\\dl\\f.bin", self.local_path(name))
        self.assertEqual(code, 0, err)
        self.assertEqual(read_file(self.local_path(name)), data)
        self.assertEqual(os.listdir(self.local), [name])


class FolderCopyTest(E2ETestCase):
    TREE = {"top": {"one.bin": every_byte_value(300), "empty": {},
                    "sub": {"two.bin": every_byte_value(5, start=7), "deeper": {"three.bin": b""}}}}

    def assert_same_tree(self, left, right):
        def tree_of(root):
            return sorted((os.path.relpath(os.path.join(folder, name), root),
                           read_file(os.path.join(folder, name)) if name in files else None)
                          for folder, folders, files in os.walk(root) for name in folders + files)
        self.assertEqual(tree_of(left), tree_of(right))

    def test_folder_copies_each_way_recursively(self):
        phone = self.start_phone(self.TREE)
        code, _, err = self.velkfs_run("get", "/top", self.local)
        self.assertEqual(code, 0, err)
        self.assert_same_tree(phone.path("top"), self.local_path("top"))
        code, _, err = self.velkfs_run("put", self.local_path("top"), "/copy")
        self.assertEqual(code, 0, err)
        self.assert_same_tree(phone.path("top"), phone.path("copy"))


def write_frames(phone):
    """The upload's frames; velkfs lists the target's folder before, as a file manager knows it."""
    return [frame for frame in phone.received_frames() if frame.startswith(b"\x59\x05")]


class WireTest(E2ETestCase):
    def test_three_byte_upload_is_byte_exact(self):
        phone = self.start_phone({"data": {}})
        code, _, err = self.velkfs_run("put", self.write_local("x.txt", b"abc"), "\\data\\x.txt")
        self.assertEqual(code, 0, err)
        expected = bytes.fromhex("59 05 00 00 01 03 00 00 00 FF 00 01 00 0B 64 61 74 61 2F 78 2E 74 78 74"
                                 " 00 03 00 61 62 63 7F F6 7E")
        self.assertEqual(write_frames(phone), [expected])
        self.assertEqual(read_file(phone.path("data/x.txt")), b"abc")

    def test_300_byte_upload_is_byte_exact(self):
        # The framing below is checked against a frame given literally first.
        self.assertEqual(frame_of(bytes.fromhex("59 0B 00 00 00 00 01 00")),
                         bytes.fromhex("59 0B 00 00 00 00 01 00 A3 7D 5E 7E"))
        phone = self.start_phone({"data": {}})
        data = every_byte_value(300)
        code, _, err = self.velkfs_run("put", self.write_local("x.txt", data), "\\data\\x.txt")
        self.assertEqual(code, 0, err)
        first = (bytes.fromhex("59 05 00 01 01 2C 01 00 00 FF 00 01 00 0B") + b"data/x.txt\x00" +
                 bytes.fromhex("00 01") + data[:256])
        second = bytes.fromhex("59 05 01 00 2C 00") + data[256:]
        self.assertEqual(write_frames(phone), [frame_of(first), frame_of(second)])
        self.assertEqual(read_file(phone.path("data/x.txt")), data)


class AbortTest(E2ETestCase):
    """Ctrl-C during a transfer aborts it through the progress callback."""

    DOWNLOAD = ("get", bytes([0x59, 0x04, 0x02]))
    UPLOAD = ("put", bytes([0x59, 0x05, 0x02]))
    ABORT_PACKET = bytes([0x59, 0x04, 0x00])

    def interrupted_transfer(self, kind, size, phone_options, stop=signal.SIGINT):
        """Starts a transfer of `size` bytes, sends `stop` once its second chunk is
        asked for, and returns (exit code, stderr, phone, phone file, local file)."""
        command, second_chunk = kind
        data = every_byte_value(size)
        phone = self.start_phone({"big.bin": data} if command == "get" else {}, options=phone_options)
        local = self.local_path("big.bin")
        if command == "put":
            self.write_local("big.bin", data)
        process = self.velkfs_start(*((command, "\\big.bin", local) if command == "get"
                                      else (command, local, "\\big.bin")))
        if not wait_for(lambda: process.poll() is not None or
                        any(p.startswith(second_chunk) for p in phone.received_packets()), timeout=20):
            process.kill()
        process.send_signal(stop)
        try:
            _, err = process.communicate(timeout=15)
        except subprocess.TimeoutExpired:
            process.kill()
            process.communicate()
            self.fail("velkfs did not end after signal %d" % stop)
        return process.returncode, err.decode(errors="replace"), phone, phone.path("big.bin"), local

    def test_paced_transfers_give_5_leave_no_file_and_tell_the_phone(self):
        for kind in (self.DOWNLOAD, self.UPLOAD):
            with self.subTest(command=kind[0]):
                code, err, phone, phone_file, local = self.interrupted_transfer(kind, 65536, ["--baud", "9600"])
                self.assertEqual(code, 5, err)
                self.assertFalse(os.path.exists(local if kind is self.DOWNLOAD else phone_file))
                self.assertTrue(wait_for(lambda: phone.received_packets()[-1] == self.ABORT_PACKET),
                                "the last requests: %s" % [p[:3].hex() for p in phone.received_packets()[-3:]])

    def test_termination_and_hangup_end_a_download_as_ctrl_c_does(self):
        for stop in (signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=stop):
                code, err, _, _, local = self.interrupted_transfer(self.DOWNLOAD, 65536, ["--baud", "9600"], stop)
                self.assertEqual(code, 5, err)
                self.assertEqual(os.listdir(os.path.dirname(local)), [], "the temporary file is gone")


if __name__ == "__main__":
    unittest.main()
