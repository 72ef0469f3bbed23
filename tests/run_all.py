#!/usr/bin/env python3
"""Runs every test suite and ends with one line "N passed, N failed".

Suites: the native unit tests, the same unit tests built with MinGW and run
under Wine, the server-side backup program run with the local python3, and
the end-to-end tests of the Windows program under Wine.
"""
import os
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "e2e"))

from harness.wine import WinePrefix, windows_path  # noqa: E402


def gtest_counts(xml_path):
    passed = failed = skipped = 0
    for case in ET.parse(xml_path).getroot().iter("testcase"):
        if case.find("failure") is not None or case.find("error") is not None:
            failed += 1
        elif case.find("skipped") is not None or case.get("result") == "skipped" or case.get("status") == "notrun":
            skipped += 1
        else:
            passed += 1
    return passed, failed, skipped


def run_gtest(name, command, xml_path, env=None):
    print(f"==> {name}", flush=True)
    result = subprocess.run(command, env=env)
    if not Path(xml_path).exists():
        print(f"{name}: no result file; exit code {result.returncode}")
        return 0, 1, 0
    passed, failed, skipped = gtest_counts(xml_path)
    if result.returncode != 0 and failed == 0:
        failed = 1  # the program failed outside any test
    print(f"{name}: {passed} passed, {failed} failed, {skipped} skipped", flush=True)
    return passed, failed, skipped


def run_native_unit_tests(work):
    env = dict(os.environ)
    # Keep the tests' local data directory out of the real home.
    env["XDG_DATA_HOME"] = str(work / "native-data-home")
    xml = work / "native.xml"
    return run_gtest("native unit tests", [str(REPO / "build/native/tesmora_unit_tests"), f"--gtest_output=xml:{xml}"],
                     xml, env)


def run_wine_unit_tests(work):
    wine = WinePrefix().ensure()
    xml = work / "wine.xml"
    command = ["wine", str(REPO / "build/windows/tesmora_unit_tests.exe"), f"--gtest_output=xml:{windows_path(xml)}"]
    return run_gtest("unit tests under Wine", command, xml, wine.env)


def run_python_tests(name, folder):
    print(f"==> {name}", flush=True)
    suite = unittest.defaultTestLoader.discover(str(folder), pattern="test_*.py", top_level_dir=str(folder))
    result = unittest.TextTestRunner(verbosity=2, stream=sys.stdout).run(suite)
    failed = len(result.failures) + len(result.errors) + len(result.unexpectedSuccesses)
    skipped = len(result.skipped)
    passed = result.testsRun - failed - skipped
    print(f"{name}: {passed} passed, {failed} failed, {skipped} skipped", flush=True)
    return passed, failed, skipped


def run_remote_program_tests(work):
    return run_python_tests("server-side program tests", REPO / "tests" / "remote")


def run_end_to_end_tests(work):
    return run_python_tests("end-to-end tests under Wine", REPO / "tests" / "e2e")


def main():
    totals = [0, 0, 0]
    with tempfile.TemporaryDirectory(prefix="tesmora-tests-") as tmp:
        work = Path(tmp)
        for suite in (run_native_unit_tests, run_wine_unit_tests, run_remote_program_tests, run_end_to_end_tests):
            for i, n in enumerate(suite(work)):
                totals[i] += n
    print(f"{totals[0]} passed, {totals[1]} failed, {totals[2]} skipped")
    return 0 if totals[1] == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
