"""The Windows program under Wine: start-up, mode choice, output files, the
error log, and what a console it is started from shows."""
import fcntl
import os
import pty
import re
import select
import shutil
import signal
import struct
import termios
import time
import unittest

from harness.site import ini_bytes
from harness.wine import PROGRAM, ProgramTestCase, windows_path

STAMP = r"\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d_UTC"
# What a terminal shows besides the text: cursor moves, colours, titles.
TERMINAL_CODES = re.compile(r"\x1b\[[0-9;?]*[A-Za-z]|\x1b\][^\x07]*\x07")
END = "end-of-script"


class ProgramModes(ProgramTestCase):
    def test_self_test_writes_exactly_its_line_or_nothing(self):
        out = self.tmp / "out.txt"
        result = self.wine.run_program("--self-test", windows_path(out))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(out.read_bytes(), b"scheduler self-test OK\n")
        out.unlink()
        self.assertEqual(self.wine.run_program("--self-test").returncode, 0)
        self.assertEqual(list(self.tmp.iterdir()), [])
        self.assertEqual(self.wine.error_log(), "")

    def test_unwritable_output_fails_with_one_error_line(self):
        target = windows_path(self.tmp / "missing" / "out.txt")
        result = self.wine.run_program("--self-test", target)
        self.assertEqual(result.returncode, 1)
        self.assertRegex(self.wine.error_log(), "^" + STAMP + " " + re.escape("Cannot write: " + target) + "\r\n$")

    def test_scheduled_start_without_bound_drive_leaves_no_trace(self):
        result = self.wine.run_program("--scheduled", windows_path(self.tmp / "unused.txt"))
        self.assertEqual(result.returncode, 0)
        self.assertTrue(self.wine.local_data_dir.is_dir())
        self.assertEqual(list(self.wine.local_data_dir.iterdir()), [])
        self.assertEqual(list(self.tmp.iterdir()), [])

    def test_settings_beside_the_program_make_its_drive_the_settings_root(self):
        program_folder = self.tmp / "drive" / "Tesmora_Site_Backup"
        program_folder.mkdir(parents=True)
        shutil.copy(PROGRAM, program_folder / "TesmoraBackup.exe")
        (program_folder / "settings.ini").write_bytes(b"\xff\xfe" + "[backup]\r\n".encode("utf-16-le"))
        result = self.wine.run(program_folder / "TesmoraBackup.exe", "--scheduled")
        # The drive was found, so the scheduled start no longer ends quietly.
        self.assertEqual(result.returncode, 1)
        self.assertNotIn("Configured drive not found", self.wine.error_log())

    def on_terminal(self, script, env, seconds=120):
        """Runs a batch file in cmd.exe whose console is a terminal, as a
        person's is, and returns what the terminal showed up to END."""
        bat = self.tmp / "script.bat"
        bat.write_bytes(("\r\n".join(["@echo off", *script, f"echo {END}"]) + "\r\n").encode("ascii"))
        pid, terminal = pty.fork()
        if pid == 0:
            os.execvpe("wine", ["wine", "cmd", "/c", windows_path(bat)], {**self.wine.env, **env})
        # Wide enough that no line of the program wraps.
        fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 50, 400, 0, 0))
        shown = b""
        deadline = time.monotonic() + seconds
        try:
            while END.encode() not in shown and time.monotonic() < deadline:
                if select.select([terminal], [], [], 1)[0]:
                    shown += os.read(terminal, 65536)
        finally:
            os.close(terminal)
            if END.encode() not in shown:
                os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
        text = TERMINAL_CODES.sub("", shown.decode("utf-8", "replace")).replace("\r", "")
        self.assertIn(END, text, f"the script did not finish: {text[-2000:]}")
        return text

    def test_a_console_shows_the_lines_and_the_exit_code(self):
        # A mode with output and a failure: a folder that is no snapshot.
        program_folder = self.tmp / "drive" / "Tesmora_Site_Backup"
        program_folder.mkdir(parents=True)
        shutil.copy(PROGRAM, program_folder / "TesmoraBackup.exe")
        (program_folder / "settings.ini").write_bytes(ini_bytes([("id", "0F0E0D0C-1111-2222-3333-444455556666")]))
        folder = self.tmp / "папка"
        folder.mkdir()
        verdict = "VERIFY папка FAILED COMPLETE does not hold this configuration's id"
        redirected = self.tmp / "out.txt"
        env = {"PROGRAM": windows_path(program_folder / "TesmoraBackup.exe"), "FOLDER": windows_path(folder),
               "OUT": windows_path(redirected)}
        # start /wait gives the program no standard output: it writes to the
        # console it attaches to. A batch file waits for it by itself.
        shown = self.on_terminal(['start /wait "" "%PROGRAM%" --verify "%FOLDER%"', "echo exit code %ERRORLEVEL%",
                                  '"%PROGRAM%" --verify "%FOLDER%"', "echo exit code %ERRORLEVEL%",
                                  '"%PROGRAM%" --verify "%FOLDER%" > "%OUT%"', "echo exit code %ERRORLEVEL%"], env)
        runs = shown.split("exit code ")
        self.assertEqual([run[:1] for run in runs[1:]], ["1", "1", "1"], shown)
        for run in runs[:2]:
            self.assertIn(verdict + "\n", run)
            self.assertIn("The copy папка cannot be trusted: ", run)
        self.assertNotIn("VERIFY", runs[2])
        self.assertTrue(redirected.read_bytes().startswith((verdict + "\r\n").encode()), redirected.read_bytes())


if __name__ == "__main__":
    unittest.main()
