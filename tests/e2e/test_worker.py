"""Whole-process tests of the worker: kgclient_update.exe in command-line
mode under Wine, called over UpdateRPC by the control tool and by many
concurrent clients, downloading from the run's local HTTPS server."""

import json
import os
import re
import shutil
import subprocess
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


def read_to_end(terminal):
    """What a pseudo-terminal shows until the program on it has ended."""
    screen = b""
    while True:
        try:
            chunk = os.read(terminal, 4096)
        except OSError:
            break
        if not chunk:
            break
        screen += chunk
    return screen


class WorkerTest(unittest.TestCase):
    def setUp(self):
        shutil.rmtree(os.path.join(wp.DRIVE_C, "ProgramData", "kestrelGATE"), ignore_errors=True)
        self.worker = None

    def tearDown(self):
        if self.worker:
            self.worker.kill()

    def test_successful_update_with_hostile_and_concurrent_clients(self):
        record = os.path.join(wp.DRIVE_C, "kg-e2e-installed.txt")
        release = os.path.join(wp.DRIVE_C, "kg-e2e-release")
        for path in (record, release):
            if os.path.exists(path):
                os.remove(path)
        url = INSTALLER + "?e2e-success"
        # The installer runs until the test releases it: the update holds the
        # worker (which ends at an idle check) however long the hostile part takes.
        args = r"--record=C:\kg-e2e-installed.txt --wait-for=C:\kg-e2e-release --exit=0"
        self.worker = wp.Worker("success")
        wp.wait_until_serving()

        # No update yet: a query and an unknown instruction get a null response,
        # and every call completes.
        for request in (wp.QUERY, '{"id":"rebootNow"}', "this is not json", '{"id":'):
            counters = wp.load(1, request, calls=1)
            self.assertEqual((counters["errors"], counters["null"]), (0, 1), request)

        # 50 clients begin at once: exactly one update starts.
        counters = wp.load(50, wp.begin_request([url], args=args), calls=1)
        self.assertEqual(counters["errors"], 0)
        self.assertEqual(counters["status0"], 50, counters)

        # Hostile texts leave it serving; each is over 64 KiB, so it is
        # refused before parsing (no response), whatever the update's state.
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

        # A burst of concurrent 1 MB requests, over the run time's 1 MiB
        # request limit. On Windows the run time refuses each before the
        # worker sees it, and the caller gets an RPC error. Wine ignores the
        # limit: measured, it hands every call to the worker, which refuses
        # it unparsed, and the caller gets a null response (also with both
        # cores busy and 48 clients). The RPC errors seen before (1726 for
        # the calls in flight, 1722 for later ones) came from a worker that
        # ended at its idle check in the middle of the burst, which the update
        # held above now prevents. Asserted, as the product's contract: every
        # call ends, with a null response or an RPC error, within a bound; no
        # call gets an answer; the worker logs each instruction refused and
        # answers a plain query right after; its memory stays bounded.
        idle_kib = peak_kib(self.worker)
        counters = wp.load(32, request_file=big, calls=4)
        print("burst of 128 requests of 1 MB: %s" % counters, file=sys.stderr)
        self.assertEqual(counters["calls"], 128, counters)
        self.assertEqual(counters["errors"] + counters["null"], 128, counters)
        self.assertEqual(sum(counters["status%d" % s] for s in range(4)) + counters["invalid"], 0, counters)
        self.assertLess(counters["max_us"], 120e6, counters)
        self.assertEqual(wp.load(1, wp.QUERY, calls=1)["errors"], 0)
        burst_kib = peak_kib(self.worker)
        self.assertLess(burst_kib, idle_kib + 512 * 1024, "bounded by the call limit")
        print("worker peak working set: %d KiB before, %d KiB after 128 requests of 1 MB from 32 clients"
              % (idle_kib, burst_kib), file=sys.stderr)

        # 100 clients query while it installs, then in a loop until it has
        # completed: valid statuses, in order.
        self.assertEqual(wp.load(1, wp.QUERY, until_status=1)["status1"], 1, "installing")
        counters = wp.load(100, wp.QUERY, calls=1)
        self.assertEqual(counters["status1"], 100, counters)
        with open(release, "w"):
            pass
        counters = wp.load(100, wp.QUERY, until_status=2)
        self.assertEqual((counters["errors"], counters["null"], counters["invalid"]), (0, 0, 0), counters)
        self.assertEqual(counters["order_violations"], 0, counters)
        self.assertGreaterEqual(counters["status2"], 100, counters)

        # A later begin gets the final status; the process then ends by itself.
        counters = wp.load(1, wp.begin_request([INSTALLER + "?e2e-late"]), calls=1)
        self.assertEqual(counters["status2"], 1, counters)
        self.assertEqual(self.worker.wait(timeout=2 * CHECK + 60), 0)

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
        self.assertEqual(self.worker.wait(timeout=2 * CHECK + 60), 0)

        lines = self.worker.lines()
        self.assertTrue(any(l.startswith("VERBOSE : Attempting download using the following url: [") for l in lines))
        self.assertIn("  ERROR : Update controller failed to download and validate binary.", lines)
        self.assertFalse(any(l.startswith(("  ENTER : ", "   EXIT : ")) for l in lines))
        self.assertNotIn("VERBOSE : Running as command line application", lines)

    def test_progress_in_bytes_and_kgupdate_ctl_watch(self):
        installer = os.path.join(wp.WORK, "www", "signed", "installer-unsigned.exe")
        size = os.path.getsize(installer)
        with open(installer, "rb") as f:
            content = f.read()
        import hashlib
        digest = hashlib.sha256(content).hexdigest().upper()
        # A partial download from an earlier run: the update resumes it.
        os.makedirs(wp.CACHE, exist_ok=True)
        partial = 300000
        with open(os.path.join(wp.CACHE, digest + ".exe"), "wb") as f:
            f.write(content[:partial])
        self.worker = wp.Worker("progress")
        wp.wait_until_serving()
        url = "https://localhost/_/slow=60000/signed/installer-unsigned.exe?e2e-progress"
        counters = wp.load(1, wp.begin_request([url], digest, "--exit=0"), calls=1)
        self.assertEqual(counters["status0"], 1, counters)

        # Two watchers: one on a terminal (a pseudo-terminal), one piped to a file.
        import pty
        pid, terminal = pty.fork()
        if pid == 0:
            os.execv(wp.WINE_RUN, [wp.WINE_RUN, wp.program_path("kgupdate-ctl.exe"), "watch"])
        # A third one on a terminal is ended by Ctrl-C once it shows progress:
        # it stops following, the update goes on.
        interrupted_pid, interrupted_terminal = pty.fork()
        if interrupted_pid == 0:
            os.execv(wp.WINE_RUN, [wp.WINE_RUN, wp.program_path("kgupdate-ctl.exe"), "watch"])
        interrupted_screen = b""
        # Wine draws each character between terminal sequences: look past them.
        while b"Downloading" not in re.sub(rb"\x1b\[[0-9;?]*[A-Za-z]", b"", interrupted_screen):
            try:
                chunk = os.read(interrupted_terminal, 4096)
            except OSError:
                chunk = b""
            if not chunk:
                _, status = os.waitpid(interrupted_pid, 0)
                self.fail("the watcher ended (%d) before it showed progress: %r"
                          % (os.waitstatus_to_exitcode(status), interrupted_screen))
            interrupted_screen += chunk
        os.write(interrupted_terminal, b"\x03")
        interrupted_screen += read_to_end(interrupted_terminal)
        _, interrupted_status = os.waitpid(interrupted_pid, 0)
        self.assertEqual(os.waitstatus_to_exitcode(interrupted_status), 130, interrupted_screen)
        self.assertIn(b"stopped following;", re.sub(rb"\x1b\[[0-9;?]*[A-Za-z]", b"", interrupted_screen))
        piped_path = os.path.join(wp.WORK, "e2e-watch-piped.out")
        with open(piped_path, "wb") as piped_out:
            piped = subprocess.Popen([wp.WINE_RUN, wp.program_path("kgupdate-ctl.exe"), "watch"],
                                     cwd=wp.TEST_BIN, stdin=subprocess.DEVNULL, stdout=piped_out,
                                     stderr=subprocess.STDOUT)
            # Detailed queries while it downloads: never below the partial
            # size, never backwards, up to the file's size.
            seen = []
            end = time.monotonic() + 120
            while time.monotonic() < end:
                code, output = wp.run_tool("kgupdate-ctl.exe", "--json", "query", "--detail")
                answer = json.loads(output.strip())["data"]
                if answer["status"] != 0:
                    break
                seen.append((answer["received"], answer["total"]))
                time.sleep(0.3)
            self.assertEqual(piped.wait(timeout=120), 0)
        screen = read_to_end(terminal)
        _, status = os.waitpid(pid, 0)
        self.assertEqual(os.waitstatus_to_exitcode(status), 0, screen)

        self.assertTrue(seen, "queried while downloading")
        self.assertTrue(all(r >= partial for r, _ in seen), seen)
        self.assertTrue(all(t in (0, size) for _, t in seen), seen)
        self.assertEqual([r for r, _ in seen], sorted(r for r, _ in seen))
        self.assertTrue(any(partial < r < size for r, _ in seen), seen)
        code, output = wp.run_tool("kgupdate-ctl.exe", "--json", "query", "--detail")
        self.assertEqual(json.loads(output.strip())["data"], {"status": 2, "received": size, "total": size})
        code, output = wp.run_tool("kgupdate-ctl.exe", "--json", "query")
        self.assertEqual(output.replace("\r", ""), '{"data":{"status":2}}\n', "a plain query as before")
        code, output = wp.run_tool("kgupdate-ctl.exe", "query", "--detail")
        self.assertEqual((code, output.replace("\r", "")), (0, "status: Completed, %d of %d bytes\n" % (size, size)))
        served = [r for r in wp.server_requests("?e2e-progress")]
        self.assertIn("bytes=%d-" % partial, [r[2][:len("bytes=%d-" % partial)] for r in served], served)

        # The terminal saw one line redrawn in place up to 100 %; the pipe, plain lines.
        # Wine's console draws through terminal sequences: a cursor step right
        # stands for a blank; the others (cursor shown, line erased) draw nothing.
        text = screen.decode("utf-8", "replace")
        text = re.sub(r"\x1b\[(\d*)C", lambda m: " " * int(m.group(1) or 1), text)
        text = re.sub(r"\x1b\[[0-9;?]*[A-Za-z]", "", text)
        self.assertGreater(text.count("\rstatus: Downloading"), 3, "one line redrawn in place")
        self.assertIn("\rstatus: Downloading", text)
        self.assertIn("100%", text)
        self.assertIn("status: Completed", text)
        with open(piped_path, encoding="utf-8", errors="replace") as f:
            lines = f.read().replace("\r\n", "\n").split("\n")
        self.assertNotIn("\r", "".join(lines))
        self.assertIn("status: Downloading", lines)
        self.assertIn("status: Completed", lines)
        self.assertTrue(all(l.startswith(("status: ", "progress: ")) for l in lines if l), lines)
        self.assertEqual(self.worker.wait(timeout=2 * CHECK + 60), 0)

    def test_a_failed_update_says_why_and_its_log_keeps_the_end(self):
        """A 60 MB download with a wrong hash: the answer, kgupdate-ctl and the
        run log (every line timed, the hash ERROR and the summary at its end)
        all say why."""
        self.worker = wp.Worker("wrong-hash")
        wp.wait_until_serving()
        code, output = wp.run_tool("kgupdate-ctl.exe", "query")
        self.assertEqual((code, output.strip()), (2, "no update has begun in this worker"))
        code, output = wp.run_tool("kgupdate-ctl.exe", "--json", "query")
        self.assertEqual((code, output.strip()), (2, "null"))

        url = "https://localhost/gen/62914560/e2e-wrong-hash.exe?token=s3cret"
        wrong = "ab" * 32
        code, output = wp.run_tool("kgupdate-ctl.exe", "begin", "--url", url, "--hash", wrong, "--wait")
        self.assertEqual(code, 1, output)
        self.assertIn("kgupdate-ctl: the update failed at the hash check: The download's SHA-256 "
                      "digest is ", output)
        self.assertIn(", but the update request expects " + wrong.upper() + ".", output)
        code, output = wp.run_tool("kgupdate-ctl.exe", "--json", "query", "--detail")
        self.assertEqual(code, 1, output)
        answer = json.loads(output.splitlines()[0])["data"]
        self.assertEqual((answer["status"], answer["received"], answer["total"]), (3, 62914560, 62914560))
        self.assertEqual((answer["error"]["stage"], answer["error"]["code"]), ("hash", 0), answer)
        code, output = wp.run_tool("kgupdate-ctl.exe", "query")
        self.assertEqual(code, 1, output)
        self.assertTrue(output.startswith("status: Failed"), output)
        self.assertIn("the update failed at the hash check: The download's SHA-256 digest is ", output)
        # A second begin is not the one that runs, and says so.
        code, output = wp.run_tool("kgupdate-ctl.exe", "begin", "--url", url)
        self.assertEqual(code, 2, output)
        self.assertIn("the worker already has an update (status: Failed); this begin was ignored", output)
        self.assertEqual(self.worker.wait(timeout=2 * CHECK + 60), 0)

        logs = wp.LOGS
        newest = sorted(os.listdir(logs))[-1]
        with open(os.path.join(logs, newest), encoding="utf-8") as f:
            kept = f.read().splitlines()
        stamp = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z ")
        self.assertTrue(all(stamp.match(l) for l in kept), [l for l in kept if not stamp.match(l)][:3])
        self.assertLessEqual(os.path.getsize(os.path.join(logs, newest)), 1024 * 1024)
        untimed = [stamp.sub("", l) for l in kept]
        self.assertFalse(any(l.startswith(("   INFO : Read: ", "   INFO : Written: ")) for l in untimed))
        self.assertTrue(any(l.startswith("   INFO : Downloaded [") for l in untimed))
        self.assertIn("  ERROR : Binary has failed Sha256 validation check. Deleting invalid file.",
                      untimed[-25:])
        self.assertRegex(untimed[-1], r"^   INFO : Run summary: result \[Failed\], stage \[hash\], code \[0\], "
                                      r"bytes \[62914560\], seconds \[\d+\], queries \[\d+\], begun by \[[^\]]+ \(S-1-[-\d]+\)\], "
                                      r"url \[https://localhost/gen/62914560/"
                                      r"e2e-wrong-hash.exe\?token=\*\*\*\], reason \[The download's SHA-256 digest")
        self.assertNotIn("s3cret", "\n".join(kept))

        # With no worker: kgupdate-ctl says so, and shows the last run's summary.
        code, output = wp.run_tool("kgupdate-ctl.exe", "query")
        self.assertEqual(code, 3, output)
        self.assertIn("not reachable", output)
        self.assertIn("Run summary: result [Failed], stage [hash]", output)
        code, output = wp.run_tool("kgupdate-ctl.exe", "last")
        self.assertEqual(code, 1, output)
        self.assertIn(newest + ":", output)
        self.assertIn("Run summary: result [Failed], stage [hash]", output)

    def test_a_cache_folder_others_may_write_is_moved_aside_and_the_update_completes(self):
        """A cache folder that a user made before the service, writable by
        everybody (Wine shows that as an access list granting Everyone write),
        with a planted library in it: moved aside whole, a new folder made,
        and the update completes from it."""
        planted_folder = wp.CACHE
        os.makedirs(planted_folder)
        os.chmod(planted_folder, 0o777)
        with open(os.path.join(planted_folder, "version.dll"), "wb") as f:
            f.write(b"planted")
        self.worker = wp.Worker("foreign-cache")
        wp.wait_until_serving()
        code, output = wp.run_tool("kgupdate-ctl.exe", "begin", "--url", INSTALLER + "?e2e-foreign",
                                   "--args", "--exit=0", "--wait")
        self.assertEqual(code, 0, output)
        client = os.path.dirname(wp.CACHE)
        aside = [n for n in os.listdir(client) if n.startswith(os.path.basename(wp.CACHE) + ".foreign-")]
        self.assertEqual(len(aside), 1, os.listdir(client))
        with open(os.path.join(client, aside[0], "version.dll"), "rb") as f:
            self.assertEqual(f.read(), b"planted")
        self.assertFalse(os.path.exists(os.path.join(wp.CACHE, "version.dll")))
        self.assertEqual(self.worker.wait(timeout=2 * CHECK + 60), 0)
        moved = [l for l in self.worker.lines() if "is not the service's own" in l]
        self.assertTrue(moved and moved[0].startswith("WARNING : The cache folder ["), self.worker.lines())

    def test_policy_key_and_the_caller_of_a_begin(self):
        """Administrators' policy in the registry: kgupdate-ctl policy shows it,
        a begin naming no allowed host is refused before any request, and the
        worker logs who began the update (under Wine: an administrator)."""
        key = r"HKLM\SOFTWARE\Policies\kestrelGATE\Client\AutoUpdate"

        def reg(*arguments):
            with open(os.devnull, "wb") as sink:
                code = subprocess.run([wp.WINE_RUN, "reg", *arguments], stdin=subprocess.DEVNULL,
                                      stdout=sink, stderr=sink, timeout=120).returncode
            return code

        self.addCleanup(reg, "delete", key, "/f")
        code, output = wp.run_tool("kgupdate-ctl.exe", "policy")
        self.assertEqual(code, 0, output)
        self.assertIn("not present: no update is restricted by policy; administrators may pass any "
                      "installer arguments", output)

        self.assertEqual(reg("add", key, "/v", "AllowedHosts", "/t", "REG_MULTI_SZ", "/d",
                             r"updates.invalid\0mirror.invalid", "/f"), 0)
        self.assertEqual(reg("add", key, "/v", "AllowedArguments", "/t", "REG_MULTI_SZ", "/d",
                             "/passive", "/f"), 0)
        code, output = wp.run_tool("kgupdate-ctl.exe", "policy")
        output = output.replace("\r", "")
        self.assertEqual(code, 0, output)
        self.assertIn('  AllowedHosts: "updates.invalid", "mirror.invalid"\n', output)
        self.assertIn('(callers that are not administrators): "/passive"\n', output)
        self.assertIn("  UpdatesDisabled: no\n", output)

        self.worker = wp.Worker("policy")
        wp.wait_until_serving()
        code, output = wp.run_tool("kgupdate-ctl.exe", "begin", "--url", INSTALLER + "?e2e-policy",
                                   "--wait")
        self.assertEqual(code, 1, output)
        self.assertIn("No URL of the request names a host that policy allows", output)
        self.assertEqual(wp.server_requests("e2e-policy"), [])
        self.assertEqual(self.worker.wait(timeout=2 * CHECK + 60), 0)
        # Refused before any request: the begin is named with its caller, and
        # it started no update.
        lines = self.worker.lines()
        self.assertFalse([l for l in lines if "Update begun by" in l], lines)
        refused = [l for l in lines if l.startswith("   INFO : Begin from [")]
        self.assertEqual(len(refused), 1, lines)
        self.assertRegex(refused[0], r"^   INFO : Begin from \[[^\]]+\] \(\[S-1-5-[-\d]+\]\), "
                                     r"process \[\d+\] \[[^\]]*kgupdate-ctl\.exe\], administrator \[yes\] "
                                     r"refused before any download; no update is started$")
        self.assertIn("WARNING : URL refused by policy: its host [localhost] is not among the allowed "
                      "hosts: [" + INSTALLER + "?e2e-policy]", self.worker.lines())

        self.assertEqual(reg("add", key, "/v", "UpdatesDisabled", "/t", "REG_DWORD", "/d", "1", "/f"), 0)
        code, output = wp.run_tool("kgupdate-ctl.exe", "policy")
        self.assertEqual(code, 0, output)
        self.assertIn("  UpdatesDisabled: 1 (no update runs)", output)

    def test_what_an_installer_leaves_in_its_working_folder_stops_no_later_update(self):
        """An installer that writes its log into its working folder (the cache
        folder), and an administrator's folder there: both stay, and the next
        worker on the machine carries out its update."""
        for run in ("first", "second"):
            self.worker = wp.Worker("stray-" + run)
            wp.wait_until_serving()
            code, output = wp.run_tool("kgupdate-ctl.exe", "begin", "--url",
                                       INSTALLER + "?e2e-stray-" + run, "--args",
                                       "--leave=setup-%s.log --exit=0" % run, "--wait")
            self.assertEqual(code, 0, output)
            self.assertEqual(self.worker.wait(timeout=2 * CHECK + 60), 0)
            self.assertTrue(os.path.isfile(os.path.join(wp.CACHE, "setup-%s.log" % run)),
                            os.listdir(wp.CACHE))
            if run == "first":
                os.makedirs(os.path.join(wp.CACHE, "admin-notes"))
        self.assertTrue(os.path.isfile(os.path.join(wp.CACHE, "setup-first.log")))
        self.assertTrue(os.path.isdir(os.path.join(wp.CACHE, "admin-notes")))
        self.assertFalse([l for l in self.worker.lines() if "ERROR" in l and "cache" in l],
                         self.worker.lines())

    def test_allow_downgrade_lets_an_administrator_roll_back(self):
        """With AllowDowngrade set (through reg add), a signed worker installs
        an older signed release of its product for an administrator (every
        caller under Wine); its log names both versions."""
        key = r"HKLM\SOFTWARE\Policies\kestrelGATE\Client\AutoUpdate"
        self.addCleanup(self.reg, "delete", key, "/f")
        self.assertEqual(self.reg("add", key, "/v", "AllowDowngrade", "/t", "REG_DWORD", "/d", "1",
                                  "/f"), 0)
        code, output = wp.run_tool("kgupdate-ctl.exe", "policy")
        self.assertEqual(code, 0, output)
        self.assertIn("AllowDowngrade (administrators): 1 (older releases may be installed)", output)

        # The service signed like the releases, so that the release rules apply.
        signed = os.path.join(wp.WORK, "signed-worker")
        os.makedirs(signed, exist_ok=True)
        program = os.path.join(signed, "kgclient_update.exe")
        shutil.copy(os.path.join(wp.WORK, "www", "signed", "service-signed.exe"), program)
        self.worker = wp.Worker("downgrade", program=program)
        wp.wait_until_serving()
        code, output = wp.run_tool("kgupdate-ctl.exe", "begin", "--url",
                                   "https://localhost/signed/installer-older.exe?e2e-downgrade",
                                   "--args", "--exit=0", "--wait")
        self.assertEqual(code, 0, output)
        self.assertEqual(self.worker.wait(timeout=2 * CHECK + 60), 0)
        older = [l for l in self.worker.lines() if l.startswith("WARNING : Installing an older release: [")]
        self.assertEqual(len(older), 1, self.worker.lines())
        self.assertRegex(older[0], r"\] is version \[0\.9\.0\.0\], the update service is version "
                                   r"\[1\.\d+\.\d+\.\d+\]; policy allows administrators")

    @staticmethod
    def reg(*arguments):
        with open(os.devnull, "wb") as sink:
            return subprocess.run([wp.WINE_RUN, "reg", *arguments], stdin=subprocess.DEVNULL,
                                  stdout=sink, stderr=sink, timeout=120).returncode

    def test_kgupdate_ctl_last_reads_only_the_workers_own_summary_line(self):
        """A request's text logged by the worker may hold the summary's marker:
        only a line that starts with it after the time stamp is a summary."""
        os.makedirs(wp.LOGS)
        stamp = "2026-12-10T15:48:00.123Z "
        planted = stamp + '   INFO : RPC Invoke: raw request: [{"id":"x","note":"   INFO : Run summary: ' \
                          'result [Completed], stage []"}]'
        real = stamp + "   INFO : Run summary: result [Failed], stage [hash], code [0], bytes [1], " \
                       "seconds [1], url [], reason [x]"
        with open(os.path.join(wp.LOGS, "20261210-154800Z-77.log"), "w", encoding="utf-8") as f:
            f.write(real + "\n" + planted + "\n")
        code, output = wp.run_tool("kgupdate-ctl.exe", "last")
        self.assertEqual(code, 1, output)
        self.assertIn("Run summary: result [Failed], stage [hash]", output)
        self.assertNotIn("result [Completed]", output)

    def test_kgupdate_ctl_usage_and_refusals(self):
        cases = [
            # arguments, exit code, a piece of what it prints
            (["--help"], 0, "exit codes:\n  0    the update completed"),
            (["-h"], 0, "  last\n"),
            (["/?"], 0, "  130  Ctrl-C while following"),
            (["frobnicate"], 4, 'unknown command "frobnicate"; the commands are begin, query, watch, '
                                "send, log, last, policy"),
            (["policy", "--all"], 4, "policy takes no options"),
            ([], 4, "no command given"),
            (["begin", "--url", "https://localhost/x.exe", "--hash", "abc"], 4,
             "--hash must be a SHA-256 digest: 64 hexadecimal digits (any case); nothing was sent"),
            (["begin", "--hash", "ab" * 32], 4, "begin needs at least one --url"),
            (["query", "--verbose"], 4, "query takes only --detail"),
            (["query"], 3, "not reachable"),
            (["--json", "watch"], 3, "not reachable"),
            (["last"], 2, "no run log in"),
        ]
        for arguments, expected, text in cases:
            code, output = wp.run_tool("kgupdate-ctl.exe", *arguments)
            output = output.replace("\r", "")
            self.assertEqual(code, expected, (arguments, output))
            self.assertIn(text, output, arguments)

    def test_idle_worker_ends_after_one_check_and_leaves_its_log_file(self):
        logs = wp.LOGS
        self.worker = wp.Worker("idle", program="kgclient_update.exe")
        started = time.monotonic()
        self.assertEqual(self.worker.wait(timeout=CHECK + 60), 0)
        self.assertGreaterEqual(time.monotonic() - started, CHECK - 1)
        lines = self.worker.lines()
        self.assertEqual(lines[-3:], [
            "   INFO : kestrelGATE client auto update process triggered",
            "   INFO : Querying work in progress...",
            "   INFO : kestrelGATE client auto update process completed",
        ])
        announced = [l for l in lines if l.startswith("   INFO : This run's log file: [")]
        self.assertEqual(len(announced), 1, lines)
        windows_path = announced[0][len("   INFO : This run's log file: ["):-1]
        name = windows_path.rsplit("\\", 1)[1]
        self.assertRegex(name, r"^\d{8}-\d{6}Z-\d+\.log$")
        with open(os.path.join(logs, name), encoding="utf-8") as f:
            kept = f.read().splitlines()
        # The file holds the run's INFO lines from its opening on, each after
        # its UTC time with milliseconds.
        stamp = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z ")
        self.assertTrue(all(stamp.match(l) for l in kept), kept)
        self.assertEqual([stamp.sub("", l) for l in kept[:-1]], lines[lines.index(announced[0]):])
        # The file alone ends with the run's summary.
        self.assertRegex(stamp.sub("", kept[-1]),
                         r"^   INFO : Run summary: result \[no update\], stage \[\], code \[0\], "
                         r"bytes \[0\], seconds \[\d+\], url \[\]$")

        # kgupdate-ctl log prints the newest run's file.
        code, output = wp.run_tool("kgupdate-ctl.exe", "log")
        self.assertEqual(code, 0, output)
        printed = output.replace("\r", "").splitlines()
        self.assertEqual(printed[0], "== " + windows_path)
        self.assertEqual(printed[1:], kept)


if __name__ == "__main__":
    unittest.main(verbosity=2)
