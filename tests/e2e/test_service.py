"""Whole-process tests of the service role under Wine's own Service Control
Manager: the service reports its states, starts exactly one worker copy from
the cache folder, and that worker serves a whole update."""

import os
import shutil
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import worker_process as wp  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import wine_pids  # noqa: E402

WORKER_PATH = wp.CACHE_WINDOWS + "\\" + wp.WORKER_FILE
BLANK_DIR = os.path.join(wp.DRIVE_C, "Program Files", "kestrelGATE Client")
BLANK_EXE = r"C:\Program Files\kestrelGATE Client\kgclient_update.exe"
PLAIN_DIR = os.path.join(wp.DRIVE_C, "kgsvc")
PLAIN_EXE = r"C:\kgsvc\kgclient_update.exe"


def wine(*args, timeout=120):
    """Runs a program of the run's prefix (sc, reg, ...) through the build's wine-run."""
    out = subprocess.run([wp.WINE_RUN, *args], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, timeout=timeout)
    return out.returncode, out.stdout.decode("utf-8", "replace")


def processes(pattern):
    """Linux pids (and Windows command lines) of this run's Wine processes
    (those of its own prefix) whose command line holds pattern."""
    return wine_pids.prefix_processes(wp.PREFIX, pattern)


wait_until = wp.wait_until


def kill_workers():
    """Ends the worker copies of this run's prefix only, by their ids, and
    waits until they are gone."""
    for pid, _ in processes(wp.WORKER_FILE):
        try:
            os.kill(pid, 9)
        except ProcessLookupError:
            pass
    if not wait_until(lambda: not processes(wp.WORKER_FILE)):
        raise AssertionError("worker copies outlived their kill")


class Watch:
    """tools/service_watch following one service until it stops."""

    def __init__(self, name, seconds=60):
        self.path = os.path.join(wp.WORK, "e2e-watch-%s.out" % name)
        # Seen once in eight fresh runs: a watcher that never got past its
        # first calls to Wine's service manager (no "watching" after 60 s,
        # still running). A watcher that does not start in time is ended (by
        # its id) and another started; its output is kept for the failure.
        for attempt in (1, 2):
            self.out = open(self.path, "wb")
            self.process = subprocess.Popen(
                [wp.WINE_RUN, os.path.join(wp.TEST_BIN, "service_watch.exe"), name, str(seconds)],
                stdin=subprocess.DEVNULL, stdout=self.out, stderr=subprocess.STDOUT)
            if wait_until(lambda: b"watching" in self.output(), timeout=60 * attempt, step=0.1):
                return
            self.process.kill()
            self.process.wait()
            self.out.close()
        raise AssertionError("service_watch did not start: %r" % self.output())

    def output(self):
        with open(self.path, "rb") as f:
            return f.read()

    def lines(self, timeout=90):
        self.process.wait(timeout=timeout)
        self.out.close()
        return [line.strip() for line in self.output().decode().splitlines() if line.strip()]

    @staticmethod
    def check_sequence(test, states):
        """The reports the service made, as the service manager notified them:
        start pending first (check point 0, wait hint 3000, controls 0x84),
        stopped last. Wine's manager writes a start-pending record of its own
        (wait hint 0, controls 0) before the service runs; it is never
        notified, so it cannot stand in for the service's report. Running may
        come and go between two notifications; when seen, it accepts stop."""
        notes = [s[len("notified "):] for s in states if s.startswith("notified ")]
        test.assertTrue(notes, states)
        test.assertEqual(notes[0], "state=2 checkpoint=0 waithint=3000 controls=0x84", states)
        test.assertTrue(notes[-1].startswith("state=1 "), states)
        for running in (n for n in notes if n.startswith("state=4 ")):
            test.assertEqual(running, "state=4 checkpoint=0 waithint=0 controls=0x85")


SESSION_MANAGER = r"HKLM\System\CurrentControlSet\Control\Session Manager"

# A program's own library settings under Wine.
APP_DEFAULTS = r"HKCU\Software\Wine\AppDefaults\%s\DllOverrides"
# The stand-in library (tools/planted_library.cpp) and the marker it leaves.
PLANTED = os.path.join(wp.TEST_BIN, "planted", "version.dll")
MARKER = os.path.join(wp.DRIVE_C, "kg-planted-loaded.txt")


def pending_deletions_of(path):
    """How often PendingFileRenameOperations names path (as a source)."""
    _, output = wine("reg", "query", SESSION_MANAGER, "/v", "PendingFileRenameOperations")
    return output.count(path)


