"""Installing Java games and themes through the install folders."""

import os
import unittest

from e2e_support import FACTORY_FOLDERS, E2ETestCase, every_byte_value, read_file, wait_for

GAMES = "brew/mod/java_ams/config/games/"
THEMES = "brew/mod/cmgr/pp/thm"
RESTART_QUESTION = "Phone has to be restarted for the installation to finish. Do it now?"
RESTART_REQUEST = bytes.fromhex("29 01 00")
RESTART_CONFIRM = bytes.fromhex("29 02 00")


def first_write_paths(phone):
    """The phone paths of the first write requests, in order: one per file sent."""
    paths = []
    for packet in phone.received_packets():
        if packet[:3] == bytes([0x59, 0x05, 0x00]):
            length = (packet[12] << 8) | packet[13]
            paths.append(packet[14:13 + length].decode())
    return paths


class InstallTest(E2ETestCase):
    def test_java_game_lands_in_the_games_folder_and_restart_yes_restarts_the_phone(self):
        phone = self.start_phone(FACTORY_FOLDERS)
        jar = every_byte_value(300)
        jad = b"MIDlet-Name: x\n" * 7
        local = self.write_local("game.jar", jar)
        self.write_local("game.jad", jad)
        code, shown = self.velkfs_on_terminal(["install-game", local], RESTART_QUESTION, "y\n")
        self.assertEqual(code, 0, shown)
        self.assertEqual(read_file(phone.path(GAMES + "game.jar")), jar)
        self.assertEqual(read_file(phone.path(GAMES + "game.jad")), jad)
        self.assertTrue(wait_for(lambda: RESTART_CONFIRM in phone.received_packets()),
                        "29 02 00 follows the phone's answer")
        packets = phone.received_packets()
        restart = packets.index(RESTART_REQUEST)
        self.assertEqual(packets[restart + 1:], [RESTART_CONFIRM])
        self.assertIn(RESTART_REQUEST, phone.sent_packets(), "the phone answered the restart")

    def test_restart_answered_no_sends_nothing_more(self):
        phone = self.start_phone(FACTORY_FOLDERS)
        local = self.write_local("game.jar", b"jar")
        self.write_local("game.jad", b"jad")
        code, shown = self.velkfs_on_terminal(["install-app", local], RESTART_QUESTION, "n\n")
        self.assertEqual(code, 0, shown)
        self.assertEqual(read_file(phone.path("brew/mod/java_ams/config/apps/game.jar")), b"jar")
        self.assertTrue(all(p[0] == 0x59 for p in phone.received_packets()))

    def test_theme_creates_its_folders_and_lands_in_the_user_theme_folder(self):
        phone = self.start_phone(FACTORY_FOLDERS)
        theme = every_byte_value(1000)
        # Without a terminal the restart question is answered No.
        code, _, err = self.velkfs_run("install-theme", self.write_local("t.thm", theme))
        self.assertEqual(code, 0, err)
        self.assertIn(RESTART_QUESTION, err)
        self.assertEqual(read_file(phone.path(THEMES + "/usr/t.thm")), theme)
        made = [p[3:-1].decode() for p in phone.received_packets() if p[:2] == b"\x59\x00"]
        self.assertEqual(made, [THEMES, THEMES + "/usr"])

    def test_a_pair_copied_together_goes_once_with_one_question(self):
        # A file manager copies the marked files one call each, the second right after the first.
        jar, jad = every_byte_value(300), b"MIDlet-Name: x\n" * 7
        for command, order, written in (
                ("install-game", ["game.jar", "game.jad"], [GAMES + "game.jar", GAMES + "game.jad"]),
                ("install-game", ["game.jad", "game.jar"], [GAMES + "game.jad", GAMES + "game.jar"]),
                ("install-theme", ["t.thm", "t.thm"], [THEMES + "/usr/t.thm"]),
                # One put per file, as a file manager copies them, in one loaded module.
                ("script", ["game.jar", "game.jad"], [GAMES + "game.jar", GAMES + "game.jad"])):
            with self.subTest(command=command, order=order):
                phone = self.start_phone(FACTORY_FOLDERS)
                self.write_local("game.jar", jar)
                self.write_local("game.jad", jad)
                self.write_local("t.thm", jar)
                files = [self.local_path(name) for name in order]
                if command == "script":
                    lines = ['put "%s" "/INSTALL JAVA GAME"' % path for path in files]
                    files = [self.write_local("pair.txt", "\n".join(lines).encode())]
                code, _, err = self.velkfs_run(command, *files)
                self.assertEqual(code, 0, err)
                self.assertEqual(err.count(RESTART_QUESTION), 1, err)
                self.assertEqual(first_write_paths(phone), written)
                for path in written:
                    self.assertEqual(read_file(phone.path(path)), jad if path.endswith(".jad") else jar)

    def test_capital_extension_is_refused_and_nothing_sent(self):
        phone = self.start_phone(FACTORY_FOLDERS)
        local = self.write_local("game.JAR", b"jar")
        self.write_local("game.JAD", b"jad")
        code, _, err = self.velkfs_run("install-game", local)
        self.assertEqual(code, 4, err)
        self.assertEqual(phone.received_frames(), [])

    def test_missing_companion_is_refused_and_nothing_sent(self):
        phone = self.start_phone(FACTORY_FOLDERS)
        code, _, err = self.velkfs_run("install-game", self.write_local("lonely.jar", b"jar"))
        self.assertEqual(code, 4, err)
        self.assertEqual(phone.received_frames(), [])


if __name__ == "__main__":
    unittest.main()
