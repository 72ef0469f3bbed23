"""The site systems' own configuration files (fixtures/sites/<system>/, each
laid out as its installer leaves it and described in fixtures/sites/
expected.json) against the private MariaDB and PostgreSQL of
tests/e2e/harness/databases.py: the databases read from each site, each
site's backup holding its database's dump, and all the sites in one run where
one database cannot be reached."""
import json
import os
import re
import shutil
import sys
import tempfile
import unittest
from pathlib import Path

import test_remote_backup as base

sys.path.insert(0, str(base.REPO / "tests" / "e2e"))
from harness import databases  # noqa: E402

FIXTURES = Path(__file__).resolve().parent / "fixtures" / "sites"
EXPECTED = json.loads((FIXTURES / "expected.json").read_text(encoding="utf-8"))
SITES = EXPECTED["sites"]
PASSWORD = EXPECTED["password"]
# Where Debian's wordpress package keeps the sites' configurations; the
# readers name it in a constant of their own.
WORDPRESS_ETC = "/etc/wordpress"
# The site whose configuration is given a wrong password in the run of all.
BROKEN = "joomla"
SERVERS = None


def setUpModule():
    databases.module_servers(fill)


def fill(servers):
    global SERVERS
    SERVERS = servers
    for system, site in SITES.items():
        for database in site["databases"]:
            create(system, database)


def tearDownModule():
    if SERVERS:
        SERVERS.close()


def marker(system):
    return "row of %s" % system


def create(system, database):
    """The database, its user with the site's password, and one table whose
    one row names the system."""
    name, user = database["name"], database["user"]
    if database["engine"] == "mysql":
        quoted = database["password"].replace("\\", "\\\\").replace("'", "\\'")
        SERVERS.mysql("DROP DATABASE IF EXISTS `%s`; CREATE DATABASE `%s`;" % (name, name) + "".join(
            "CREATE OR REPLACE USER '%s'@'%s' IDENTIFIED BY '%s';"
            "GRANT ALL PRIVILEGES ON `%s`.* TO '%s'@'%s';" % (user, host, quoted, name, user, host)
            for host in ("127.0.0.1", "localhost")))
        SERVERS.mysql("CREATE TABLE site_check (id INT PRIMARY KEY, note VARCHAR(100));"
                      "INSERT INTO site_check VALUES (1, '%s');" % marker(system), name)
    else:
        for sql in ('DROP DATABASE IF EXISTS "%s"' % name, 'DROP ROLE IF EXISTS "%s"' % user,
                    "CREATE ROLE \"%s\" LOGIN PASSWORD '%s'" % (user, database["password"].replace("'", "''")),
                    'CREATE DATABASE "%s" OWNER "%s"' % (name, user)):
            SERVERS.psql(sql)
        SERVERS.psql('SET ROLE "%s"; CREATE TABLE site_check (id INT PRIMARY KEY, note TEXT);'
                     "INSERT INTO site_check VALUES (1, '%s');" % (user, marker(system)), name)


def port(engine):
    return SERVERS.env["TESMORA_TEST_MARIADB_PORT" if engine == "mysql" else "TESMORA_TEST_PG_PORT"]


def install(system, target):
    """Copies the system's fixture to target with its placeholders filled;
    returns the site's root."""
    engine = SITES[system]["databases"][0]["engine"]
    values = {"@PORT@": port(engine), "@SOCKET@": SERVERS.env["TESMORA_TEST_MARIADB_SOCKET"],
              "@ROOT@": str(target)}
    shutil.copytree(str(FIXTURES / system), str(target))
    for folder, _, names in os.walk(str(target)):
        for name in names:
            path = Path(folder, name)
            text = path.read_bytes()
            for placeholder, value in values.items():
                text = text.replace(placeholder.encode(), value.encode())
            path.write_bytes(text)
    return target / SITES[system]["root"]


def expected_databases(system, target):
    """(engine, name, user, password, host, port, socket) of each database
    the site names, and the files any of which may be named as its source."""
    found = []
    for database in SITES[system]["databases"]:
        fill = lambda value: value and value.replace("@PORT@", port(database["engine"])).replace(
            "@SOCKET@", SERVERS.env["TESMORA_TEST_MARIADB_SOCKET"])
        found.append(((database["engine"], database["name"], database["user"], database["password"],
                       database["host"], fill(database["port"]), fill(database["socket"])),
                      [str(target / path) for path in database["found_in"]]))
    return found


def site_files(root):
    return [Path(folder, name) for folder, _, names in os.walk(str(root)) for name in names]


def wordpress_etc_constant(script):
    """The name of the readers' constant for /etc/wordpress, or None."""
    found = re.findall(rb"\n([A-Z_]+) = ['\"]%s/?['\"]\n" % re.escape(WORDPRESS_ETC.encode()), script)
    return found[0].decode() if len(found) == 1 else None


