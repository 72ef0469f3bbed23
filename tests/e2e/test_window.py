"""The settings window of the real program under Wine on a private Xvfb,
worked from outside by tesmora_ui_driver.exe: layout, saving, the host key,
the connection check, a backup with progress, cancelling, closing while busy
and the help window.

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
from harness.site import BoundDrive, ini_bytes, ini_values, make_sample_site, verify_checksums
from harness.sshd import SshServer
from harness.wine import PROGRAM, REPO, WinePrefix

DRIVER = REPO / "build" / "windows" / "tesmora_ui_driver.exe"
MANAGED_KEY = r"HKCU\Software\Wine\AppDefaults\TesmoraBackup.exe\X11 Driver"

WS_CHILD, WS_VISIBLE, WS_TABSTOP = 0x40000000, 0x10000000, 0x00010000
WS_VSCROLL, WS_HSCROLL, WS_CLIPSIBLINGS = 0x00200000, 0x00100000, 0x04000000
WS_OVERLAPPEDWINDOW, WS_EX_WINDOWEDGE, WS_EX_CLIENTEDGE = 0x00CF0000, 0x00000100, 0x00000200
BS_AUTOCHECKBOX, CBS_DROPDOWNLIST = 0x3, 0x3
ES_MULTILINE, ES_PASSWORD, ES_AUTOVSCROLL, ES_AUTOHSCROLL = 0x4, 0x20, 0x40, 0x80
ES_READONLY, ES_WANTRETURN, ES_NUMBER = 0x800, 0x1000, 0x2000

TITLE = "Tesmora — резервные копии сайта / настройки"
FIRST_SUMMARY = "Первая копия ещё не завершена; срок наступил."
SAVED = "Настройки сохранены. Пароль защищён Windows. Автозапуск "
NO_PASSWORD = "Enter and save the VDS password on this Windows account first"
BUSY = "Сейчас выполняется операция. Дождитесь завершения или нажмите «Отменить»."
CHECKED = "Соединение и ключ сервера проверены."
KEY_QUESTION = "Сверьте этот отпечаток с VDS/доверенным источником. Сохранить ключ?\n\n"
PROGRESS = re.compile(r"^Получено (\d+) МиБ…$")
SNAPSHOT = re.compile(r"^\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d_UTC-[0-9A-F-]{36}$")


def layout(host, port, user, fingerprint, paths):
    """The window's controls in creation order: class, id, x, y, w, h, extra
    style, text. Texts that come from the settings are filled in."""
    return [
        ("STATIC", 0, 20, 14, 755, 27, 0, "Резервная копия сайта с VDS на выбранный носитель"),
        ("BUTTON", 137, 805, 10, 150, 34, 0, "?  Справка"),
        ("STATIC", 0, 20, 49, 930, 25, 0, "Диск для резервных копий (смена буквы не сбрасывает привязку)"),
        ("COMBOBOX", 100, 20, 78, 790, 300, CBS_DROPDOWNLIST | WS_VSCROLL, None),
        ("BUTTON", 130, 820, 76, 135, 30, 0, "Обновить"),
        ("STATIC", 0, 20, 120, 220, 24, 0, "IP / домен"),
        ("STATIC", 0, 355, 120, 100, 24, 0, "Порт SSH"),
        ("STATIC", 0, 485, 120, 180, 24, 0, "Логин"),
        ("STATIC", 0, 685, 120, 275, 24, 0, "Пароль (пусто = сохранённый)"),
        ("EDIT", 101, 20, 148, 310, 30, ES_AUTOHSCROLL, host),
        ("EDIT", 102, 355, 148, 105, 30, ES_NUMBER, str(port)),
        ("EDIT", 103, 485, 148, 175, 30, ES_AUTOHSCROLL, user),
        ("EDIT", 104, 685, 148, 270, 30, ES_PASSWORD | ES_AUTOHSCROLL, ""),
        ("STATIC", 0, 20, 191, 910, 24, 0,
         "Закреплённый ключ SSH (смена ключа останавливает автоматические подключения)"),
        ("EDIT", 105, 20, 220, 735, 30, ES_AUTOHSCROLL, fingerprint),
        ("BUTTON", 134, 770, 219, 185, 31, 0, "Получить ключ…"),
        ("STATIC", 0, 20, 268, 910, 24, 0, "Каталоги / файлы на VDS — абсолютные пути, по одному в строке"),
        ("EDIT", 106, 20, 300, 935, 200, WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN,
         "".join(f"{p}\r\n" for p in paths)),
        ("STATIC", 0, 20, 514, 150, 25, 0, "Интервал, часов"),
        ("EDIT", 107, 180, 510, 75, 30, ES_NUMBER, "24"),
        ("STATIC", 0, 300, 514, 230, 25, 0, "Хранить копий (0 = все)"),
        ("EDIT", 108, 535, 510, 75, 30, ES_NUMBER, "0"),
        ("BUTTON", 109, 640, 510, 315, 30, BS_AUTOCHECKBOX, "Автозапуск и расписание"),
        ("STATIC", 140, 20, 553, 935, 65, 0,
         "Папка копий: Backcup_Site_Tesmora на выбранном диске.\n"
         "Окно можно закрыть: включённое расписание работает после входа в Windows. Справка: ? / F1."),
        ("BUTTON", 131, 20, 644, 240, 37, 0, "Сохранить / автозапуск"),
        ("BUTTON", 132, 275, 644, 190, 37, 0, "Проверить SSH"),
        ("BUTTON", 133, 480, 644, 245, 37, 0, "Сделать копию сейчас"),
        ("BUTTON", 135, 740, 644, 215, 37, 0, "Отменить"),
        ("BUTTON", 136, 20, 696, 270, 34, 0, "Открыть резервные копии"),
        ("STATIC", 141, 315, 690, 640, 49, 0, FIRST_SUMMARY),
        ("EDIT", 120, 20, 744, 935, 55, ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY,
         "Готово. Сохраните настройки для регистрации расписания на этом ПК."),
    ]


def unescape(text):
    """The driver's escapes (\\r \\n \\t \\\\ \\xHH) back to characters."""
    return re.sub(r"\\(x[0-9A-Fa-f]{2}|.)",
                  lambda m: {"r": "\r", "n": "\n", "t": "\t"}.get(m.group(1), m.group(1))
                  if m.group(1)[0] != "x" else chr(int(m.group(1)[1:], 16)), text)


