"""The Windows module and velkfs.exe under Wine, against phonesim on a mapped COM port.

One velkfs.exe session runs every command (velkfs script): under emulated
Wine each program start costs minutes."""

import hashlib
import os
import shutil
import subprocess
import tempfile
import unittest

from e2e_support import FACTORY_FOLDERS, E2ETestCase, every_byte_value, read_file

WINDOWS_BIN = os.path.join(os.environ.get("VELK_WINDOWS_BUILD_DIR", ""), "bin")
SOURCE_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
WINE_ENV = os.path.join(SOURCE_DIR, "scripts", "wine-env.sh")
COM_NUMBER = 5
# The bound of one Wine program run, as scripts/wine-env.sh applies it; this
# test's own bounds leave a minute beyond it.
WINE_TIMEOUT = int(os.environ.get("VELK_WINE_TIMEOUT", "120"))
# Where Wine's own output goes as well, when set: the emulated run looks there
# for qemu's crash reports.
WINE_LOG = os.environ.get("VELK_WINE_LOG")
SIZES = [0, 1, 257, 65536]
GAMES = "brew/mod/java_ams/config/games/"


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def sha256(data):
    return hashlib.sha256(data).hexdigest()


class WineTest(E2ETestCase):
    def wine(self, function, *args, timeout=WINE_TIMEOUT + 60):
        """Runs a function of the Wine set-up script; returns (code, stdout, stderr).
        Output goes through files: the wineserver that Wine leaves running would
        hold a pipe open until it ends."""
        script = '. "$0"; %s "$@"' % function
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            result = subprocess.run(["bash", "-c", script, WINE_ENV, *args], stdout=out, stderr=err,
                                    timeout=timeout, stdin=subprocess.DEVNULL, cwd=self.local)
            out.seek(0)
            err.seek(0)
            errors = err.read().decode(errors="replace")
            if WINE_LOG:
                with open(WINE_LOG, "a") as log:
                    log.write("--- %s\n%s" % (function, errors))
            return result.returncode, out.read().decode(errors="replace"), errors

    def test_one_session_lists_copies_both_ways_makes_a_folder_and_installs_a_game(self):
        for name in ("velkfs.exe", "VelkPlugin.wfx"):
            if not os.path.exists(os.path.join(WINDOWS_BIN, name)):
                self.fail(name + " is not built in " + WINDOWS_BIN)
        files = {"f%d.bin" % size: every_byte_value(size, start=size) for size in SIZES}
        phone = self.start_phone({**FACTORY_FOLDERS, "data": files})
        wine_host = os.path.join(self.folder, "winhost")
        os.makedirs(wine_host)
        for name in ("velkfs.exe", "VelkPlugin.wfx"):
            shutil.copy2(os.path.join(WINDOWS_BIN, name), wine_host)
        with open(os.path.join(wine_host, "fsplugin.ini"), "w") as handle:
            handle.write("[VLK]\r\nvelkport=COM%d\r\nbaud=13\r\n" % COM_NUMBER)
        jar, jad = every_byte_value(300), b"MIDlet-Name: x\n" * 7
        self.write_local("game.jar", jar)
        self.write_local("game.jad", jad)
        for name, data in files.items():
            self.write_local("up-" + name, data)

        commands = ["ls -l \\", "mkdir \\up"]
        for name in files:
            commands.append("get \\data\\%s %s" % (name, windows_path(self.local_path(name))))
            commands.append("put %s \\up\\%s" % (windows_path(self.local_path("up-" + name)), name))
        commands.append("install-game " + windows_path(self.local_path("game.jar")))
        script = self.write_local("session.txt", "\r\n".join(commands).encode())

        code, _, err = self.wine("wine_prepare", timeout=WINE_TIMEOUT + 600)
        self.assertEqual(code, 0, err)
        # Wine must let go of the terminal before phonesim closes it.
        self.addCleanup(self.wine, "wine_stop")
        code, _, err = self.wine("wine_map_com", str(COM_NUMBER), phone.link)
        self.assertEqual(code, 0, err)

        code, out, err = self.wine("wine_run", os.path.join(wine_host, "velkfs.exe"), "script",
                                   windows_path(script))
        out = out.replace("\r", "")
        self.assertEqual(code, 0, out + err)
        listing = out.split("> ls -l \\\n", 1)[-1].split("\n> ", 1)[0]
        self.assert_listing(listing, [("brew", None), ("data", None), ("INSTALL JAVA GAME", None),
                                      ("INSTALL JAVA APP", None), ("INSTALL THEME", None)])
        self.assertTrue(os.path.isdir(phone.path("up")))
        for name, data in files.items():
            with self.subTest(name=name):
                self.assertEqual(sha256(read_file(self.local_path(name))), sha256(data), "downloaded")
                self.assertEqual(sha256(read_file(phone.path("up/" + name))), sha256(data), "uploaded")
        self.assertEqual(sha256(read_file(phone.path(GAMES + "game.jar"))), sha256(jar))
        self.assertEqual(sha256(read_file(phone.path(GAMES + "game.jad"))), sha256(jad))


if __name__ == "__main__":
    unittest.main()
