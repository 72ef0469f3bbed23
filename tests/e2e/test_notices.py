"""Notices of scheduled starts, as the real program sends them to the
notification area under Wine.

The window test driver plays the taskbar ("tray"): Wine's Shell_NotifyIconW
hands each icon message to the window of class "Shell_TrayWnd", and the driver
logs it and answers as the shell would (the balloon timed out, or was clicked).
Wine's own desktop makes such a window only with a display, so these tests run
with the null graphics driver: windows exist, nothing is drawn, and the driver
is the only taskbar.
"""
import shutil
import time
import unittest

from harness import wait_for
from harness.site import BoundDrive, ini_bytes, ini_values, make_sample_site
from harness.sshd import SshServer
from harness.wine import PROGRAM, REPO, ProgramTestCase, windows_path

DRIVER = REPO / "build" / "windows" / "tesmora_ui_driver.exe"
DRIVERS_KEY = r"HKCU\Software\Wine\Drivers"
DAY = 86400
FAILURE_TITLE = "Резервная копия не создана"
OVERDUE_TITLE = "Диск для резервных копий не подключён"
STAMP = r"\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d_UTC"


def local_time(seconds):
    return time.strftime("%Y-%m-%d %H:%M", time.localtime(seconds))


class Tray:
    """The driver running as the taskbar, optionally clicking every balloon."""

    def __init__(self, wine, log, click=False):
        self.log = log
        log.unlink(missing_ok=True)
        self.process = wine.start(DRIVER, "tray", windows_path(log), *(["--click"] if click else []))
        if not wait_for(lambda: self.lines() is not None, 30):
            self.stop()
            raise RuntimeError("the taskbar stand-in did not start")

    def lines(self):
        """The logged messages as tab-separated fields, READY left out; None before READY."""
        if not self.log.exists():
            return None
        text = self.log.read_bytes().decode("utf-8")
        return [line.split("\t") for line in text.splitlines()[1:]] if text.startswith("READY\n") else None

    def stop(self):
        self.process.kill()
        self.process.wait()


