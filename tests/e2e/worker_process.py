"""Helpers of the whole-process tests: kgclient_update.exe and its clients
under Wine, in the test run's prefix, against the run's local HTTPS server."""

import os
import re
import subprocess
import time

BUILD = os.environ["KG_BUILD_DIR"]
WORK = os.environ["KG_TEST_WORK_DIR"]
PREFIX = os.environ["KG_WINEPREFIX"]
BIN = os.path.join(BUILD, "bin")            # what ships: the service and kgupdate-ctl
TEST_BIN = os.path.join(BUILD, "test-bin")  # test programs, fixtures and tools


def program_path(name):
    """The full path of a program of the build, shipped or for tests."""
    shipped = os.path.join(BIN, name)
    return shipped if os.path.exists(shipped) else os.path.join(TEST_BIN, name)
WINE_RUN = os.path.join(BUILD, "wine-run")
DRIVE_C = os.path.join(PREFIX, "drive_c")


def _cache_layout():
    """The cache's names, read from the header the service is built with."""
    with open(os.path.join(os.path.dirname(__file__), "..", "..", "update", "cache_layout.h")) as f:
        text = f.read()
    levels = re.search(r"kCacheFolderLevels\[\] = \{([^}]*)\}", text).group(1)
    names = {name: re.search(r"%s\[\] = L\"([^\"]+)\"" % name, text).group(1)
             for name in ("kRunLogFolder", "kWorkerFileName")}
    return re.findall(r'L"([^"]+)"', levels), names


_LEVELS, _NAMES = _cache_layout()
CACHE = os.path.join(DRIVE_C, "ProgramData", *_LEVELS)
CACHE_WINDOWS = "C:\\ProgramData\\" + "\\".join(_LEVELS)
LOGS = os.path.join(CACHE, _NAMES["kRunLogFolder"])
WORKER_FILE = _NAMES["kWorkerFileName"]

QUERY = '{"id":"queryAutoUpdateProgress"}'


def begin_request(urls, hash_text="", args=""):
    import json
    return json.dumps({"id": "beginAutoUpdate", "data": {"urls": urls, "hash": hash_text, "args": args}},
                      separators=(",", ":"))


# The worker built with 10-second idle checks (tools/quick_timings.cpp): the
# same program otherwise. Tests that are not about the idle check itself run
# it, so that each wait for a worker's end is shorter.
QUICK_PROGRAM = "kgclient_update_quick.exe"
QUICK_CHECK = 10


class Worker:
    """The worker in command-line mode, its console sent to a file."""

    def __init__(self, name, *options, program=QUICK_PROGRAM):
        self.output_path = os.path.join(WORK, "e2e-%s.out" % name)
        self.output = open(self.output_path, "wb")
        self.process = subprocess.Popen([WINE_RUN, program_path(program), *options],
                                        cwd=TEST_BIN, stdin=subprocess.DEVNULL, stdout=self.output,
                                        stderr=subprocess.STDOUT)

    def wait(self, timeout):
        try:
            return self.process.wait(timeout=timeout)
        finally:
            self.output.close()

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.output.close()

    def lines(self):
        with open(self.output_path, "rb") as f:
            return f.read().decode("utf-8", "replace").splitlines()


def run_tool(*command, timeout=300):
    """Runs a Windows tool of the build; returns (exit code, its output)."""
    out_path = os.path.join(WORK, "e2e-tool.out")
    with open(out_path, "wb") as out:
        code = subprocess.run([WINE_RUN, program_path(command[0]), *command[1:]], cwd=TEST_BIN,
                              stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                              timeout=timeout).returncode
    with open(out_path, "rb") as f:
        return code, f.read().decode("utf-8", "replace")


def load(clients, request=None, request_file=None, **limits):
    """rpc_load with the given clients; returns its counters as a dict."""
    command = ["rpc_load.exe", "--clients", str(clients)]
    if request_file:
        command += ["--request-file", "Z:" + request_file]
    else:
        command += ["--request", request]
    for name, value in limits.items():
        command += ["--" + name.replace("_", "-"), str(value)]
    _, output = run_tool(*command)
    match = re.search(r"clients=.*", output)
    if not match:
        raise AssertionError("rpc_load printed no summary:\n" + output)
    counters = {}
    for field in match.group(0).split():
        key, _, value = field.partition("=")
        if key == "statuses":
            for pair in value.split(","):
                status, _, count = pair.partition(":")
                counters["status%s" % status] = int(count)
        elif key == "codes":
            # The failed calls by their RPC error code.
            counters["codes"] = {int(code): int(count) for code, _, count in
                                 (pair.partition(":") for pair in value.split(",") if value != "-")}
        else:
            counters[key] = float(value) if "." in value else int(value)
    return counters


def wait_until(condition, timeout=60, step=0.2):
    """Polls condition until it holds or timeout seconds have passed; returns
    its last value. The one way the whole-process tests wait for an event."""
    end = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() > end:
            return value
        time.sleep(step)


def wait_until_serving(deadline=60):
    """Waits until a query call completes (the endpoint is registered)."""
    if not wait_until(lambda: load(1, QUERY, calls=1)["errors"] == 0, timeout=deadline, step=0.5):
        raise AssertionError("the worker never served its endpoint")


def server_requests(path_part):
    """Requests the local HTTPS server served whose path holds path_part."""
    found = []
    with open(os.path.join(WORK, "requests.log")) as log:
        for line in log:
            port, status, sent, requested, path = line.rstrip("\n").split("\t", 4)
            if path_part in path:
                found.append((int(status), int(sent), requested, path))
    return found
