"""The windows of the real program under Wine on a private Xvfb, worked from
outside by tesmora_ui_driver.exe: the layout at 96 and 144 DPI, saving, the
host key, turning the schedule off when Windows refuses to delete its task, a
backup with its progress bar, cancelling, closing while busy, and the
snapshots window's verify and restores, each cancelled too.

Every wait is for a condition with a bound; nothing sleeps for luck.
"""
import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest
from pathlib import Path

from harness import display, wait_for
from harness.site import BoundDrive, ini_values, make_sample_site, verify_checksums
from harness.sshd import TEST_USER, SshServer
from harness.wine import PROGRAM, REPO, WinePrefix, windows_path

DRIVER = Path(os.environ.get("TESMORA_TEST_WINDOWS_BUILD") or REPO / "build" / "windows") / "tesmora_ui_driver.exe"
MANAGED_KEY = r"HKCU\Software\Wine\AppDefaults\TesmoraBackup.exe\X11 Driver"
WS_TABSTOP = 0x00010000
WS_VISIBLE = 0x10000000
TABS = 150  # the settings window's tab control

SAVED = "Настройки сохранены. Пароль защищён Windows. Автозапуск "
TASK_FILE = r"C:\windows\system32\tasks\Tesmora-SiteBackup"
BUSY = "Сейчас выполняется операция. Дождитесь завершения или нажмите «Отменить»."
KEY_QUESTION = "Сверьте этот отпечаток с VDS/доверенным источником. Сохранить ключ?\n\n"
PICKER = "Папка для восстановления (пустая или новая)"
SNAPSHOTS = "TesmoraBackupSnapshots"


def unescape(text):
    """The driver's escapes (\\r \\n \\t \\\\ \\xHH) back to characters."""
    return re.sub(r"\\(x[0-9A-Fa-f]{2}|.)",
                  lambda m: {"r": "\r", "n": "\n", "t": "\t"}.get(m.group(1), m.group(1))
                  if m.group(1)[0] != "x" else chr(int(m.group(1)[1:], 16)), text)


def escape(text):
    return text.replace("\\", "\\\\").replace("\r", "\\r").replace("\n", "\\n").replace("\t", "\\t")


def stop(process):
    if process.poll() is None:
        process.kill()
        process.wait()