class Notices(ProgramTestCase):
    NEEDS = (DRIVER,)

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.wine.reg_add(DRIVERS_KEY, "Graphics", "null")
        cls.addClassCleanup(cls.wine.kill_server)
        cls.addClassCleanup(cls.wine.reg_delete, DRIVERS_KEY, "Graphics")
        cls.wine.kill_server()

    def local_copy(self, device, binding_id):
        """The copy the scheduled task starts, bound as --install binds it."""
        local = self.wine.local_data_dir
        local.mkdir(parents=True, exist_ok=True)
        shutil.copy(PROGRAM, local / "TesmoraBackup.exe")
        (local / "binding.ini").write_bytes(ini_bytes([("id", binding_id), ("device", device)]))
        return local / "TesmoraBackup.exe"

    def tray(self, click=False):
        tray = Tray(self.wine, self.tmp / "tray.log", click)
        self.addCleanup(tray.stop)
        return tray

    def state(self):
        return dict(ini_values(self.wine.local_data_dir / "notices.ini"))

    def set_state(self, **changes):
        state = self.state()
        state.update({key: str(value) for key, value in changes.items()})
        (self.wine.local_data_dir / "notices.ini").write_bytes(ini_bytes(list(state.items())))

    def scheduled(self, program):
        started = time.monotonic()
        result = self.wine.run(program, "--scheduled")
        return result.returncode, time.monotonic() - started

    def test_failed_scheduled_runs_are_told_once_a_day_and_manual_runs_never(self):
        server = SshServer("ecdsa").start()
        self.addCleanup(server.remove)
        site = make_sample_site("notice-site")
        self.addCleanup(shutil.rmtree, site, True)
        drive = BoundDrive(self.wine, self.tmp / "drive", "e", server, [site])
        self.addCleanup(drive.unmap)
        program = self.local_copy(drive.device, drive.id)
        schedule = drive.backup_folder / "schedule.ini"

        def make_due():
            old = str(int(time.time()) - 2 * DAY)
            schedule.write_bytes(ini_bytes([("last_success", old), ("last_seen", old), ("retry_after", "0")]))

        # A manual success is kept locally, with what the overdue rule needs.
        tray = self.tray()
        self.assertEqual(self.wine.run(program, "--backup-now").returncode, 0, self.wine.error_log())
        success = int(dict(ini_values(schedule))["last_success"])
        self.assertEqual(self.state(), {"last_success": str(success), "hours": "24", "automatic": "1",
                                        "last_failure_notice": "0", "last_overdue_notice": "0"})

        # With the server gone: a manual failure shows nothing, the first
        # scheduled one tells why and when the last good copy was made.
        server.stop()
        self.assertEqual(self.wine.run(program, "--backup-now").returncode, 1)
        self.assertEqual(tray.lines(), [])
        make_due()
        code, seconds = self.scheduled(program)
        self.assertEqual(code, 1)
        self.assertRegex(self.wine.error_log().splitlines()[-1], "^" + STAMP + " SSH connection failed/timeout$")
        self.assertLess(seconds, 30, "the process waited past the balloon's end")
        told = ["ADD", "0x00000017", FAILURE_TITLE, f"Сервер не отвечает.\\nПоследняя удачная копия: {local_time(success)}."]
        self.assertEqual(tray.lines(), [told, ["DELETE", "0x00000000", "", ""]])

        # Failing again within a day: nothing; a day after the notice: told again.
        make_due()
        self.assertEqual(self.scheduled(program)[0], 1)
        self.assertEqual(len(tray.lines()), 2)
        tray.stop()
        self.set_state(last_failure_notice=int(self.state()["last_failure_notice"]) - DAY)
        make_due()
        clicking = self.tray(click=True)
        self.assertEqual(self.scheduled(program)[0], 1)
        self.assertEqual(clicking.lines()[0], told)

        # The click opened the settings window of the same local copy.
        self.assertTrue(wait_for(lambda: len(clicking.lines()) > 2, 40), clicking.lines())
        opened = clicking.lines()[2]
        self.assertEqual(opened[0], "OPENED", opened)
        self.assertTrue(opened[1].lower().endswith(r"\appdata\local\tesmora\sitebackup\tesmorabackup.exe"), opened)

    def test_an_absent_drive_is_told_once_a_day_while_automatic_is_on(self):
        program = self.local_copy("NO-HARDWARE-SERIAL/VOL-deadbeef", "0F8FAD5B-D9CB-469F-A165-70867728950E")
        now = int(time.time())
        (self.wine.local_data_dir / "notices.ini").write_bytes(ini_bytes([
            ("last_success", str(now - 5 * DAY - 3600)), ("hours", "24"), ("automatic", "1"),
            ("last_failure_notice", "0"), ("last_overdue_notice", "0")]))
        tray = self.tray()
        code, seconds = self.scheduled(program)
        self.assertEqual((code, self.wine.error_log()), (0, ""))
        self.assertLess(seconds, 30)
        self.assertEqual(tray.lines(), [
            ["ADD", "0x00000017", OVERDUE_TITLE, "Подключите диск для резервных копий: последняя копия 5 дн. назад"],
            ["DELETE", "0x00000000", "", ""]])
        self.assertGreaterEqual(int(self.state()["last_overdue_notice"]), now)

        self.assertEqual(self.scheduled(program)[0], 0)
        self.set_state(last_overdue_notice=0, automatic=0)
        self.assertEqual(self.scheduled(program)[0], 0)
        self.assertEqual(len(tray.lines()), 2)

        # No taskbar (a start before the shell is up): no wait, and the notice
        # is still due at the next start.
        tray.stop()
        self.set_state(automatic=1)
        code, seconds = self.scheduled(program)
        self.assertEqual(code, 0)
        self.assertLess(seconds, 10)
        self.assertEqual(self.state()["last_overdue_notice"], "0")


if __name__ == "__main__":
    unittest.main()
