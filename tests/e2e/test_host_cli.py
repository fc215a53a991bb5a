"""velkfs's own command line: help, usage errors, and the settings it writes."""

import os
import stat
import unittest

from e2e_support import E2ETestCase, every_byte_value, read_file

SUBCOMMANDS = ["ls", "get", "put", "mkdir", "rmdir", "rm", "install-game", "install-app",
               "install-theme", "options", "config"]


class CommandLineTest(E2ETestCase):
    def user_settings(self):
        return os.path.join(self.config_home, "velk-plugin", "fsplugin.ini")

    def settings(self):
        with open(self.user_settings()) as handle:
            return handle.read().splitlines()

    def test_every_subcommand_has_help(self):
        for subcommand in SUBCOMMANDS:
            with self.subTest(subcommand=subcommand):
                code, out, err = self.velkfs_run(subcommand, "--help")
                self.assertEqual(code, 0, err)
                self.assertIn("Usage:", out)

    def test_usage_errors_give_2(self):
        unknown = "unknown subcommand 'lss'; the subcommands are: " + ", ".join(SUBCOMMANDS)
        for args, said in (([], ""), (["get", "only-one"], ""), (["lss"], unknown),
                           (["config", "--baud", "12345"], "12345")):
            with self.subTest(args=args):
                code, _, err = self.velkfs_run(*args)
                self.assertEqual(code, 2)
                self.assertIn(said, err)

    def test_an_unreachable_phone_is_told_with_the_settings_in_use(self):
        missing = os.path.join(self.folder, "no-such-port")
        deaf = self.start_phone(options=["--silent-from", "1"]).link
        for args, port, baud, said in (
                (["get", "/x.txt", "x.txt"], missing, 13, "the port %s could not be opened" % missing),
                (["ls", "/"], deaf, 13, "the phone did not answer on %s at 115200 baud" % deaf),
                (["mkdir", "/new"], deaf, 42, "the baud index 42 is none of the list")):
            with self.subTest(args=args):
                with open(os.path.join(self.host_dir, "fsplugin.ini"), "w") as handle:
                    handle.write("[VLK]\nvelkport=%s\nbaud=%d\n" % (port, baud))
                code, _, err = self.velkfs_run(*args)
                self.assertEqual(code, 4)
                self.assertIn(said, err)
                self.assertIn(os.path.join(self.host_dir, "fsplugin.ini"), err)
                self.assertIn("velkfs config --port", err)
                self.assertNotIn("no such file", err)

    def test_put_into_an_existing_phone_folder_as_cp_does(self):
        phone = self.start_phone({"data": {}})
        local = self.write_local("x.txt", b"abc")
        for target in ("/data", "\\data\\"):
            with self.subTest(target=target):
                code, _, err = self.velkfs_run("put", local, target)
                self.assertEqual(code, 0, err)
                self.assertEqual(read_file(phone.path("data/x.txt")), b"abc")
                os.remove(phone.path("data/x.txt"))

    def test_put_and_get_show_the_same_bar_on_a_terminal(self):
        self.start_phone({"data": {"x.txt": b"abc"}})
        local = self.write_local("y.txt", b"abc")
        for args in (["put", local, "/data/y.txt"], ["get", "/data/x.txt", "x.txt"]):
            with self.subTest(command=args[0]):
                code, shown = self.velkfs_on_terminal(args, "no question comes", "")
                self.assertEqual(code, 0, shown)
                self.assertIn("] 100%  3 B / 3 B", shown)

    def test_failures_say_why(self):
        self.start_phone({"data": {"f.bin": b"x", "notes.txt": {}}})
        self.write_local("game.jar", b"jar")
        self.write_local("notes.txt", b"notes")
        os.mkfifo(os.path.join(self.local, "pipe"))
        for args, said in ((["mkdir", "/data"], "the folder exists"),
                           (["mkdir", "/none/new"], "there is no phone folder /none"),
                           (["rmdir", "/data"], "the folder is not empty"),
                           (["rmdir", "/data/f.bin"], "it is a file"),
                           (["rm", "/data"], "it is a phone folder"),
                           (["rm", "/data/g.bin"], "no such file on the phone"),
                           (["put", "notes.txt", "/none/notes.txt"], "there is no phone folder /none"),
                           (["put", "notes.txt", "/data/"], "the target is a phone folder"),
                           (["put", "pipe", "/data/pipe"], "pipe: it is not a regular file"),
                           (["get", "/data/g.bin", "g.bin"], "no such file or folder on the phone"),
                           (["install-game", "game.jar"], "its companion is missing"),
                           (["install-app", "notes.txt"], "takes a .jar or a .jad"),
                           (["install-theme", "notes.txt"], "the phone has no folder /brew/mod/cmgr/pp")):
            with self.subTest(args=args):
                code, _, err = self.velkfs_run(*args)
                self.assertEqual(code, 4, err)
                self.assertIn(said, err)

    def test_failures_name_the_real_cause(self):
        tree = {"data": {"f.bin": every_byte_value(3000)}}
        too_long = "x" * 5000
        for options, args, said, file_size_limit in (
                (["--hangup-after", "6"], ["get", "/data/f.bin", "f.bin"], "the line to the phone went away", None),
                # Damaged, and the phone silent after it: no retry can mend it.
                (["--flip-nth", "4", "--silent-from", "5"], ["get", "-f", "/data/f.bin", "f.bin"],
                 "a reply from the phone came damaged", None),
                ([], ["get", "/data/f.bin", "nosuchdir/"], "the local folder nosuchdir does not exist", None),
                (["--status", "read=06"], ["get", "/data/f.bin", "f.bin"],
                 "the phone answered with an error (status 0x06)", None),
                (["--status", "write=01"], ["put", "notes.txt", "/data/n.txt"],
                 "the phone answered with an error (status 0x01)", None),
                ([], ["get", "/data/f.bin", too_long], "File name too long", None),
                # The write fails like one to a full disk; the signal would end velkfs mid-way.
                ([], ["get", "/data/f.bin", "f.bin"], "File too large", 1000)):
            with self.subTest(options=options, args=args[:2], file_size_limit=file_size_limit):
                self.start_phone(tree, options=options)
                self.write_local("notes.txt", b"notes")
                code, _, err = self.velkfs_run(*args, file_size_limit=file_size_limit)
                self.assertEqual(code, 4, err)
                self.assertIn(said, err)
                self.assertNotIn("could not be opened", err)
                self.assertEqual(sorted(os.listdir(self.local)), ["notes.txt"], "nothing left behind")

    def test_settings_are_told_with_the_file_they_come_from(self):
        beside = os.path.join(self.host_dir, "fsplugin.ini")
        code, out, err = self.velkfs_run("config")
        self.assertEqual(code, 0, err)
        self.assertIn("there is no %s nor %s" % (self.user_settings(), beside), out)
        self.assertIn("port  COM1", out)
        with open(beside, "wb") as handle:  # as an editor on Windows may save it
            handle.write(b"\xef\xbb\xbf[VLK]\r\nvelkport=/dev/velk-none\r\nbaud=13\r\n")
        code, out, err = self.velkfs_run("config")
        self.assertEqual(code, 0, err)
        self.assertIn("from " + beside, out)
        self.assertIn("port  /dev/velk-none", out)
        self.assertIn("baud  115200 baud (index 13)", out)

    def test_config_sets_port_and_baud_in_the_user_file_keeping_other_lines(self):
        os.makedirs(os.path.dirname(self.user_settings()))
        with open(self.user_settings(), "w") as handle:
            handle.write("[Other]\nvelkport=keep\n[vlk]\nBaud = 3\nnote=kept\n\n[Last]\nx=1\n")
        code, _, err = self.velkfs_run("config", "--port", "/dev/ttyUSB0", "--baud", "115200")
        self.assertEqual(code, 0, err)
        # A key keeps its spelling in the file, as the system's INI functions keep it.
        self.assertEqual(self.settings(), ["[Other]", "velkport=keep", "[vlk]", "Baud=13", "note=kept",
                                           "velkport=/dev/ttyUSB0", "", "[Last]", "x=1"])
        code, _, err = self.velkfs_run("config", "--baud", "7")
        self.assertEqual(code, 0, err)
        self.assertIn("Baud=7", self.settings())

    def test_config_writes_the_user_file_which_the_module_reads_first(self):
        phone = self.start_phone()  # fsplugin.ini beside velkfs names it
        beside = os.path.join(self.host_dir, "fsplugin.ini")
        with open(beside) as handle:
            everyone = handle.read()
        self.assertEqual(self.velkfs_run("ls")[0], 0)
        code, out, err = self.velkfs_run("config", "--port", "/dev/velk-none")
        self.assertEqual(code, 0, err)
        self.assertIn(self.user_settings(), out)
        # The first user file keeps the rate read so far.
        self.assertEqual(self.settings(), ["[VLK]", "velkport=/dev/velk-none", "baud=13"])
        self.assertNotEqual(self.velkfs_run("ls")[0], 0)
        self.assertEqual(self.velkfs_run("config", "--port", phone.link)[0], 0)
        code, out, err = self.velkfs_run("ls")
        self.assertEqual(code, 0, err)
        with open(beside) as handle:
            self.assertEqual(handle.read(), everyone)

    def test_a_settings_file_that_is_no_regular_file_is_neither_waited_for_nor_read_without_end(self):
        beside = os.path.join(self.host_dir, "fsplugin.ini")
        for kind, make in (("fifo", os.mkfifo), ("link to /dev/zero", lambda path: os.symlink("/dev/zero", path))):
            with self.subTest(kind=kind):
                for path in (beside, self.user_settings()):
                    os.makedirs(os.path.dirname(path), exist_ok=True)
                    if os.path.lexists(path):
                        os.remove(path)
                # Beside velkfs: read as the defaults.
                make(beside)
                code, _, err = self.velkfs_run("ls", timeout=30)
                self.assertEqual(code, 4)
                self.assertIn("COM1", err)
                os.remove(beside)
                # The user's own file: not replaced by a write either.
                make(self.user_settings())
                kind_before = stat.S_IFMT(os.lstat(self.user_settings()).st_mode)
                code, _, err = self.velkfs_run("config", "--baud", "7", timeout=30)
                self.assertNotEqual(code, 0)
                self.assertEqual(stat.S_IFMT(os.lstat(self.user_settings()).st_mode), kind_before)

    def test_a_missing_module_gives_4(self):
        code, _, err = self.velkfs_run("--module", os.path.join(self.folder, "none.wfx"), "ls")
        self.assertEqual(code, 4)
        self.assertIn("none.wfx", err)


if __name__ == "__main__":
    unittest.main()