def escape(text):
    return text.replace("\\", "\\\\").replace("\r", "\\r").replace("\n", "\\n").replace("\t", "\\t")


class SettingsWindow(unittest.TestCase):
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
        cls.addClassCleanup(subprocess.run, ["wine", "reg", "delete", MANAGED_KEY.rsplit("\\", 1)[0], "/f"],
                            env=cls.wine.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
        cls.server = SshServer("ecdsa").start()
        cls.addClassCleanup(cls.server.remove)
        cls.site = make_sample_site("ui-site", big_file_mib=40)
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

    def text(self, control_id):
        [text] = self.ui_ok("get-text", control_id)
        return text

    def wait_text(self, control_id, substring, seconds=30):
        code, lines = self.ui("wait-text", control_id, escape(substring), seconds, timeout=seconds + 30)
        self.assertEqual(code, 0, f"control {control_id} never showed {substring!r}; it shows {lines}")
        return lines[0]

    def message_box(self, caption, seconds=30):
        """Waits for the program's message box; returns (text, owner)."""
        code, lines = self.ui("message-box", caption, seconds, timeout=seconds + 30)
        if code != 0:
            self.fail(f"no {caption!r} box; the status line shows {self.ui('get-text', 120)[1]}")
        return lines[0], lines[1].split("\t")[1]

    def answer(self, caption, button):
        self.ui_ok("answer", caption, button)

    def set_paths(self, paths):
        """The drive's settings with other source paths."""
        entries = [(k, v) for k, v in ini_values(self.settings) if not k.startswith("path")]
        entries += [("path_count", str(len(paths)))] + [(f"path{i}", str(p)) for i, p in enumerate(paths)]
        self.settings.write_bytes(ini_bytes(entries))

    def open_window(self, drive):
        """Starts the program from the drive with no arguments and waits for
        its window; a start-up error box is reported instead."""
        process = self.wine.start(drive.program)
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

    def controls(self):
        rows = []
        for line in self.ui_ok("controls"):
            cid, cls, x, y, w, h, style, exstyle, text = line.split("\t", 8)
            # Version prefixes ("6.0...!Button") come with visual styles.
            rows.append((cls.split("!")[-1].upper(), int(cid), int(x), int(y), int(w), int(h),
                         int(style, 16), int(exstyle, 16), text))
        return rows

    # ---- tests -------------------------------------------------------------------
    def test_layout_initial_values_and_help(self):
        self.set_paths([self.site, "/etc/hostname"])
        drive = self.drive
        process = self.open_window(drive)

        expected = layout(self.server.host, self.server.port, self.server.user, self.server.fingerprint(),
                          [self.site, "/etc/hostname"])
        actual = self.controls()
        self.assertEqual([(c[0], c[1]) for c in actual], [(e[0], e[1]) for e in expected],
                         "controls, classes or their creation order")
        for (cls, cid, x, y, w, h, extra, text), got in zip(expected, actual):
            with self.subTest(control=cid, text=text):
                style = WS_CHILD | WS_VISIBLE | (0 if cls == "STATIC" else WS_TABSTOP) | extra
                if cls == "COMBOBOX":
                    # A closed drop-down list is one line high; what was given
                    # as its height is the extent of the dropped list, and
                    # Wine's combo box keeps WS_VSCROLL for that list only.
                    self.assertEqual(got[2:5], (x, y, w))
                    [dropped] = self.ui_ok("combo-dropped-rect")
                    self.assertIn(int(dropped.split("\t")[3]), range(h - 30, h + 1), dropped)
                    self.assertIn(got[6], (style, style & ~WS_VSCROLL), hex(got[6]))
                else:
                    self.assertEqual(got[2:6], (x, y, w, h))
                    self.assertEqual(hex(got[6]), hex(style))
                self.assertEqual(hex(got[7]), hex(WS_EX_CLIENTEDGE if cls == "EDIT" else 0))
                if text is not None:
                    self.assertEqual(got[8], text)
        self.assertEqual(self.ui_ok("get-check", 109), ["1"])

        # The drive list: the bound drive is preselected and described.
        selected = self.ui_ok("combo-get-text")[0]
        self.assertRegex(selected, r"^E:\\  BACKUP \| \d+ ГиБ, \S+ \| свободно \d+ ГиБ \| том 5eed1234$")
        stat = os.statvfs(drive.folder)
        self.assertEqual(int(selected.split(" | ")[1].split()[0]), (stat.f_blocks * stat.f_frsize) >> 30)
        self.assertEqual(actual[3][8], selected, "the combo box's own text is its selected line")
        self.ui_ok("click", 130)  # "Обновить" rebuilds the list and keeps the bound drive chosen
        self.assertTrue(self._wait(lambda: self.ui_ok("combo-get-text") == [selected], 5))

        window = {k: v for k, v in (line.split("\t", 1) for line in self.ui_ok("window-rect"))}
        _, _, work_w, work_h = map(int, window["workarea"].split("\t"))
        _, _, width, height = map(int, window["window"].split("\t"))
        self.assertEqual((width, height), (min(1010, work_w - 40), min(875, work_h - 30)))
        self.assertEqual(window["title"], TITLE)
        # Wine adds the usual bits of a top-level window; the scroll bars come
        # and go with the page size.
        self.assertEqual(hex(int(window["style"], 16) & ~(WS_VISIBLE | WS_CLIPSIBLINGS | WS_VSCROLL | WS_HSCROLL)),
                         hex(WS_OVERLAPPEDWINDOW))
        self.assertEqual(int(window["exstyle"], 16) & ~WS_EX_WINDOWEDGE, 0)

        # The panel scrolls under the window: 30 pixels a line, three lines
        # a wheel notch, a page at a time, and no further than its end.
        _, _, _, client_h = map(int, window["client"].split("\t"))
        self.assertLess(client_h, 820, "the screen must be too small for the panel")
        for request, top in [(("scroll", "v", 1), -20), (("wheel", -120), -110), (("wheel", 120), -20),
                             (("scroll", "v", 6), -20),  # SB_TOP: not a request this window follows
                             (("scroll", "v", 3, 6), 10 - (821 - client_h)), (("scroll", "v", 0), 10 - (791 - client_h)),
                             (("scroll", "v", 2, 6), 10)]:
            self.ui_ok(*request)
            self.assertTrue(self._wait(lambda: self.ui_ok("rect", 137)[0].split("\t")[1] == str(top), 5),
                            f"after {request} the help button is at {self.ui_ok('rect', 137)}, not y {top}")
        self.assertEqual(self.ui_ok("rect", 120), ["20\t744\t935\t55"])

        # Tab walks the controls that take the focus in creation order.
        tab_order = [c[1] for c in expected if c[0] != "STATIC"]
        focus = lambda: int(self.ui_ok("focus")[0].split("\t")[0])  # noqa: E731
        self.ui_ok("key-tab")
        self.assertTrue(self._wait(lambda: focus() in tab_order, 5), focus())
        start = tab_order.index(focus())
        for step in range(1, 6):
            self.ui_ok("key-tab")
            want = tab_order[(start + step) % len(tab_order)]
            self.assertTrue(self._wait(lambda: focus() == want, 5), f"focus on {focus()}, not {want}")

        # Enter in the paths box is a line break, not the dialog's default button.
        paths = self.text(106)
        self.ui_ok("key-return", 106)
        self.assertTrue(self._wait(lambda: self.text(106).count("\r\n") == paths.count("\r\n") + 1, 5),
                        self.text(106))
        self.assertEqual(self.text(106).replace("\r\n", ""), paths.replace("\r\n", ""))

        # F1 from a control, twice, and the help button: one help window.
        # A scroll posted after them shows when all three have been handled.
        self.ui_ok("key-f1")
        self.ui_ok("key-f1", 101)
        self.ui_ok("click", 137)
        self.ui_ok("scroll", "v", 1)
        self.assertTrue(self._wait(lambda: self.ui_ok("rect", 137)[0].split("\t")[1] == "-20", 10))
        self.ui_ok("scroll", "v", 0)
        count, *help_windows = self.ui_ok("help-windows")
        self.assertEqual(count, "1", help_windows)
        _, x, y, w, h, owner, title = help_windows[0].split("\t")
        self.assertEqual((owner, title), ("main", "Tesmora Backup — справочник пользователя"))
        self.assertEqual((int(w), int(h)), (min(900, work_w - 40), min(790, work_h - 30)))
        [manual] = self.ui_ok("help-text")
        self.assertTrue(manual.startswith("Tesmora Backup - справочник пользователя (F1)\r\n"), manual[:80])
        self.assertNotRegex(manual, r"(?<!\r)\n", "every line break of the manual is CR LF")
        lines = manual.split("\r\n")
        for title in ["БЫСТРЫЙ СТАРТ", "1. НОСИТЕЛЬ И СТРАННЫЕ НОМЕРА ДИСКОВ", "2. ПОДКЛЮЧЕНИЕ И ПАРОЛЬ",
                      "3. КАК УКАЗАТЬ ФАЙЛЫ СЕРВЕРА", "4. ИНТЕРВАЛ И АВТОЗАПУСК", "5. ЛИМИТ КОПИЙ И СВОБОДНОЕ МЕСТО",
                      "6. КНОПКИ И СТАТУС", "7. ГДЕ РЕЗУЛЬТАТ И КАК ЕГО ПРОЧИТАТЬ", "8. БАЗЫ ДАННЫХ И ВОССТАНОВЛЕНИЕ",
                      "9. БЕЗОПАСНОСТЬ И ОШИБКИ"]:
            self.assertIn(title, lines, "a section of the manual")
        help_client = dict(line.split("\t", 1) for line in self.ui_ok("--class", "TesmoraBackupHelp", "window-rect"))
        _, _, cw, ch = map(int, help_client["client"].split("\t"))
        [text_control] = self.ui_ok("--class", "TesmoraBackupHelp", "controls")
        self.assertEqual(text_control.split("\t")[:8],
                         ["201", text_control.split("\t")[1], "16", "14", str(cw - 32), str(ch - 28),
                          "0x50210844", "0x00000200"])
        self.assertEqual(text_control.split("\t")[1].split("!")[-1].upper(), "EDIT")

        self.close_window(process)

    def test_save_with_stored_password_without_any_and_with_a_typed_one(self):
        process = self.open_window(self.drive)
        settings = self.settings

        self.ui_ok("click", 131)
        self.wait_text(120, SAVED)
        self.assertEqual(self.text(120), SAVED + "включён.")

        # Another login has no stored password: refused, nothing written.
        before = settings.read_bytes()
        self.ui_ok("set-text", 103, "someone-else")
        self.ui_ok("click", 131)
        text, owner = self.message_box("Ошибка")
        self.assertEqual((text, owner), (NO_PASSWORD, "main"))
        self.answer("Ошибка", "ok")
        self.assertEqual(settings.read_bytes(), before)
        self.assertEqual(self.text(120), SAVED + "включён.")

        # Typed, the password is stored, the box emptied and the form saved
        # with the schedule switched off.
        self.ui_ok("set-text", 104, "a typed password")
        self.ui_ok("check", 109, 0)
        self.ui_ok("click", 131)
        self.wait_text(120, SAVED + "выключен.")
        self.assertEqual(self.text(104), "")
        self.assertEqual(self.text(103), "someone-else")
        values = dict(ini_values(settings))
        self.assertEqual((values["user"], values["automatic"]), ("someone-else", "0"))
        # An empty port (0): the check saves nothing and starts nothing.
        saved = settings.read_bytes()
        self.ui_ok("set-text", 104, "a typed password")
        self.ui_ok("set-text", 102, "")
        self.ui_ok("click", 132)
        self.assertEqual(self.message_box("Ошибка")[0], "Invalid host, port, interval or retention")
        self.answer("Ошибка", "ok")
        self.assertEqual(settings.read_bytes(), saved)
        self.assertEqual(self.text(120), SAVED + "выключен.")
        self.close_window(process)

    def test_host_key_refused_then_accepted_then_connection_checked(self):
        process = self.open_window(self.drive)
        fingerprint = self.server.fingerprint()

        self.ui_ok("set-text", 105, "")
        self.ui_ok("click", 134)
        text, owner = self.message_box("Ключ SSH")
        self.assertEqual((text, owner), (KEY_QUESTION + fingerprint, "main"))
        self.answer("Ключ SSH", "no")
        self.assertEqual(self.text(105), "")

        self.ui_ok("click", 134)
        self.message_box("Ключ SSH")
        self.answer("Ключ SSH", "yes")
        self.assertEqual(self.text(105), fingerprint)

        self.ui_ok("click", 132)
        self.wait_text(120, CHECKED)
        self.assertEqual(self.text(120), CHECKED)
        self.assertEqual(self.text(141), FIRST_SUMMARY)
        self.close_window(process)

    def test_backup_now_shows_progress_and_lands_a_complete_snapshot(self):
        drive = self.drive
        process = self.open_window(drive)
        self.ui_ok("click", 133)
        code, seen = self.ui("watch-text", 120, "Готово: ", 120, timeout=180)
        self.assertEqual(code, 0, f"no result; status texts: {seen}; errors.log: {self.wine.error_log()}")

        progress = [int(PROGRESS.match(t).group(1)) for t in seen if PROGRESS.match(t)]
        self.assertTrue(progress, f"no progress text among {seen}")
        self.assertEqual(progress, sorted(set(progress)), "progress goes forward")
        self.assertGreaterEqual(progress[-1], 30, "a 40 MiB incompressible file gives ~40 MiB of archive")

        [snapshot] = drive.snapshots()
        self.assertRegex(snapshot.name, SNAPSHOT)
        self.assertEqual(seen[-1], "Готово: E:\\Backcup_Site_Tesmora\\" + snapshot.name)
        self.assertEqual(sorted(p.name for p in snapshot.iterdir()),
                         ["COMPLETE", "SHA256SUMS.txt", "site.tar.gz", "snapshot.ini"])
        self.assertEqual(verify_checksums(snapshot), (True, "site.tar.gz: OK"))
        self.assertEqual((snapshot / "COMPLETE").read_bytes(), drive.id.encode())
        self.assertEqual(drive.log_lines()[-1], f"SUCCESS {snapshot.name}")

        summary = self.text(141)
        self.assertRegex(summary, r"^Последняя: \d{4}-\d\d-\d\d_\d\d-\d\d-\d\d_UTC\n"
                                  r"Следующая: \d{4}-\d\d-\d\d_\d\d-\d\d-\d\d_UTC$")
        self.close_window(process)

    def test_busy_window_refuses_to_close_and_a_second_run_then_cancels(self):
        big = make_sample_site("ui-big-site", big_file_mib=400)
        self.addCleanup(shutil.rmtree, big, True)
        self.set_paths([big])
        drive = self.drive
        process = self.open_window(drive)

        self.ui_ok("click", 133)
        self.wait_text(120, "Получено ", 60)

        self.ui_ok("close")
        text, owner = self.message_box("Резервная копия")
        self.assertEqual((text, owner), (BUSY, "main"))
        self.answer("Резервная копия", "ok")
        self.assertIsNone(process.poll())
        self.ui_ok("wait-window", 0)

        self.ui_ok("click", 133)
        self.assertEqual(self.message_box("Ошибка")[0], "Wait for the active operation")
        self.answer("Ошибка", "ok")

        self.ui_ok("click", 135)
        # The last progress text may still be on its way; the error follows.
        status = self.wait_text(120, "Ошибка: ", 30)
        self.assertEqual(status, "Ошибка: Cancelled; incomplete archive is not a backup")
        self.assertEqual(drive.snapshots(), [])
        self.assertTrue(drive.log_lines()[-1].startswith("FAILED"), drive.log_lines())
        # Idle again: closing works at once.
        self.close_window(process)

    _wait = staticmethod(wait_for)


if __name__ == "__main__":
    unittest.main()