class Windows(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        for needed, what in [(PROGRAM, "the program"), (DRIVER, "the window driver")]:
            if not needed.exists():
                raise unittest.SkipTest(f"{what} ({needed}) is not built")
        if not display.available():
            raise unittest.SkipTest("Xvfb is not installed")
        # Class cleanups run even when a later step here fails.
        cls.work = Path(tempfile.mkdtemp(prefix="tesmora-ui-"))
        cls.addClassCleanup(shutil.rmtree, cls.work, True)
        # 720 lines: the window is cut to the work area and must scroll.
        cls.screen = display.VirtualDisplay(1280, 720).start()
        cls.addClassCleanup(cls.screen.stop)
        cls.wine = WinePrefix().ensure()
        # Every Wine process of this class, the helpers included, must see
        # the X server: the first one starts Wine's desktop process for all.
        cls.wine.env["DISPLAY"] = cls.screen.name
        cls.wine.kill_server()
        cls.addClassCleanup(cls.wine.kill_server)
        # With no window manager, Wine waits two seconds for one whenever a
        # managed window is hidden (every message box, every close).
        cls.wine.reg_add(MANAGED_KEY, "Managed", "N")
        cls.addClassCleanup(cls.wine.reg_delete, MANAGED_KEY.rsplit("\\", 1)[0])
        cls.server = SshServer("ecdsa").start()
        cls.addClassCleanup(cls.server.remove)
        # Big enough that a backup and a restore take seconds: long enough to
        # watch the progress bar move and to cancel.
        cls.site = make_sample_site("ui-site", big_file_mib=300)
        cls.addClassCleanup(shutil.rmtree, cls.site, True)
        # One drive for all tests: mapping one restarts Wine (seconds).
        cls.drive = BoundDrive(cls.wine, cls.work / "drive", "e", cls.server, [cls.site])
        cls.addClassCleanup(cls.drive.unmap)
        cls.settings = cls.drive.program.with_name("settings.ini")
        cls.settings_bytes = cls.settings.read_bytes()

    def setUp(self):
        self.wine.reset_program_state()
        shutil.rmtree(self.drive.backup_folder, ignore_errors=True)
        self.settings.write_bytes(self.settings_bytes)

    # ---- helpers -----------------------------------------------------------------
    def ui(self, *args, timeout=60):
        """Runs one driver command; returns (exit code, stdout lines with
        escapes resolved). Output goes through files: a pipe would stay open
        as long as any Wine service process started by the driver lives."""
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            code = subprocess.run(["wine", str(DRIVER), *map(str, args)], env=self.wine.env, stdout=out,
                                  stderr=err, timeout=timeout).returncode
            out.seek(0)
            err.seek(0)
            self.last_stderr = err.read().decode("utf-8", "replace")
            return code, [unescape(line) for line in out.read().decode("utf-8").splitlines()]

    def ui_ok(self, *args, timeout=60):
        code, lines = self.ui(*args, timeout=timeout)
        self.assertEqual(code, 0, f"driver {args}: {self.last_stderr.strip()[-400:]}")
        return lines

    def text(self, control_id, *window):
        [text] = self.ui_ok(*window, "get-text", control_id)
        return text

    def wait_text(self, control_id, substring, seconds=30, window=()):
        code, lines = self.ui(*window, "wait-text", control_id, escape(substring), seconds, timeout=seconds + 30)
        self.assertEqual(code, 0, f"control {control_id} never showed {substring!r}; it shows {lines}")
        return lines[0]

    def message_box(self, caption, seconds=30):
        """Waits for the program's message box; returns (text, owner)."""
        code, lines = self.ui("message-box", caption, seconds, timeout=seconds + 30)
        if code != 0:
            self.fail(f"no {caption!r} box; the status line shows {self.ui('get-text', 120)[1]}")
        return lines[0], lines[1].split("\t")[1]

    def error_box(self):
        """Waits for the "Ошибка" box; returns (its English message, owner)
        once a Russian explanation was seen to come first."""
        text, owner = self.message_box("Ошибка")
        reason, _, message = text.partition("\n")
        self.assertRegex(reason, "[а-яё]", text)
        return message, owner

    def answer(self, caption, button):
        self.ui_ok("answer", caption, button)

    def open_window(self):
        """Starts the program from the drive with no arguments and waits for
        its window; a start-up error box is reported instead."""
        process = self.wine.start(self.drive.program)
        self.addCleanup(self._end, process)
        code, _ = self.ui("wait-window", 30, timeout=60)
        if code != 0:
            code, box = self.ui("message-box", "Tesmora Backup", 0)
            self.fail(f"the window did not open; {'error box: ' + box[0] if code == 0 else 'no error box'}; "
                      f"errors.log: {self.wine.error_log().strip()}")
        return process

    def _end(self, process):
        if process.poll() is None:
            self.ui("close")
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
                self.wine.kill_server()

    def close_window(self, process):
        self.ui_ok("close")
        self.assertEqual(process.wait(timeout=30), 0, self.wine.error_log())

    def controls(self, *window):
        """(id, class, x, y, width, height, style, text) per child, in creation order."""
        rows = []
        for line in self.ui_ok(*window, "controls"):
            cid, cls, x, y, w, h, style, _, text = line.split("\t", 8)
            rows.append((int(cid), cls.split("!")[-1].upper(), int(x), int(y), int(w), int(h), int(style, 16), text))
        return rows

    def watch_backup(self):
        """Runs "Сделать копию сейчас" and returns the progress bar's readings
        until the status line shows the result."""
        self.ui_ok("click", 133)
        readings = []
        deadline = time.monotonic() + 240
        while time.monotonic() < deadline:
            readings.append(self.ui_ok("progress", 142)[0])
            status = self.text(120)
            if status.startswith(("Готово: ", "Ошибка: ")):
                readings.append(self.ui_ok("progress", 142)[0])
                return readings, status
        self.fail(f"the backup never ended; progress {readings[-5:]}")

    # ---- tests -------------------------------------------------------------------
    def test_layout_fits_without_overlaps_and_scales_with_the_dpi(self):
        scaled = {}
        for dpi in (96, 144):
            self.wine.set_dpi(dpi)
            self.addCleanup(self.wine.set_dpi, 96)
            process = self.open_window()
            controls = self.controls()
            scaled[dpi] = {c[0]: c[2:6] for c in controls if c[0] != 0}
            panel = (980 * dpi // 96, 612 * dpi // 96)
            for c in controls:
                self.assertTrue(0 <= c[2] and c[2] + c[4] <= panel[0] and 0 <= c[3] and c[3] + c[5] <= panel[1],
                                (dpi, c[0], c[1]))
            # Each tab in turn: what shows never overlaps (the tab control lies beneath it all).
            for page in range(4):
                shown = [c for c in self.controls() if c[6] & WS_VISIBLE and c[0] != TABS]
                boxes = [(c[0], c[1], c[2], c[3], c[4], c[5] if c[1] != "COMBOBOX" else 30 * dpi // 96)
                         for c in shown]
                for i, a in enumerate(boxes):
                    for b in boxes[i + 1:]:
                        overlap = (a[2] < b[2] + b[4] and b[2] < a[2] + a[4] and a[3] < b[3] + b[5]
                                   and b[3] < a[3] + a[5])
                        self.assertFalse(overlap, f"{a} overlaps {b} at {dpi} DPI on tab {page}")
                if page < 3:
                    self.ui_ok("key-right", TABS)
                    self.assertTrue(wait_for(lambda: [c[6] & WS_VISIBLE for c in self.controls() if c[0] == 106]
                                             == [WS_VISIBLE if page == 0 else 0], 5), page)
            if dpi == 96:
                # A few anchors of the panel, and Tab walking the controls in order.
                self.assertEqual(scaled[96][137][0] + scaled[96][137][2], 955)  # help, top right
                self.assertEqual(scaled[96][120][:2], (20, 528))                # the status box
                self.assertGreater(scaled[96][142][1], scaled[96][120][1] + scaled[96][120][3])  # bar below it
                for _ in range(3):
                    self.ui_ok("key-left", TABS)  # back to the first tab
                self.assertTrue(wait_for(lambda: [c[6] & WS_VISIBLE for c in self.controls() if c[0] == 100]
                                         == [WS_VISIBLE], 5))
                tab_order = [c[0] for c in self.controls() if c[6] & WS_TABSTOP and c[6] & WS_VISIBLE]
                self.assertEqual(tab_order[:6], [137, 100, 130, 101, 102, 103])
                focus = lambda: int(self.ui_ok("focus")[0].split("\t")[0])  # noqa: E731
                self.ui_ok("key-tab")
                self.assertTrue(wait_for(lambda: focus() in tab_order, 5), focus())
                start = tab_order.index(focus())
                self.ui_ok("key-tab")
                self.assertTrue(wait_for(lambda: focus() == tab_order[(start + 1) % len(tab_order)], 5), focus())
                # Enter in the paths box is a line break, not the default button.
                paths = self.text(106)
                self.ui_ok("key-return", 106)
                self.assertTrue(wait_for(lambda: self.text(106).count("\r\n") == paths.count("\r\n") + 1, 5))
                # The whole panel fits the 1280 x 720 screen: nothing to scroll.
                [rect] = self.ui_ok("window-rect")
                self.assertTrue(612 < int(rect.split("\t")[3]) <= 720, rect)
                # F1 twice and the help button: one help window, the main one's.
                for command in (("key-f1",), ("key-f1", 101), ("click", 137)):
                    self.ui_ok(*command)
                self.assertTrue(wait_for(lambda: self.ui_ok("help-windows")[0] == "1", 10))
                self.assertEqual(self.ui_ok("help-windows")[1].split("\t")[5:], ["main",
                                 "Tesmora Backup — справочник пользователя"])
            self.close_window(process)
        for cid, (x, y, w, h) in scaled[96].items():
            with self.subTest(control=cid):
                big = scaled[144][cid]
                self.assertAlmostEqual(big[0], x * 1.5, delta=2)
                self.assertAlmostEqual(big[1], y * 1.5, delta=2)
                self.assertAlmostEqual(big[2], w * 1.5, delta=2)
                if cid != 100:  # a closed drop-down list is one line of its font high
                    self.assertAlmostEqual(big[3], h * 1.5, delta=2)

    def test_save_refuses_what_cannot_work_and_checks_the_key(self):
        process = self.open_window()
        self.ui_ok("click", 131)
        self.assertEqual(self.wait_text(120, SAVED), SAVED + "включён.")

        # Another login has no stored password: refused, nothing written.
        before = self.settings.read_bytes()
        self.ui_ok("set-text", 103, "someone-else")
        self.ui_ok("click", 131)
        self.assertEqual(self.error_box(), ("Enter and save the VDS password on this Windows account first", "main"))
        self.answer("Ошибка", "ok")
        self.assertEqual(self.settings.read_bytes(), before)
        self.ui_ok("set-text", 103, self.server.user)

        # The host key: refused once, then accepted; the check then passes.
        self.ui_ok("set-text", 106, escape(f"{self.site}\r\n"))
        self.ui_ok("set-text", 105, "")
        self.ui_ok("click", 134)
        self.assertEqual(self.message_box("Ключ SSH"), (KEY_QUESTION + self.server.fingerprint(), "main"))
        self.answer("Ключ SSH", "no")
        self.assertEqual(self.text(105), "")
        self.ui_ok("click", 134)
        self.message_box("Ключ SSH")
        self.answer("Ключ SSH", "yes")
        self.assertEqual(self.text(105), self.server.fingerprint())
        self.ui_ok("click", 132)
        # The check ends with the databases a backup would dump: none here.
        checked = self.wait_text(120, "MySQL/MariaDB и PostgreSQL не найдено.")
        self.assertTrue(checked.startswith("Соединение и ключ сервера проверены. Вход: по паролю."), checked)
        values = dict(ini_values(self.settings))
        self.assertEqual(values["path_count"], "1")
        self.close_window(process)

    def test_encryption_is_on_only_once_the_recovery_sheet_is_kept_and_off_only_when_confirmed(self):
        process = self.open_window()
        sheet_dialog = ("--dialog", "Лист восстановления")
        recipient = lambda: dict(ini_values(self.settings)).get("encryption_recipient")
        self.assertEqual(self.text(149), "Копии не шифруются")
        self.ui_ok("click", 147)
        self.ui_ok("click", 131)
        # No passphrase given: the program proposes one, on the sheet.
        self.ui_ok("folder-dialog", "Пароль к identity.age", "", 30)
        [sheet] = self.ui_ok(*sheet_dialog, "get-text", 210, timeout=90)
        self.assertRegex(sheet, r"(?m)^AGE-SECRET-KEY-1[0-9A-Z]{58}\r$")
        self.assertRegex(sheet, r"Passphrase of identity.age: (\w{5}-){5}\w{5}")
        # «Готово» waits for the confirmation; a cancel saves nothing.
        self.ui_ok(*sheet_dialog, "click", 1)
        self.ui_ok(*sheet_dialog, "get-text", 210)
        self.answer("Лист восстановления", "cancel")
        self.wait_text(120, "Шифрование не включено: лист восстановления не подтверждён.")
        self.assertIsNone(recipient())

        self.ui_ok("click", 131)
        self.ui_ok("folder-dialog", "Пароль к identity.age", "correct horse battery", 30)
        self.ui_ok(*sheet_dialog, "click", 212, timeout=90)
        self.ui_ok(*sheet_dialog, "click", 1)
        self.assertEqual(self.wait_text(120, SAVED), SAVED + "включён.")
        self.assertTrue(recipient().startswith("age1"))
        self.assertTrue(self.text(149).startswith("Ключ: " + recipient()[:12]))
        self.assertTrue((self.drive.program.with_name("identity.age")).read_bytes().startswith(b"age-encryption.org/v1\n"))

        # Off asks first; "no" keeps it on.
        self.ui_ok("click", 147)
        self.ui_ok("click", 131)
        self.assertIn("Новые копии будут лежать на диске открыто", self.message_box("Шифрование копий")[0])
        self.answer("Шифрование копий", "no")
        self.wait_text(120, SAVED)
        self.assertTrue(recipient())
        self.ui_ok("click", 147)
        self.ui_ok("set-text", 120, "")
        self.ui_ok("click", 131)
        self.answer("Шифрование копий", "yes")
        self.wait_text(120, SAVED)
        self.assertIsNone(recipient())
        self.assertEqual(self.text(149), "Копии не шифруются")
        self.close_window(process)

    def test_a_retention_change_that_removes_more_than_three_copies_asks_first(self):
        self.drive.backup_folder.mkdir(exist_ok=True)
        for day in range(1, 7):
            snapshot = self.drive.backup_folder / f"2026-01-0{day}_00-00-00_UTC-{day:08X}-0000-0000-0000-000000000000"
            snapshot.mkdir()
            for name in ("site.tar.gz", "SHA256SUMS.txt", "snapshot.ini"):
                (snapshot / name).write_bytes(b"x")
            (snapshot / "COMPLETE").write_text(self.drive.id)
        process = self.open_window()
        self.ui_ok("set-text", 108, "1")
        self.ui_ok("click", 131)
        question, owner = self.message_box("Правила хранения")
        self.assertEqual(owner, "main")
        self.assertIn("будут удалены 5 копий:", question)
        self.assertIn("2026-01-01_00-00-00_UTC-00000001", question)
        self.answer("Правила хранения", "no")
        self.assertEqual(dict(ini_values(self.settings))["keep"], "0")
        self.ui_ok("click", 131)
        self.answer("Правила хранения", "yes")
        self.wait_text(120, SAVED)
        self.assertEqual(dict(ini_values(self.settings))["keep"], "1")
        self.assertEqual(len(self.drive.snapshots()), 6)  # removed only after the next successful run
        self.close_window(process)

    def test_turning_the_schedule_off_reports_a_task_windows_did_not_delete(self):
        process = self.open_window()
        self.ui_ok("click", 131)
        self.assertEqual(self.wait_text(120, SAVED), SAVED + "включён.")
        task = self.wine.prefix / "drive_c" / "windows" / "system32" / "tasks" / "Tesmora-SiteBackup"
        self.assertTrue(task.exists())

        # While another program holds the task's file, Windows refuses the
        # delete, and schtasks answers 1 as it does for a missing task.
        held = self.work / "held.txt"
        with open(held, "wb") as out:
            holder = subprocess.Popen(["wine", str(DRIVER), "hold-open", TASK_FILE, "120"], env=self.wine.env,
                                      stdout=out, stderr=subprocess.DEVNULL)
        self.addCleanup(stop, holder)
        self.assertTrue(wait_for(lambda: held.read_bytes().startswith(b"held"), 30), "the task file was not held")
        self.ui_ok("click", 109)  # «Автозапуск и расписание» off
        self.ui_ok("click", 131)
        self.assertEqual(self.error_box(), ("Task removal failed (schtasks exit code 1); run settings as administrator "
                                            "if Windows policy requires it", "main"))
        self.answer("Ошибка", "ok")
        self.assertIn("Автозапуск НЕ выключен", self.text(120))
        self.assertTrue(task.exists())

        # Released, the task goes; with none left, saving again is no error either.
        stop(holder)
        for _ in range(2):
            self.ui_ok("set-text", 120, "")
            self.ui_ok("click", 131)
            self.assertEqual(self.wait_text(120, SAVED, 60), SAVED + "выключен.")
            self.assertFalse(task.exists())
        self.close_window(process)

    def test_backup_shows_its_progress_then_a_busy_window_refuses_to_close_and_cancels(self):
        process = self.open_window()
        readings, status = self.watch_backup()
        [snapshot] = self.drive.snapshots()
        self.assertEqual(status, "Готово: E:\\Backcup_Site_Tesmora\\" + snapshot.name, self.wine.error_log())
        self.assertEqual(verify_checksums(snapshot), (True, "site.tar.gz: OK\nsite.index: OK"))
        # The transfer, then the read-back, each from 0 to 100.
        positions = [int(r.split("\t")[0]) for r in readings if "moving" not in r]
        self.assertGreater(len(set(positions) - {0, 100}), 0, f"the bar never moved between: {readings}")
        self.assertEqual(readings[-1], "100")
        self.assertRegex(self.text(141), r"^Последняя: \d{4}-\d\d-\d\d_\d\d-\d\d-\d\d_UTC  ·  Последний вход: по паролю\n"
                                         r"Следующая: \d{4}-\d\d-\d\d_\d\d-\d\d-\d\d_UTC$")

        self.ui_ok("click", 133)
        self.wait_text(120, "Получено ", 60)
        self.ui_ok("close")
        self.assertEqual(self.message_box("Резервная копия"), (BUSY, "main"))
        self.answer("Резервная копия", "ok")
        self.assertIsNone(process.poll())
        self.ui_ok("click", 133)
        self.assertEqual(self.error_box()[0], "Wait for the active operation")
        self.answer("Ошибка", "ok")
        self.ui_ok("click", 135)
        # A cancel is no error; the log keeps why the run stopped.
        self.assertEqual(self.wait_text(120, "Отменено", 30), "Отменено: копия не создана.")
        self.assertEqual(len(self.drive.snapshots()), 1)
        self.assertTrue(self.drive.log_lines()[-1].startswith("FAILED"), self.drive.log_lines())
        # Nor does the summary count it as a failure.
        self.assertNotIn("Ошибка", self.text(141))
        self.close_window(process)

    def test_snapshots_window_verifies_restores_and_cancels_each(self):
        self.assertEqual(self.drive.run().returncode, 0, self.wine.error_log())
        [snapshot] = self.drive.snapshots()
        before = {p.name: p.read_bytes()[:1024] for p in snapshot.iterdir()}
        process = self.open_window()
        self.ui_ok("click", 138)
        self.ui_ok("--class", SNAPSHOTS, "wait-window", 30)
        window = ("--class", SNAPSHOTS)
        [row] = self.ui_ok(*window, "list-rows", 301)
        self.assertRegex(row, r"^\d{4}-\d\d-\d\d \d\d:\d\d\t\d+,\d МиБ\t\d+ / 1 / 0\tпроверена ")

        self.ui_ok(*window, "click", 302)
        self.wait_text(308, "Проверка завершена: копиям можно доверять.", 120, window)
        self.assertEqual(self.drive.log_lines()[-1], f"VERIFY {snapshot.name} OK")
        # «Отменить» the moment the verification reports its first percent: no verdict.
        self.ui_ok(*window, "click", 302)
        self.ui_ok(*window, "wait-text", 308, "Проверка копии:", 60, 307)
        self.assertEqual(self.wait_text(308, "Отменено", 60, window), "Отменено")
        self.assertEqual(self.drive.log_lines()[-1], f"VERIFY {snapshot.name} OK")

        target = self.work / "restored"
        target.mkdir()
        self.addCleanup(shutil.rmtree, target, True)
        self.ui_ok(*window, "click", 304)
        self.ui_ok("folder-dialog", PICKER, escape(windows_path(target)), 30)
        text, _ = self.message_box("Восстановление", 240)
        self.assertRegex(text, r"^Восстановлено: \d+ файлов, 3\d\d МиБ; жёстких ссылок 0; переименовано 0; "
                               r"ссылок не создано 1; пропущено 0")
        self.answer("Восстановление", "no")
        restored = target / str(self.site).lstrip("/")
        self.assertEqual((restored / "public" / "video.bin").read_bytes(), (self.site / "public" / "video.bin").read_bytes())
        self.assertTrue((target / "restore-report.txt").exists())

        cancelled = self.work / "cancelled"
        cancelled.mkdir()
        self.addCleanup(shutil.rmtree, cancelled, True)
        self.ui_ok(*window, "click", 304)
        # «Отменить» the moment the restore reports its first percent.
        canceller = subprocess.Popen(["wine", str(DRIVER), *window, "wait-text", "308", "Восстановление:", "60", "307"],
                                     env=self.wine.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.ui_ok("folder-dialog", PICKER, escape(windows_path(cancelled)), 30)
        self.assertEqual(canceller.wait(timeout=90), 0)
        self.assertEqual(self.wait_text(308, "Отменено", 60, window),
                         f"Отменено. Уже восстановленное осталось в папке {windows_path(cancelled)} "
                         "(см. restore-report.txt).")
        self.assertIn("Восстановление отменено", (cancelled / "restore-report.txt").read_text(encoding="utf-8-sig"))
        self.assertEqual({p.name: p.read_bytes()[:1024] for p in snapshot.iterdir()}, before)

        # A restore to the server, cancelled while it sends the archive.
        home = Path("/home") / TEST_USER
        remote = home / "ui-restored"
        self.addCleanup(lambda: [shutil.rmtree(p, True) for p in home.glob("*ui-restored*")])
        self.ui_ok(*window, "set-text", 310, str(remote))
        self.ui_ok(*window, "click", 311)
        self.message_box("Восстановление на сервер")
        canceller = subprocess.Popen(["wine", str(DRIVER), *window, "wait-text", "308", "Отправка на сервер:", "120",
                                      "307"], env=self.wine.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.answer("Восстановление на сервер", "yes")
        self.assertEqual(canceller.wait(timeout=150), 0)
        self.assertEqual(self.wait_text(308, "Отменено", 60, window), "Отменено")
        self.assertFalse(remote.exists())
        self.close_window(process)


if __name__ == "__main__":
    unittest.main()
