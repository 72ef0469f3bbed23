#!/usr/bin/env bash
# Screenshots of the real settings window (each tab), the recovery sheet of
# encryption, the help and the snapshots windows, on a 1366 x 768 screen at
# 96 DPI and on a 1920 x 1080 one at 144 DPI (150 %), the screens the window
# must fit without scrolling, as PNG files in the folder given as $1 (default
# build/screenshots). Starts a private Xvfb per screen, a loopback OpenSSH
# server with a sample website and a Wine drive bound to it (as the
# end-to-end tests do), makes one backup, opens dist/TesmoraBackup.exe without
# arguments and crops each window out of the screen. Needs
# dist/TesmoraBackup.exe and build/windows/tesmora_ui_driver.exe
# (scripts/build.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-build/screenshots}"
mkdir -p "$out"
python3 - "$(cd "$out" && pwd)" <<'PY'
import subprocess, sys, tempfile, time
from pathlib import Path
sys.path.insert(0, "tests/e2e")
from harness.display import VirtualDisplay
from harness.site import BoundDrive, make_sample_site
from harness.sshd import SshServer
from harness.wine import PROGRAM, REPO, WinePrefix

DRIVER = REPO / "build" / "windows" / "tesmora_ui_driver.exe"
# Unmanaged windows: with no window manager Wine then draws the title bars and
# frames itself, as Windows would.
MANAGED_KEY = r"HKCU\Software\Wine\AppDefaults\TesmoraBackup.exe\X11 Driver"
IMPORT = "/usr/bin/import"  # ImageMagick itself
out = Path(sys.argv[1])
for needed in (PROGRAM, DRIVER, Path(IMPORT)):
    if not needed.exists():
        sys.exit(f"missing {needed}; build first (scripts/build.sh) or install imagemagick")

wine = WinePrefix().ensure()
work = Path(tempfile.mkdtemp(prefix="tesmora-screenshots-"))


def ui(*args):
    with tempfile.TemporaryFile() as f:
        code = subprocess.run(["wine", str(DRIVER), *map(str, args)], env=wine.env, stdout=f,
                              stderr=subprocess.DEVNULL, timeout=60).returncode
        f.seek(0)
        lines = f.read().decode("utf-8").splitlines()
    if code != 0:
        raise RuntimeError(f"driver {args} failed: {lines}")
    return lines


def shoot(path, x, y, w, h, display):
    """Grabs the area until two grabs in a row agree: the window has
    finished painting."""
    previous = None
    for _ in range(20):
        subprocess.run([IMPORT, "-display", display, "-window", "root", "-crop", f"{w}x{h}+{x}+{y}", "+repage",
                        str(path)], check=True)
        data = path.read_bytes()
        if data == previous:
            break
        previous = data
        time.sleep(0.25)
    print(path)


def window_shot(name, cls=None):
    [rect] = ui(*(["--class", cls] if cls else []), "window-rect")
    shoot(out / name, *rect.split("\t"), screen.name)


def shoot_all(screen, drive, dpi, size):
    """Every window at one screen size and DPI."""
    process = wine.start(drive.program)
    try:
        ui("wait-window", 30)
        ui("get-text", 120)
        for page in range(4):  # each tab of the settings window
            window_shot(f"settings-window-{size}-tab{page + 1}.png")
            ui("key-right", 150)
            time.sleep(0.3)
        # Encryption turned on: the passphrase prompt, then the sheet.
        ui("click", 147)
        ui("click", 131)
        ui("folder-dialog", "Пароль к identity.age", "", 30)
        [rect] = ui("--dialog", "Лист восстановления", "window-rect")
        shoot(out / f"recovery-sheet-{size}.png", *rect.split("\t"), screen.name)
        ui("answer", "Лист восстановления", "cancel")
        ui("key-f1")
        deadline = time.monotonic() + 10
        while ui("help-windows")[0] != "1" and time.monotonic() < deadline:
            time.sleep(0.1)
        _, x, y, w, h, *_ = ui("help-windows")[1].split("\t")
        shoot(out / f"help-window-{size}.png", x, y, w, h, screen.name)
        ui("click", 138)
        ui("--class", "TesmoraBackupSnapshots", "wait-window", 30)
        window_shot(f"snapshots-window-{size}.png", "TesmoraBackupSnapshots")
        ui("close")
        process.wait(timeout=30)
    finally:
        if process.poll() is None:
            process.kill()


# The two screens the window must fit without scrolling.
SCREENS = [(1366, 768, 96), (1920, 1080, 144)]
with SshServer("ecdsa") as server:
    site = make_sample_site("screenshot-site")
    wine.reg_add(MANAGED_KEY, "Managed", "N")
    drive = None
    try:
        for width, height, dpi in SCREENS:
            with VirtualDisplay(width, height) as screen:
                wine.env["DISPLAY"] = screen.name
                wine.kill_server()  # the desktop process must start on this display
                wine.set_dpi(dpi)
                if drive is None:
                    drive = BoundDrive(wine, work / "drive", "e", server, [site])
                    subprocess.run(["wine", str(drive.program), "--backup-now"], env=wine.env, check=True)
                shoot_all(screen, drive, dpi, f"{width}x{height}-{dpi}dpi")
                wine.kill_server()
    finally:
        wine.set_dpi(96)
        if drive is not None:
            drive.unmap()
        wine.reg_delete(MANAGED_KEY.rsplit("\\", 1)[0])
        wine.kill_server()
        subprocess.run(["rm", "-rf", str(work), str(site)], check=False)
PY