class Detection(unittest.TestCase):
    """The readers alone, on each installed site."""

    def test_each_site_names_its_database_as_its_installer_wrote_it(self):
        program = base.program_definitions(base.SCRIPT, "remote_backup")
        names, constant = program.find_site_databases.__globals__, wordpress_etc_constant(base.SCRIPT)
        holder = tempfile.TemporaryDirectory()
        self.addCleanup(holder.cleanup)
        for system, site in SITES.items():
            with self.subTest(system=system):
                target = Path(holder.name, system)
                root = install(system, target)
                if constant:
                    names[constant] = str(target / "etc" / "wordpress")
                configs = [str(path) for path in site_files(root) if program.is_config(str(path))]
                warnings = []
                found = program.find_site_databases(configs, warnings, environ={})
                # Each database once, as the program dumps it.
                keys = [d.key() for d in found]
                found = [d for i, d in enumerate(found) if d.key() not in keys[:i]]
                expected = expected_databases(system, target)
                self.assertEqual([(d.engine, d.name, d.user, d.password, d.host, d.port, d.socket)
                                  for d in found], [values for values, _ in expected])
                for database, (_, sources) in zip(found, expected):
                    self.assertIn(database.source, sources)
                if site["warnings"]:
                    for text in site["warnings"]:
                        self.assertTrue(any(text in warning for warning in warnings), (text, warnings))
                else:
                    self.assertEqual(warnings, [])


class SiteDumps(base.BackupCase):
    def setUp(self):
        super().setUp()
        for tool in ("mariadb-dump", "pg_dump"):
            self.tool(tool, "exec /usr/bin/%s \"$@\"" % tool)

    def run_backup(self, roots, etc):
        """A backup of roots with the readers looking for Debian's WordPress
        configurations in etc."""
        script, constant = base.SCRIPT, wordpress_etc_constant(base.SCRIPT)
        if constant:
            script = re.sub(rb"\n%s = .*\n" % constant.encode(), lambda _: b"\n%s = %s\n" % (
                constant.encode(), json.dumps(str(etc)).encode()), script, count=1)
        request = json.dumps({"paths": [str(root) for root in roots], "databases": [], "detect": True})
        command, data = base.launch([], script, request.encode())
        return base.start_program([b"/bin/sh", b"-c", command], data, env=dict(
            PATH=str(self.bin), TMPDIR=str(self.scratch), HOME=str(self.top)))

    def dump_text(self, entry):
        return dict((m.name, d) for m, d in self.members)[entry["member"]].decode("utf-8", "replace")

    def test_each_site_alone_gets_its_database_dumped(self):
        for system in SITES:
            with self.subTest(system=system):
                target = self.site / system
                root = install(system, target)
                self.backup(proc=self.run_backup([root], target / "etc" / "wordpress"))
                expected = expected_databases(system, target)
                dumps = self.manifest["dumps"]
                self.assertEqual([(d["engine"], d["database"], d["exit_status"]) for d in dumps],
                                 [(values[0], values[1], 0) for values, _ in expected])
                for entry, (_, sources) in zip(dumps, expected):
                    self.assertIn(entry["found_in"], sources)
                    self.assertIn(marker(system), self.dump_text(entry))
                self.assertEqual(self.manifest["missed_databases"], [])
                files = self.arc(*site_files(root))
                self.assertEqual([name for name in files if name in self.names], files)

    def test_all_sites_in_one_run_and_the_one_that_cannot_be_reached_is_named(self):
        targets = {system: self.site / system for system in SITES}
        for system, target in targets.items():
            install(system, target)
        broken = targets[BROKEN] / "configuration.php"
        text = broken.read_text()
        self.assertIn("Pa\\'ss#w$rd%42", text)
        broken.write_text(text.replace("Pa\\'ss#w$rd%42", "not the password"))
        proc = self.run_backup([self.site], targets["wordpress-debian"] / "etc" / "wordpress")
        self.backup(proc=proc)
        reached = sorted((d["engine"], d["database"]) for d in self.manifest["dumps"])
        self.assertEqual(reached, sorted((d["engine"], d["name"]) for system, site in SITES.items()
                                         for d in site["databases"] if system != BROKEN))
        for entry in self.manifest["dumps"]:
            system = [s for s, site in SITES.items() if site["databases"][0]["name"] == entry["database"]][0]
            self.assertIn(marker(system), self.dump_text(entry))
        missed = self.manifest["missed_databases"]
        self.assertEqual([(m["engine"], m["database"], m["found_in"]) for m in missed],
                         [("mysql", "site_joomla", str(broken))])
        self.assertIn("site_joomla", missed[0]["reason"])
        # Every file of every site is there, the broken site's included.
        files = self.arc(*site_files(self.site))
        self.assertEqual([name for name in files if name in self.names], files)


if __name__ == "__main__":
    unittest.main()
