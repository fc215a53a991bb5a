"""The Windows module and velkfs.exe under Wine, against phonesim on a mapped COM port."""

import os
import shutil
import subprocess
import tempfile
import unittest

from e2e_support import E2ETestCase, every_byte_value, read_file

WINDOWS_BIN = os.path.join(os.environ.get("VELK_WINDOWS_BUILD_DIR", ""), "bin")
SOURCE_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
WINE_ENV = os.path.join(SOURCE_DIR, "scripts", "wine-env.sh")
COM_NUMBER = 5


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


class WineTest(E2ETestCase):
    def wine(self, function, *args, timeout=180):
        """Runs a function of the Wine set-up script; returns (code, stdout, stderr).
        Output goes through files: the wineserver that Wine leaves running would
        hold a pipe open until it ends."""
        script = '. "$0"; %s "$@"' % function
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            result = subprocess.run(["bash", "-c", script, WINE_ENV, *args], stdout=out, stderr=err,
                                    timeout=timeout, stdin=subprocess.DEVNULL, cwd=self.local)
            out.seek(0)
            err.seek(0)
            return result.returncode, out.read().decode(errors="replace"), err.read().decode(errors="replace")

    def velkfs_exe(self, *args):
        return self.wine("wine_run", os.path.join(self.wine_host, "velkfs.exe"), *args)

    def test_listing_copies_and_mkdir_under_wine(self):
        for name in ("velkfs.exe", "VelkPlugin.wfx"):
            if not os.path.exists(os.path.join(WINDOWS_BIN, name)):
                self.fail(name + " is not built in " + WINDOWS_BIN)
        data = every_byte_value(1000)
        phone = self.start_phone({"a": {}, "data": {"f.bin": data}})
        self.wine_host = os.path.join(self.folder, "winhost")
        os.makedirs(self.wine_host)
        for name in ("velkfs.exe", "VelkPlugin.wfx"):
            shutil.copy2(os.path.join(WINDOWS_BIN, name), self.wine_host)
        with open(os.path.join(self.wine_host, "fsplugin.ini"), "w") as handle:
            handle.write("[VLK]\r\nvelkport=COM%d\r\nbaud=13\r\n" % COM_NUMBER)
        code, _, err = self.wine("wine_prepare", timeout=400)
        self.assertEqual(code, 0, err)
        # Wine must let go of the terminal before phonesim closes it.
        self.addCleanup(self.wine, "wine_stop")
        code, _, err = self.wine("wine_map_com", str(COM_NUMBER), phone.link)
        self.assertEqual(code, 0, err)

        code, out, err = self.velkfs_exe("ls", "-l", "\\")
        self.assertEqual(code, 0, err)
        self.assert_listing(out, [("a", None), ("data", None), ("INSTALL JAVA GAME", None),
                                  ("INSTALL JAVA APP", None), ("INSTALL THEME", None)])
        target = self.local_path("f.bin")
        code, _, err = self.velkfs_exe("get", "\\data\\f.bin", windows_path(target))
        self.assertEqual(code, 0, err)
        self.assertEqual(read_file(target), data)
        code, _, err = self.velkfs_exe("put", windows_path(target), "\\data\\g.bin")
        self.assertEqual(code, 0, err)
        self.assertEqual(read_file(phone.path("data/g.bin")), data)
        code, _, err = self.velkfs_exe("mkdir", "\\data\\new")
        self.assertEqual(code, 0, err)
        self.assertTrue(os.path.isdir(phone.path("data/new")))


if __name__ == "__main__":
    unittest.main()
