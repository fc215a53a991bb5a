"""velkfs's own command line: help, usage errors, and the settings it writes."""

import os
import unittest

from e2e_support import E2ETestCase

SUBCOMMANDS = ["ls", "get", "put", "mkdir", "rmdir", "rm", "install-game", "install-app",
               "install-theme", "options", "config"]


class CommandLineTest(E2ETestCase):
    def settings(self):
        with open(os.path.join(self.host_dir, "fsplugin.ini")) as handle:
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

    def test_config_sets_port_and_baud_beside_velkfs_keeping_other_lines(self):
        with open(os.path.join(self.host_dir, "fsplugin.ini"), "w") as handle:
            handle.write("[Other]\nvelkport=keep\n[vlk]\nBaud = 3\nnote=kept\n\n[Last]\nx=1\n")
        code, _, err = self.velkfs_run("config", "--port", "/dev/ttyUSB0", "--baud", "115200")
        self.assertEqual(code, 0, err)
        # A key keeps its spelling in the file, as the system's INI functions keep it.
        self.assertEqual(self.settings(), ["[Other]", "velkport=keep", "[vlk]", "Baud=13", "note=kept",
                                           "velkport=/dev/ttyUSB0", "", "[Last]", "x=1"])
        code, _, err = self.velkfs_run("config", "--baud", "7")
        self.assertEqual(code, 0, err)
        self.assertIn("Baud=7", self.settings())

    def test_config_creates_the_file(self):
        code, _, err = self.velkfs_run("config", "--port", "COM3")
        self.assertEqual(code, 0, err)
        self.assertEqual(self.settings(), ["[VLK]", "velkport=COM3"])

    def test_a_missing_module_gives_4(self):
        code, _, err = self.velkfs_run("--module", os.path.join(self.folder, "none.wfx"), "ls")
        self.assertEqual(code, 4)
        self.assertIn("none.wfx", err)


if __name__ == "__main__":
    unittest.main()