class ServiceTest(unittest.TestCase):
    def setUp(self):
        kill_workers()
        # Nothing reboots the prefix: earlier runs' entries would still be there.
        wine("reg", "delete", SESSION_MANAGER, "/v", "PendingFileRenameOperations", "/f")
        self.assertEqual(pending_deletions_of(WORKER_PATH), 0)
        shutil.rmtree(os.path.join(wp.DRIVE_C, "ProgramData", "kestrelGATE"), ignore_errors=True)
        for folder in (BLANK_DIR, PLAIN_DIR):
            os.makedirs(folder, exist_ok=True)
            shutil.copy(os.path.join(wp.BIN, "kgclient_update.exe"), folder)
        self.services = []

    def tearDown(self):
        for name in self.services:
            wine("sc", "stop", name)
            wine("sc", "delete", name)
        kill_workers()

    def create(self, name, command_line):
        # A run that was interrupted may have left it registered in the prefix.
        wine("sc", "delete", name)
        code, output = wine("sc", "create", name, "binPath=", command_line)
        self.assertEqual(code, 0, output)
        self.services.append(name)

    def wait_for_worker(self, timeout=60):
        return wait_until(lambda: processes(wp.WORKER_FILE), timeout)

    def test_a_service_run_starts_one_worker_that_serves_an_update(self):
        self.create("kgupdate", '"%s" -service' % BLANK_EXE)
        watch = Watch("kgupdate")
        code, output = wine("sc", "start", "kgupdate")
        self.assertEqual(code, 0, output)
        Watch.check_sequence(self, watch.lines())

        workers = self.wait_for_worker()
        self.assertEqual(len(workers), 1, workers)
        self.assertEqual(workers[0][1], WORKER_PATH, "the bare path is the whole command line")
        self.assertEqual(pending_deletions_of(WORKER_PATH), 1, "the copy is scheduled for deletion once")

        # A second start while the worker runs starts nothing.
        watch = Watch("kgupdate")
        wine("sc", "start", "kgupdate")
        Watch.check_sequence(self, watch.lines())
        # That run has ended (stopped was its last report): a worker it
        # started would be running now.
        self.assertIn("STOPPED", wine("sc", "query", "kgupdate")[1])
        self.assertEqual([pid for pid, _ in processes(wp.WORKER_FILE)], [workers[0][0]])
        # No second entry (Wine may process the list when its server restarts,
        # which can take the first one away; it never adds one).
        self.assertLessEqual(pending_deletions_of(WORKER_PATH), 1, "a reused worker is not copied again")

        # The worker serves a whole update.
        code, output = wp.run_tool("kgupdate-ctl.exe", "begin", "--url",
                                   "https://localhost/signed/installer-unsigned.exe?service", "--args", "--exit=0",
                                   "--wait")
        self.assertEqual(code, 0, output)
        self.assertIn("status: Completed", output)

    def test_a_process_named_like_the_worker_elsewhere_does_not_keep_the_worker_away(self):
        impostor_dir = os.path.join(wp.DRIVE_C, "kg-impostor")
        os.makedirs(impostor_dir, exist_ok=True)
        shutil.copy(os.path.join(wp.WORK, "www", "signed", "installer-unsigned.exe"),
                    os.path.join(impostor_dir, wp.WORKER_FILE))
        impostor = subprocess.Popen([wp.WINE_RUN, "C:\\kg-impostor\\" + wp.WORKER_FILE, "--sleep=60000"],
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
        try:
            self.assertTrue(wait_until(lambda: processes("kg-impostor")), "the impostor runs")
            self.create("kgupdate-impostor", '"%s" -service' % BLANK_EXE)
            code, output = wine("sc", "start", "kgupdate-impostor")
            self.assertEqual(code, 0, output)
            # One real worker, and only one, settles. Seen once in a fresh
            # run: its command line listed twice right after it appeared; a
            # second worker that stays still fails here.
            started = wait_until(lambda: [c for _, c in processes(WORKER_PATH)] == [WORKER_PATH])
            self.assertTrue(started, ("the real worker starts, once", processes(WORKER_PATH)))
        finally:
            impostor.kill()
            impostor.wait()
            shutil.rmtree(impostor_dir, ignore_errors=True)

    def test_a_library_planted_in_a_cache_folder_a_user_created_is_never_loaded(self):
        # Wine prefers its own copy of a system library; this override gives a
        # program the Windows search order (its own folder first).
        for program in (wp.WORKER_FILE, "kg-control.exe"):
            key = APP_DEFAULTS % program
            code, output = wine("reg", "add", key, "/v", "version", "/d", "native,builtin", "/f")
            self.assertEqual(code, 0, output)
            self.addCleanup(wine, "reg", "delete", key, "/f")
        if os.path.exists(MARKER):
            os.remove(MARKER)

        # Control: a program that imports VERSION statically, beside the
        # planted copy, loads it; the marker shows it.
        control_dir = os.path.join(wp.DRIVE_C, "kg-control")
        os.makedirs(control_dir, exist_ok=True)
        self.addCleanup(shutil.rmtree, control_dir, True)
        shutil.copy(os.path.join(wp.TEST_BIN, "host_tests.exe"), os.path.join(control_dir, "kg-control.exe"))
        shutil.copy(PLANTED, control_dir)
        subprocess.run([wp.WINE_RUN, r"C:\kg-control\kg-control.exe", "--gtest_list_tests"],
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=120)
        with open(MARKER) as f:
            self.assertIn("kg-control.exe", f.read(), "the planted copy is loaded where nothing stops it")
        os.remove(MARKER)

        # A user made the cache folder before the service, writable by everybody
        # (Wine shows that as an access list granting Everyone write), and put
        # the library there: the service moves the folder aside whole, makes a
        # new one, starts the worker from it, which never loads the library,
        # and the update works.
        os.makedirs(wp.CACHE)
        os.chmod(wp.CACHE, 0o777)
        shutil.copy(PLANTED, os.path.join(wp.CACHE, "version.dll"))
        self.create("kgupdate-planted", '"%s" -service' % BLANK_EXE)
        watch = Watch("kgupdate-planted")
        code, output = wine("sc", "start", "kgupdate-planted")
        self.assertEqual(code, 0, output)
        Watch.check_sequence(self, watch.lines())
        self.assertEqual(len(self.wait_for_worker()), 1)
        self.assertFalse(os.path.exists(os.path.join(wp.CACHE, "version.dll")))
        client = os.path.dirname(wp.CACHE)
        aside = [n for n in os.listdir(client) if n.startswith(os.path.basename(wp.CACHE) + ".foreign-")]
        self.assertEqual(len(aside), 1, os.listdir(client))
        self.assertTrue(os.path.exists(os.path.join(client, aside[0], "version.dll")), "moved whole")
        code, output = wp.run_tool("kgupdate-ctl.exe", "begin", "--url",
                                   "https://localhost/signed/installer-unsigned.exe?planted", "--args",
                                   "--exit=0", "--wait")
        self.assertEqual(code, 0, output)
        self.assertIn("status: Completed", output)
        self.assertFalse(os.path.exists(MARKER), "the worker never loaded the planted library")

    def test_an_unquoted_path_is_refused_by_the_parser_and_the_worker_still_starts(self):
        self.create("kgupdate-plain", "%s -service" % PLAIN_EXE)
        watch = Watch("kgupdate-plain")
        code, output = wine("sc", "start", "kgupdate-plain")
        self.assertEqual(code, 0, output)
        Watch.check_sequence(self, watch.lines())
        self.assertEqual(len(self.wait_for_worker()), 1)

    def test_debugwait_keeps_the_service_running_until_a_stop_control(self):
        self.create("kgupdate-debug", '"%s" -service -debugwait' % BLANK_EXE)
        watch = Watch("kgupdate-debug")
        code, output = wine("sc", "start", "kgupdate-debug")
        self.assertEqual(code, 0, output)
        # Running, and it stays there: waiting for a debugger, it starts no worker.
        self.assertTrue(wait_until(lambda: "RUNNING" in wine("sc", "query", "kgupdate-debug")[1], step=0.5),
                        "the service reports running")
        time.sleep(3)
        self.assertIn("RUNNING", wine("sc", "query", "kgupdate-debug")[1])
        self.assertEqual(processes(wp.WORKER_FILE), [], "no worker while waiting")
        code, output = wine("sc", "stop", "kgupdate-debug")
        states = watch.lines()
        Watch.check_sequence(self, states)
        # Seen by polling or by notification, whichever caught it.
        seen = [s[len("notified "):] if s.startswith("notified ") else s for s in states]
        self.assertIn("state=4 checkpoint=0 waithint=0 controls=0x85", seen)
        self.assertIn("state=3 checkpoint=1 waithint=0 controls=0x85", seen, "stop pending, next check point")
        wait_until(lambda: not processes("-debugwait"))
        self.assertEqual(processes("-debugwait"), [], "the service process ends")
        self.assertEqual(processes(wp.WORKER_FILE), [])

    def test_service_option_given_by_hand_ends_at_once(self):
        started = time.monotonic()
        code, output = wp.run_tool("kgclient_update.exe", "-service", timeout=120)
        self.assertEqual(code, 0, output)
        self.assertEqual(output.strip(), "", "a service process writes no text")
        # The dispatcher's refusal takes up to about 10 s under Wine; a
        # process that served instead would run until its 30-second idle check
        # (and print its INFO lines).
        self.assertLess(time.monotonic() - started, 30)
        self.assertEqual(processes(wp.WORKER_FILE), [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
