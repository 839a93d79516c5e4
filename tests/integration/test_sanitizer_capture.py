"""The capture of sanitizer reports that makes a server's finding fail its
test: small faulty programs built with each sanitizer write their reports
where the server fixture looks, and the fixture's stop fails on them.
Without this, a wrong option name would silently hide every finding."""

import os
import shutil
import subprocess

import pytest

from torvane import TorvaneServer, sanitizer_env, sanitizer_reports

OOB_READ = r"""
#include <cstdlib>
int main(int argc, char**) {
  int* a = static_cast<int*>(malloc(4 * sizeof(int)));
  int v = a[argc + 3];  // one past the end
  free(a);
  return v == 12345;
}
"""

SIGNED_OVERFLOW = r"""
#include <climits>
int main(int argc, char**) { int v = INT_MAX - 1 + argc; return v + argc > 0; }
"""

DATA_RACE = r"""
#include <thread>
int shared = 0;
int main() {
  std::thread t([] { for (int i = 0; i < 1000; ++i) ++shared; });
  for (int i = 0; i < 1000; ++i) ++shared;
  t.join();
  return shared == 0;
}
"""


def build_and_run(tmp_path, source, sanitizer):
    compiler = shutil.which("g++")
    if compiler is None:
        pytest.skip("g++ is not installed")
    src = tmp_path / "faulty.cpp"
    src.write_text(source)
    exe = tmp_path / "faulty"
    subprocess.run([compiler, "-g", "-O0", f"-fsanitize={sanitizer}",
                    "-fno-sanitize-recover=all", str(src), "-o", str(exe)],
                   check=True, timeout=120)
    logs = tmp_path / "logs"
    logs.mkdir()
    env = dict(os.environ)
    env.update(sanitizer_env(str(logs)))
    run = subprocess.run([str(exe)], env=env, capture_output=True, text=True, timeout=60)
    return run, str(logs)


@pytest.mark.parametrize("source,sanitizer,finding,in_file", [
    (OOB_READ, "address,undefined", "heap-buffer-overflow", True),
    # GCC's UBSan beside ASan writes to standard error whatever log_path says.
    (SIGNED_OVERFLOW, "address,undefined", "signed integer overflow", False),
    (DATA_RACE, "thread", "data race", True),
], ids=["asan", "ubsan", "tsan"])
def test_each_sanitizer_report_is_found(tmp_path, source, sanitizer, finding, in_file):
    run, logs = build_and_run(tmp_path, source, sanitizer)
    assert run.returncode != 0
    assert finding in sanitizer_reports(logs, run.stderr), (run.returncode, run.stderr)
    if in_file:
        assert finding in sanitizer_reports(logs)
    # A clean standard error is no report.
    assert sanitizer_reports(str(tmp_path / "none"), "check socket WSAGetLastError() = 98\n") == ""


def test_stop_fails_on_a_report_and_still_cleans_up(tmp_path):
    workdir = tmp_path / "srv"
    workdir.mkdir()
    (workdir / "sanitizer.4242").write_text("==4242==ERROR: AddressSanitizer: planted\n")
    server = TorvaneServer(lab=None, ns=None, workdir=str(workdir))
    with pytest.raises(AssertionError, match="AddressSanitizer: planted"):
        server.stop()
    assert not workdir.exists()

    quiet = tmp_path / "quiet"
    quiet.mkdir()
    (quiet / "sanitizer.1").write_text("")  # an empty file is no report
    TorvaneServer(lab=None, ns=None, workdir=str(quiet)).stop()

    ubsan = TorvaneServer(lab=None, ns=None, workdir=str(tmp_path / "ubsan"))
    ubsan.errors.append("x.cpp:3:5: runtime error: load of misaligned address\n")
    with pytest.raises(AssertionError, match="misaligned"):
        ubsan.stop()
