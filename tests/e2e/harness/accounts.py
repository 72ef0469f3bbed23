"""The accounts on this machine that the loopback SSH servers log in to.

Besides the main test user there is one account per login shell that web
hosts give their users (zsh, fish, tcsh, BSD csh, mksh, ksh93, dash, busybox
ash), and accounts set up in the ways that stop or disturb a backup: SFTP only
(with and without a chroot), a nologin shell, no python3 on the PATH, and a
.bashrc that greets on every start. (An old python3 is the server
program's own tests' to try: they run it under Python 3.6.) All share the
test user's password and each has a small site of its own in ~/www.

Accounts, the shells they use and the files behind them persist between runs,
as the main test user always has; everything made here lives under /home and
FIXTURES, and every account is in LOGIN_GROUP, which is all that Dropbear lets
in. Needs root.
"""
import grp
import os
import pwd
import re
import shutil
import subprocess
import threading
from pathlib import Path

TEST_USER = "tesmora-test"
TEST_PASSWORD = "Vps-Passw0rd-42"
LOGIN_GROUP = "tesmora-test-logins"
# Root-owned, so that sshd accepts the shells and programs kept in it.
FIXTURES = Path("/opt/tesmora-test")

# Label (as the tests name the shell) -> (account, login shell).
SHELL_ACCOUNTS = {
    "zsh": ("tesmora-zsh", "/bin/zsh"),
    "fish": ("tesmora-fish", "/usr/bin/fish"),
    "tcsh": ("tesmora-tcsh", "/bin/tcsh"),
    "bsd-csh": ("tesmora-bsdcsh", "/bin/bsd-csh"),
    "mksh": ("tesmora-mksh", "/bin/mksh"),
    "ksh93": ("tesmora-ksh93", "/bin/ksh93"),
    "dash": ("tesmora-dash", "/bin/dash"),
    # Busybox picks its applet by the name it was started as, and sshd and
    # Dropbear start a login shell under the last part of its path.
    "ash": ("tesmora-ash", str(FIXTURES / "bin" / "ash")),
}
SFTP_ONLY_USER = "tesmora-sftp"
SFTP_CHROOT_USER = "tesmora-sftpjail"
NOLOGIN_USER = "tesmora-nologin"
NO_PYTHON_USER = "tesmora-nopython"
GREETING_USER = "tesmora-greeting"
GREETING = "Welcome to web-01! Disk quota: 37% used."

NOLOGIN = "/usr/sbin/nologin"
# A login shell that puts a PATH of its own in front of bash.
NO_PYTHON_SHELL = FIXTURES / "bin" / "bash-without-python"
# Names of Python interpreters (python, python3, python3.11), kept out of those PATHs.
PYTHON_NAME = re.compile(r"python[0-9.]*m?$")

# Each is set up once per process. The accounts are made after the test
# user, so useradd, usermod and chpasswd never compete for the user database,
# and servers started meanwhile need not wait for the slower accounts.
_test_user_lock = threading.Lock()
_test_user_ready = False
_accounts_lock = threading.Lock()
_accounts_ready = False


def _ensure_user(name, shell):
    try:
        entry = pwd.getpwnam(name)
    except KeyError:
        subprocess.run(["useradd", "-m", "-s", shell, "-G", LOGIN_GROUP, name], check=True)
    else:
        in_group = name in grp.getgrnam(LOGIN_GROUP).gr_mem
        if entry.pw_shell != shell or not in_group:
            subprocess.run(["usermod", "-s", shell, "-a", "-G", LOGIN_GROUP, name], check=True)
    return Path(pwd.getpwnam(name).pw_dir)


def _ensure_group():
    try:
        grp.getgrnam(LOGIN_GROUP)
    except KeyError:
        subprocess.run(["groupadd", LOGIN_GROUP], check=True)


