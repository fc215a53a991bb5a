"""Host paths with '/' as a Linux file manager passes them."""

import os
import unittest

from e2e_support import FACTORY_FOLDERS, E2ETestCase, INSTALL_FOLDERS, every_byte_value, read_file


class SlashPathTest(E2ETestCase):
    def test_root_listing_ends_with_the_install_folders(self):
        self.start_phone({"a": {}, "c": b"0123456789"})
        code, out, err = self.velkfs_run("ls", "-l", "/")
        self.assertEqual(code, 0, err)
        self.assert_listing(out, [("a", None), ("c", 10)] + [(name, None) for name in INSTALL_FOLDERS])

    def test_install_folder_lists_empty_with_nothing_sent(self):
        phone = self.start_phone({"a": {}})
        code, out, err = self.velkfs_run("ls", "/INSTALL THEME/")
        self.assertEqual((code, out), (0, ""), err)
        self.assertEqual(phone.received_frames(), [])

    def test_game_and_theme_install_through_slash_paths(self):
        phone = self.start_phone(FACTORY_FOLDERS)
        jar = every_byte_value(400)
        self.write_local("x.jar", jar)
        self.write_local("x.jad", b"jad")
        code, _, err = self.velkfs_run("put", "x.jar", "/INSTALL JAVA GAME/x.jar")
        self.assertEqual(code, 0, err)
        self.assertEqual(read_file(phone.path("brew/mod/java_ams/config/games/x.jar")), jar)
        self.assertFalse(os.path.exists(phone.path("INSTALL JAVA GAME")))
        code, _, err = self.velkfs_run("put", self.write_local("t.thm", b"theme"), "/INSTALL THEME/t.thm")
        self.assertEqual(code, 0, err)
        self.assertEqual(read_file(phone.path("brew/mod/cmgr/pp/thm/usr/t.thm")), b"theme")

    def test_executing_the_slash_root_opens_the_options(self):
        self.start_phone({"a": {}})
        settings = os.path.join(os.path.dirname(self.velkfs), "fsplugin.ini")
        with open(settings, "rb") as before_file:
            before = before_file.read()
        # The form opens on the port list, where q is typed: Esc closes.
        code, shown = self.velkfs_on_terminal(["options", "/"], "Esc (q off the lists): close", "\x1b")
        self.assertEqual(code, 0, shown)
        self.assertIn("Velk port settings", shown)
        with open(settings, "rb") as after_file:
            self.assertEqual(after_file.read(), before, "closed without storing")
        code, shown = self.velkfs_on_terminal(["options", "/INSTALL THEME"], "Esc (q off the lists): close", "\x1b",
                                              timeout=20)
        self.assertEqual(code, 0, shown)
        self.assertNotIn("Velk port settings", shown)

    def test_copy_and_folder_commands(self):
        data = every_byte_value(700)
        phone = self.start_phone({"data": {"f.bin": data}})
        code, _, err = self.velkfs_run("get", "/data/f.bin", "f.bin")
        self.assertEqual(code, 0, err)
        self.assertEqual(read_file(self.local_path("f.bin")), data)
        code, _, err = self.velkfs_run("put", "f.bin", "/data/g.bin")
        self.assertEqual(code, 0, err)
        self.assertEqual(read_file(phone.path("data/g.bin")), data)
        self.assertEqual(self.velkfs_run("mkdir", "/data/new")[0], 0)
        self.assertTrue(os.path.isdir(phone.path("data/new")))
        self.assertEqual(self.velkfs_run("rmdir", "/data/new")[0], 0)
        self.assertFalse(os.path.exists(phone.path("data/new")))
        self.assertEqual(self.velkfs_run("rm", "/data/g.bin")[0], 0)
        self.assertFalse(os.path.exists(phone.path("data/g.bin")))


if __name__ == "__main__":
    unittest.main()
