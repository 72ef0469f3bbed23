"""The Windows program under Wine: start-up, mode choice, output files and the error log."""
import re
import shutil
import unittest

from harness.wine import PROGRAM, ProgramTestCase, windows_path

STAMP = r"\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d_UTC"


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


if __name__ == "__main__":
    unittest.main()