def ensure_test_user():
    """Creates the test user with its known password (needs root)."""
    global _test_user_ready
    with _test_user_lock:
        if not _test_user_ready:
            _ensure_group()
            if subprocess.run(["id", TEST_USER], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode != 0:
                subprocess.run(["useradd", "-m", "-s", "/bin/sh", "-G", LOGIN_GROUP, TEST_USER], check=True)
            elif TEST_USER not in grp.getgrnam(LOGIN_GROUP).gr_mem:
                subprocess.run(["usermod", "-a", "-G", LOGIN_GROUP, TEST_USER], check=True)
            subprocess.run(["chpasswd"], input=f"{TEST_USER}:{TEST_PASSWORD}\n".encode(), check=True)
            _test_user_ready = True
    return Path("/home") / TEST_USER


def _make_site(user):
    site = Path(pwd.getpwnam(user).pw_dir) / "www"
    (site / "html" / "assets").mkdir(parents=True, exist_ok=True)
    (site / "html" / "index.html").write_text("<h1>Hello</h1>\n" * 50)
    (site / "html" / "assets" / "style.css").write_text("body { color: #333 }\n" * 100)
    (site / "html" / "страница.html").write_text("Привет\n" * 100)
    photo = site / "html" / "assets" / "photo.jpg"
    if not photo.exists():
        photo.write_bytes(os.urandom(20000))  # incompressible, like real media
    link = site / "html" / "latest"
    if not link.is_symlink():
        link.symlink_to("index.html")
    subprocess.run(["chown", "-R", f"{user}:{user}", str(site)], check=True)
    return site


def prepare_site(user=TEST_USER):
    """A small website in the user's home: folders, a file with a Cyrillic
    name, a symbolic link. Returns its path on the server."""
    if user == TEST_USER:
        ensure_test_user()
    else:
        ensure_accounts()
    return _make_site(user)


def site_on_server(user):
    """The site's path as the account sees it: the chrooted account sees its
    home as /."""
    return "/www" if user == SFTP_CHROOT_USER else str(Path(pwd.getpwnam(user).pw_dir) / "www")


def _path_folder(name):
    """A folder of links to every program in /usr/bin except Python's:
    Debian's /bin is /usr/bin, so a PATH without python3 cannot name either."""
    folder = FIXTURES / "path" / name
    folder.mkdir(parents=True, exist_ok=True)
    for program in os.listdir("/usr/bin"):
        link = folder / program
        if not PYTHON_NAME.match(program) and not link.is_symlink():
            link.symlink_to(Path("/usr/bin") / program)
    return folder


def _wrapper_shell(path, path_folder):
    # Started as "bash", so that its messages read as a plain bash login's.
    path.write_text(f"#!/bin/bash\n# A login shell whose PATH is {path_folder} only.\n"
                    f"PATH={path_folder}\nexport PATH\nexec -a bash /bin/bash \"$@\"\n")
    path.chmod(0o755)


def _allow_shells(*shells):
    """Dropbear lets in only users whose shell /etc/shells lists."""
    listed = Path("/etc/shells").read_text().split()
    missing = [shell for shell in shells if shell not in listed]
    if missing:
        with open("/etc/shells", "a") as f:
            f.write("".join(shell + "\n" for shell in missing))


def ensure_accounts():
    """Creates or repairs every account and what it needs; the work is done
    once per process."""
    global _accounts_ready
    ensure_test_user()
    with _accounts_lock:
        if _accounts_ready:
            return
        (FIXTURES / "bin").mkdir(parents=True, exist_ok=True)
        ash = Path(SHELL_ACCOUNTS["ash"][1])
        if not ash.is_symlink():
            ash.symlink_to(shutil.which("busybox") or "/bin/busybox")
        _wrapper_shell(NO_PYTHON_SHELL, _path_folder("without-python"))
        accounts = {user: shell for user, shell in SHELL_ACCOUNTS.values()}
        accounts.update({SFTP_ONLY_USER: "/bin/bash", SFTP_CHROOT_USER: "/bin/bash", NOLOGIN_USER: NOLOGIN,
                         NO_PYTHON_USER: str(NO_PYTHON_SHELL), GREETING_USER: "/bin/bash"})
        # nologin stays unlisted, as on real systems.
        _allow_shells(*(shell for shell in accounts.values() if shell != NOLOGIN))
        for user, shell in accounts.items():
            _ensure_user(user, shell)
        subprocess.run(["chpasswd"], input="".join(f"{user}:{TEST_PASSWORD}\n" for user in accounts).encode(),
                       check=True)
        # A chroot must be owned by root and writable by no one else.
        jail = Path(pwd.getpwnam(SFTP_CHROOT_USER).pw_dir)
        os.chown(jail, 0, 0)
        jail.chmod(0o755)
        # Printed ahead of Debian's "not interactive: stop here", as hosting
        # panels' login scripts do, so every command's output starts with it.
        greeting_home = Path(pwd.getpwnam(GREETING_USER).pw_dir)
        skeleton = Path("/etc/skel/.bashrc")
        (greeting_home / ".bashrc").write_text(
            f"echo '{GREETING}'\n" + (skeleton.read_text() if skeleton.exists() else ""))
        for user in accounts:
            _make_site(user)
        _accounts_ready = True


def all_users():
    """Every account the servers let in, the main test user first."""
    users = [TEST_USER, *(user for user, _ in SHELL_ACCOUNTS.values()), SFTP_ONLY_USER, SFTP_CHROOT_USER,
             NOLOGIN_USER, NO_PYTHON_USER, GREETING_USER]
    return users


def environment():
    """TESMORA_TEST_* names of the accounts, for the unit tests."""
    ensure_accounts()
    env = {
        "TESMORA_TEST_SHELL_USERS": ",".join(f"{label}:{user}" for label, (user, _) in SHELL_ACCOUNTS.items()),
        "TESMORA_TEST_SFTP_ONLY_USER": SFTP_ONLY_USER,
        "TESMORA_TEST_SFTP_CHROOT_USER": SFTP_CHROOT_USER,
        "TESMORA_TEST_NOLOGIN_USER": NOLOGIN_USER,
        "TESMORA_TEST_NO_PYTHON_USER": NO_PYTHON_USER,
        "TESMORA_TEST_GREETING_USER": GREETING_USER,
        "TESMORA_TEST_GREETING": GREETING,
        "TESMORA_TEST_ACCOUNT_SITES": ",".join(f"{user}:{site_on_server(user)}" for user in all_users()[1:]),
    }
    return env
