"""Whole-process tests of the package under Wine's own Windows Installer: the
MSI installs the programs, the service, the event source and the cache chain;
the installed service serves an update; installing it again or a newer one
leaves one product and one service; removing it takes everything but the
cache and its run logs."""

import glob
import os
import re
import shutil
import struct
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import worker_process as wp  # noqa: E402
from test_service import kill_workers, processes, wait_until, wine  # noqa: E402

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
PACKAGES = os.path.join(wp.WORK, "package")
PKI = os.path.join(wp.WORK, "pki")
PROGRAM_DIR = os.path.join(wp.DRIVE_C, "Program Files", "kestrelGATE", "Client")
PROGRAM = r"C:\Program Files\kestrelGATE\Client\kgclient_update.exe"
CONTROL = r"C:\Program Files\kestrelGATE\Client\kgupdate-ctl.exe"
SERVICE_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services\kgupdate"
SOURCE_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\kestrelGATE Update"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
PRODUCT_NAME = "kestrelGATE Client Update Service"
SIGNED_INSTALLER = "https://localhost/signed/installer-signed.exe"


def build_version():
    with open(os.path.join(wp.BUILD, "generated", "kg_version.h")) as f:
        return re.search(r'KG_VERSION_TEXT "([0-9.]+)"', f.read()).group(1)


def make_package(version):
    """The package of the build's programs under `version`, signed like the
    run's signed fixtures (the test CA's "KESTRELGATE Client Release Signing")."""
    out = subprocess.run([os.path.join(TOP, "tools", "make-msi"), wp.BIN, version, PACKAGES,
                          "--cert", os.path.join(PKI, "sign-kestrelgate-chain.pem"),
                          "--key", os.path.join(PKI, "sign-kestrelgate.key")],
                         stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         timeout=120)
    if out.returncode != 0:
        raise AssertionError("make-msi failed:\n" + out.stdout.decode("utf-8", "replace"))
    return out.stdout.decode().strip().splitlines()[-1]


def msiexec(action, package, log_name):
    """wine msiexec ACTION PACKAGE /qn with a verbose log; (exit code, log text)."""
    log = os.path.join(wp.WORK, "e2e-msiexec-%s.log" % log_name)
    if os.path.exists(log):
        os.remove(log)
    code, _ = wine("msiexec", action, "Z:" + package.replace("/", "\\"), "/qn", "/l*v",
                   "Z:" + log.replace("/", "\\"), timeout=300)
    text = ""
    if os.path.exists(log):
        with open(log, "rb") as f:
            raw = f.read()
        text = raw.decode("utf-16" if raw[:2] == b"\xff\xfe" else "utf-8", "replace")
    return code, text


def step_results(log):
    """The results the Installer's log gives the installation step: once when
    it is scheduled, once when it runs (1: success; Windows writes 3 for a
    failure, Wine 0)."""
    return re.findall(r"Action ended [0-9:]+: KgPrepareUpdateCache\. Return value (\d+)\.", log)


def registry(key):
    """The values of a registry key as {name: (type, data)}; None when it is missing."""
    code, output = wine("reg", "query", key)
    if code != 0:
        return None
    values = {}
    for line in output.replace("\r", "").splitlines():
        match = re.match(r"^\s{4}(\S.*?)\s{4}(REG_\w+)\s{4}(.*)$", line)
        if match:
            values[match.group(1)] = (match.group(2), match.group(3))
    return values


def installed_product_codes():
    """{product code: version} of the products of this name the prefix's Installer registered."""
    code, output = wine("reg", "query", UNINSTALL_KEY)
    found = {}
    for key in re.findall(r"^(HKEY_LOCAL_MACHINE\\.*\\(\{[0-9A-F-]+\}))\s*$", output.replace("\r", ""), re.M):
        values = registry(key[0]) or {}
        if values.get("DisplayName", ("", ""))[1] == PRODUCT_NAME:
            found[key[1]] = values.get("DisplayVersion", ("", ""))[1]
    return found


def installed_products():
    """The versions of the products of this name installed in the prefix."""
    return sorted(installed_product_codes().values())


def section_names(path):
    """The section names of a PE file, long names (/NNN) read from its string table."""
    with open(path, "rb") as f:
        data = f.read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    sections = struct.unpack_from("<H", data, pe + 6)[0]
    symbols, count, optional = struct.unpack_from("<IIH", data, pe + 12)
    table = pe + 24 + optional
    names = []
    for i in range(sections):
        raw = data[table + 40 * i:table + 40 * i + 8].rstrip(b"\0").decode()
        if raw.startswith("/") and symbols:
            start = symbols + 18 * count + int(raw[1:])
            raw = data[start:data.index(b"\0", start)].decode()
        names.append(raw)
    return names


