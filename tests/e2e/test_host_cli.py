"""velkfs's own command line: help, usage errors, and the settings it writes."""

import os
import unittest

from e2e_support import E2ETestCase

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
        for args in ([], ["get", "only-one"], ["frobnicate"], ["config"], ["config", "--baud", "12345"]):
            with self.subTest(args=args):
                self.assertEqual(self.velkfs_run(*args)[0], 2)

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
        self.assertEqual(self.settings(), ["[VLK]", "velkport=/dev/velk-none"])
        self.assertNotEqual(self.velkfs_run("ls")[0], 0)
        self.assertEqual(self.velkfs_run("config", "--port", phone.link, "--baud", "115200")[0], 0)
        code, out, err = self.velkfs_run("ls")
        self.assertEqual(code, 0, err)
        with open(beside) as handle:
            self.assertEqual(handle.read(), everyone)

    def test_a_missing_module_gives_4(self):
        code, _, err = self.velkfs_run("--module", os.path.join(self.folder, "none.wfx"), "ls")
        self.assertEqual(code, 4)
        self.assertIn("none.wfx", err)


if __name__ == "__main__":
    unittest.main()
