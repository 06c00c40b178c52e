"""Whole-process tests of the worker: kgclient_update.exe in command-line
mode under Wine, called over UpdateRPC by the control tool and by many
concurrent clients, downloading from the run's local HTTPS server."""

import os
import shutil
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import worker_process as wp  # noqa: E402

INSTALLER = "https://localhost/signed/installer-unsigned.exe"
# The worker ends at its first 30-second check with no update in progress.
CHECK = 30


def peak_kib(worker):
    """The peak resident memory (VmHWM) of the worker process this test started."""
    with open("/proc/%d/status" % worker.process.pid) as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    raise AssertionError("no VmHWM for the worker")


class WorkerTest(unittest.TestCase):
    def setUp(self):
        shutil.rmtree(os.path.join(wp.DRIVE_C, "ProgramData", "kestrelGATE"), ignore_errors=True)
        self.worker = None

    def tearDown(self):
        if self.worker:
            self.worker.kill()

    def test_successful_update_with_hostile_and_concurrent_clients(self):
        record = os.path.join(wp.DRIVE_C, "kg-e2e-installed.txt")
        if os.path.exists(record):
            os.remove(record)
        url = INSTALLER + "?e2e-success"
        args = r"--record=C:\kg-e2e-installed.txt --sleep=4000 --exit=0"
        self.worker = wp.Worker("success")
        wp.wait_until_serving()

        # No update yet: a query and an unknown instruction get a null response,
        # and every call completes.
        for request in (wp.QUERY, '{"id":"rebootNow"}', "this is not json", '{"id":'):
            counters = wp.load(1, request, calls=1)
            self.assertEqual((counters["errors"], counters["null"]), (0, 1), request)

        # Hostile texts leave it serving.
        big = os.path.join(wp.WORK, "e2e-1mb.json")
        with open(big, "w") as f:
            f.write('{"id":"queryAutoUpdateProgress","pad":"' + "x" * (1024 * 1024) + '"}')
        deep = os.path.join(wp.WORK, "e2e-deep.json")
        with open(deep, "w") as f:
            f.write('{"id":"queryAutoUpdateProgress","x":' + "[" * 100000 + "]" * 100000 + "}")
        unbalanced = os.path.join(wp.WORK, "e2e-unbalanced.json")
        with open(unbalanced, "w") as f:
            f.write('{"id":"beginAutoUpdate","data":' + "{\"a\":[" * 100000)
        # Longer than 64 KiB: refused before parsing, as unparseable texts are.
        just_over = os.path.join(wp.WORK, "e2e-64k-plus-1.json")
        with open(just_over, "w") as f:
            f.write('{"id":"queryAutoUpdateProgress","pad":"' + "x" * (65537 - 41) + '"}')
        huge = os.path.join(wp.WORK, "e2e-10mb.json")
        with open(huge, "w") as f:
            f.write('{"id":"queryAutoUpdateProgress","pad":"' + "x" * (10 * 1024 * 1024) + '"}')
        for path in (big, deep, unbalanced, just_over, huge):
            counters = wp.load(1, request_file=path, calls=1)
            self.assertEqual((counters["errors"], counters["null"]), (0, 1), path)
        self.assertEqual(wp.load(1, wp.QUERY, calls=1)["errors"], 0)

        # A burst of concurrent 1 MB requests: every call completes, the
        # worker keeps serving, and its memory stays bounded.
        idle_kib = peak_kib(self.worker)
        counters = wp.load(32, request_file=big, calls=4)
        self.assertEqual((counters["errors"], counters["null"]), (0, 128), counters)
        self.assertEqual(wp.load(1, wp.QUERY, calls=1)["errors"], 0)
        burst_kib = peak_kib(self.worker)
        print("worker peak working set: %d KiB before, %d KiB after 128 requests of 1 MB from 32 clients"
              % (idle_kib, burst_kib), file=sys.stderr)

        # 50 clients begin at once: exactly one update starts.
        counters = wp.load(50, wp.begin_request([url], args=args), calls=1)
        self.assertEqual(counters["errors"], 0)
        self.assertEqual(counters["status0"], 50, counters)

        # 100 clients query in a loop while it runs: valid statuses, in order.
        counters = wp.load(100, wp.QUERY, until_status=2)
        self.assertEqual((counters["errors"], counters["null"], counters["invalid"]), (0, 0, 0), counters)
        self.assertEqual(counters["order_violations"], 0, counters)
        self.assertGreater(counters["status1"], 0, counters)
        self.assertGreaterEqual(counters["status2"], 100, counters)

        # A later begin gets the final status; the process then ends by itself.
        counters = wp.load(1, wp.begin_request([INSTALLER + "?e2e-late"]), calls=1)
        self.assertEqual(counters["status2"], 1, counters)
        self.assertEqual(self.worker.wait(timeout=2 * CHECK + 30), 0)

        self.assertEqual(len([r for r in wp.server_requests("?e2e-success") if r[0] == 200]), 1)
        self.assertEqual(wp.server_requests("?e2e-late"), [])
        with open(record, encoding="utf-8") as f:
            self.assertEqual(f.read().count("commandline="), 1, "one installer run")
        self.assertEqual([n for n in os.listdir(wp.CACHE) if n.endswith(".exe")], [], "the cache is cleaned")

        lines = self.worker.lines()
        self.assertIn("  ERROR : Refusing an instruction of [65537] characters: at most [65536] are read", lines)
        self.assertIn("  ERROR : Refusing an instruction of [%d] characters: at most [65536] are read"
                      % (10 * 1024 * 1024 + 41), lines)
        self.assertEqual(len([l for l in lines if l.startswith("  ERROR : Refusing an instruction of [1048617]")]),
                         129, "the 1 MB text and the burst")
        self.assertIn("   INFO : kestrelGATE client auto update process triggered", lines)
        self.assertIn("   INFO : kestrelGATE client auto update process completed", lines)
        self.assertFalse(any(l.startswith(("  ENTER : ", "   EXIT : ", "VERBOSE : ")) for l in lines))

    def test_failed_update_with_verbose_console(self):
        url = "https://localhost/_/status=404/signed/e2e-missing.exe"
        self.worker = wp.Worker("failure", "-v")
        wp.wait_until_serving()
        counters = wp.load(1, wp.begin_request([url]), calls=1)
        self.assertEqual(counters["status0"], 1, counters)
        counters = wp.load(4, wp.QUERY, until_status=3)
        self.assertEqual((counters["errors"], counters["order_violations"]), (0, 0), counters)
        self.assertEqual(counters["status1"] + counters["status2"], 0, counters)
        counters = wp.load(1, wp.begin_request([INSTALLER]), calls=1)
        self.assertEqual(counters["status3"], 1, counters)
        self.assertEqual(self.worker.wait(timeout=2 * CHECK + 30), 0)

        lines = self.worker.lines()
        self.assertTrue(any(l.startswith("VERBOSE : Attempting download using the following url: [") for l in lines))
        self.assertIn("  ERROR : Update controller failed to download and validate binary.", lines)
        self.assertFalse(any(l.startswith(("  ENTER : ", "   EXIT : ")) for l in lines))
        self.assertNotIn("VERBOSE : Running as command line application", lines)

    def test_idle_worker_ends_after_one_check(self):
        self.worker = wp.Worker("idle")
        started = time.monotonic()
        self.assertEqual(self.worker.wait(timeout=CHECK + 30), 0)
        self.assertGreaterEqual(time.monotonic() - started, CHECK - 1)
        self.assertEqual(self.worker.lines(), [
            "   INFO : kestrelGATE client auto update process triggered",
            "   INFO : Querying work in progress...",
            "   INFO : kestrelGATE client auto update process completed",
        ])


if __name__ == "__main__":
    unittest.main(verbosity=2)