def verifies(path):
    """osslsigncode's verdict on a file's Authenticode signature, against the run's test CA."""
    return subprocess.run(["osslsigncode", "verify", "-CAfile", os.path.join(PKI, "ca.pem"), "-in", path],
                          stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                          timeout=60).returncode == 0


class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.version = build_version()
        major, minor, patch, _ = cls.version.split(".")
        cls.newer_version = "%s.%s.%d.0" % (major, minor, int(patch) + 1)
        cls.package = make_package(cls.version)
        cls.newer = make_package(cls.newer_version)

    def setUp(self):
        kill_workers()
        self.remove_installed()
        shutil.rmtree(os.path.join(wp.DRIVE_C, "ProgramData", "kestrelGATE"), ignore_errors=True)
        self.addCleanup(self.remove_installed)
        self.addCleanup(kill_workers)

    @staticmethod
    def remove_installed():
        # A run that was interrupted may have left a release installed (of
        # a package built then: removed by its product code).
        for product in installed_product_codes():
            wine("msiexec", "/x", product, "/qn", timeout=300)

    def test_the_package_installs_serves_an_update_upgrades_and_is_removed(self):
        self.assertFalse(os.path.exists(wp.CACHE))
        code, log = msiexec("/i", self.package, "install")
        self.assertEqual(code, 0, log)

        # The files, signed and stripped.
        for name in ("kgclient_update.exe", "kgupdate-ctl.exe", os.path.join("policy", "kestrelGATE-AutoUpdate.admx"),
                     os.path.join("policy", "en-US", "kestrelGATE-AutoUpdate.adml")):
            self.assertTrue(os.path.isfile(os.path.join(PROGRAM_DIR, name)), name)
        for name in ("kgclient_update.exe", "kgupdate-ctl.exe"):
            path = os.path.join(PROGRAM_DIR, name)
            self.assertTrue(verifies(path), name + " is signed")
            sections = section_names(path)
            self.assertIn(".gnu_debuglink", sections)
            self.assertIn(".buildid", sections)
            self.assertFalse([s for s in sections if s.startswith(".debug")], sections)
        self.assertTrue(verifies(self.package), "the package is signed")

        # The service as README describes it (Wine's sc qc is not implemented).
        service = registry(SERVICE_KEY)
        self.assertIsNotNone(service, "the service is registered")
        self.assertEqual(service["Type"], ("REG_DWORD", "0x10"), "own process")
        self.assertEqual(service["Start"], ("REG_DWORD", "0x3"), "started on demand")
        self.assertEqual(service["ObjectName"][1], "LocalSystem")
        self.assertEqual(service["DisplayName"][1], "kestrelGATE Client Update Service")
        self.assertIn("kestrelGATE client", service["Description"][1])
        # Wine writes the path without quotes; Windows' Installer quotes it.
        self.assertEqual(service["ImagePath"][1].replace('"', ""), PROGRAM + " -service")

        # The event source names the installed program's message table.
        source = registry(SOURCE_KEY)
        self.assertIsNotNone(source, "the event source is registered")
        self.assertEqual(source["EventMessageFile"], ("REG_EXPAND_SZ", PROGRAM))
        self.assertEqual(source["TypesSupported"], ("REG_DWORD", "0x7"))

        # The installation step made the cache chain (what it passed to the
        # file system is checked by the unit tests: Wine keeps no access lists).
        self.assertEqual(set(step_results(log)), {"1"}, "the step ran and succeeded")
        self.assertTrue(os.path.isdir(wp.CACHE))

        # The installed service, started on demand, serves an update.
        code, output = wine("sc", "start", "kgupdate")
        self.assertEqual(code, 0, output)
        self.assertTrue(wait_until(lambda: processes(wp.WORKER_FILE)), "the service starts the worker")
        wp.wait_until_serving()
        hash_text = self.digest(os.path.join(wp.WORK, "www", "signed", "installer-signed.exe"))
        code, output = self.control("begin", "--url", SIGNED_INSTALLER + "?package", "--hash", hash_text,
                                    "--args", "--exit=0", "--wait")
        self.assertEqual(code, 0, output)
        self.assertIn("status: Completed", output)
        # INFO lines reach the run's file together, at least every second.
        self.assertTrue(wait_until(lambda: "Completed upgrade" in self.newest_run_log()))
        self.assertNotIn("is not registered", self.newest_run_log(),
                         "the worker finds the installed event source")
        kill_workers()

        # Installing it again, or a newer release, leaves one product and one service.
        code, log = msiexec("/i", self.package, "again")
        self.assertEqual(code, 0, log)
        self.assertEqual(installed_products(), [self.version])
        code, log = msiexec("/i", self.newer, "newer")
        self.assertEqual(code, 0, log)
        self.assertEqual(installed_products(), [self.newer_version])
        self.assertIsNotNone(registry(SERVICE_KEY), "the newer release's service")
        self.assertIsNotNone(registry(SOURCE_KEY))
        self.assertTrue(os.path.isfile(os.path.join(PROGRAM_DIR, "kgclient_update.exe")))
        # An older release refuses to replace it.
        code, log = msiexec("/i", self.package, "older")
        self.assertNotEqual(code, 0, "an older package does not install over a newer one")
        self.assertEqual(installed_products(), [self.newer_version])

        # Removal takes the service, the programs and the event source, and
        # leaves the cache and its run logs.
        logs_before = sorted(os.listdir(wp.LOGS))
        code, log = msiexec("/x", self.newer, "remove")
        self.assertEqual(code, 0, log)
        self.assertEqual(installed_products(), [])
        self.assertIsNone(registry(SERVICE_KEY), "the service is deleted")
        self.assertIsNone(registry(SOURCE_KEY), "the event source is removed")
        self.assertFalse(os.path.exists(os.path.join(PROGRAM_DIR, "kgclient_update.exe")))
        self.assertFalse(os.path.exists(os.path.join(PROGRAM_DIR, "policy")))
        self.assertTrue(os.path.isdir(wp.CACHE), "the cache stays")
        self.assertEqual(sorted(os.listdir(wp.LOGS)), logs_before, "its run logs stay")

    def test_a_cache_folder_a_user_made_first_fails_the_installation(self):
        # Writable by everybody: Wine shows an access list that grants Everyone
        # write, as for a folder a user made. It is not taken over.
        company = os.path.join(wp.DRIVE_C, "ProgramData", "kestrelGATE")
        os.makedirs(company)
        os.chmod(company, 0o777)
        code, log = msiexec("/i", self.package, "refused")
        self.assertNotEqual(code, 0, log)
        self.assertTrue(set(step_results(log)) - {"1"}, "the step failed: %s" % step_results(log))
        # Rolled back: nothing of the package stays.
        self.assertEqual(installed_products(), [])
        self.assertIsNone(registry(SERVICE_KEY))
        self.assertFalse(os.path.exists(os.path.join(PROGRAM_DIR, "kgclient_update.exe")))
        self.assertEqual(os.listdir(company), [], "nothing was made below the folder")

    def test_the_installation_step_runs_the_installed_program_as_the_service_account(self):
        # Wine runs every process as one account; the package's own tables say
        # how Windows runs the step: deferred, not impersonating (so as
        # LocalSystem), after the files are in place, with the run option.
        tables = {}
        for table in ("CustomAction", "InstallExecuteSequence"):
            out = subprocess.run(["msiinfo", "export", self.package, table], stdout=subprocess.PIPE,
                                 stdin=subprocess.DEVNULL, timeout=60, check=True)
            tables[table] = [line.split("\t") for line in out.stdout.decode().replace("\r", "").splitlines()[3:]]
        action = [row for row in tables["CustomAction"] if row[0] == "KgPrepareUpdateCache"]
        self.assertEqual(len(action), 1, tables["CustomAction"])
        kind = int(action[0][1])
        self.assertEqual(kind & 0x3F, 18, "runs an installed file")
        self.assertTrue(kind & 0x400, "deferred")
        self.assertTrue(kind & 0x800, "not impersonated")
        self.assertEqual(action[0][2:4], ["kgclient_update.exe", "-preparecache"])
        sequence = {row[0]: (row[1], int(row[2])) for row in tables["InstallExecuteSequence"]}
        step = sequence["KgPrepareUpdateCache"]
        self.assertEqual(step[0], 'NOT REMOVE="ALL"', "not at removal")
        self.assertLess(sequence["InstallFiles"][1], step[1])
        self.assertLess(sequence["WriteRegistryValues"][1], step[1])
        self.assertLess(step[1], sequence["InstallFinalize"][1])

    @staticmethod
    def digest(path):
        import hashlib
        with open(path, "rb") as f:
            return hashlib.sha256(f.read()).hexdigest().upper()

    @staticmethod
    def control(*arguments):
        out = subprocess.run([wp.WINE_RUN, CONTROL, *arguments], cwd=wp.WORK, stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300)
        return out.returncode, out.stdout.decode("utf-8", "replace").replace("\r", "")

    @staticmethod
    def newest_run_log():
        newest = sorted(glob.glob(os.path.join(wp.LOGS, "*.log")))[-1]
        with open(newest, "rb") as f:
            return f.read().decode("utf-8", "replace")


if __name__ == "__main__":
    unittest.main(verbosity=2)
