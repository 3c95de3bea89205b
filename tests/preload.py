"""A preload that makes the system calls of publication fail, and the processes that publish
under it: the module resolving a file secret, or the command line's publish_file."""

from __future__ import annotations

import errno
import json
import os
import re
import signal
import subprocess
import sys
from pathlib import Path

import support

# Fails chosen calls (FAULTS=" call=errno ..."), logging publication's calls to SHIM_LOG ("call!"
# when failed); writes and a directory's fsync ("dirsync") are failed, and logged, only in
# FAULT_DIR, since a process writes a lot.
# With " signal=N", a call failed with EINTR raises N first, once; later calls go through. With STALL set,
# it creates that file and stops at a large write. With " late=N", the first write in FAULT_DIR
# succeeds and then raises N: a signal that lands while the data goes out.
SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#define REAL(f) ((__typeof__(&f))dlsym(RTLD_NEXT, #f))
#define TMPFILE (020000000 | 0200000)

static int configured(const char *call) {
    char key[32];
    const char *faults = getenv("FAULTS");
    snprintf(key, sizeof key, " %s=", call);
    const char *hit = faults ? strstr(faults, key) : NULL;
    return hit ? atoi(hit + strlen(key)) : 0;
}
static int fails_as(const char *call, int err) {
    static int signalled;
    int sig = configured("signal");
    if (err == EINTR && sig && signalled++)
        err = 0; /* interrupted once */
    else if (err == EINTR && sig)
        raise(sig);
    FILE *log = fopen(getenv("SHIM_LOG"), "a");
    fprintf(log, "%s%s\n", call, err ? "!" : "");
    fclose(log);
    return errno = err;
}
static int fails(const char *call) { return fails_as(call, configured(call)); }
static int fails_in_dir(const char *call, int fd) {
    char link[64], target[PATH_MAX];
    const char *dir = getenv("FAULT_DIR");
    int err = configured(call);
    if (!err || !dir)
        return 0;
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n < 0 || (target[n] = 0, strncmp(target, dir, strlen(dir)) != 0))
        return 0;
    return fails_as(call, err);
}
int open64(const char *path, int flags, unsigned mode) {
    return (flags & TMPFILE) == TMPFILE && fails("tmpfile") ? -1 : REAL(open64)(path, flags, mode);
}
int linkat(int a, const char *from, int b, const char *to, int flags) {
    return fails("linkat") ? -1 : REAL(linkat)(a, from, b, to, flags);
}
int link(const char *from, const char *to) { return fails("link") ? -1 : REAL(link)(from, to); }
int renameat2(int a, const char *from, int b, const char *to, unsigned flags) {
    return fails("renameat2") ? -1 : REAL(renameat2)(a, from, b, to, flags);
}
int rename(const char *from, const char *to) {
    return fails("rename") ? -1 : REAL(rename)(from, to);
}
int fsync(int fd) {
    struct stat st;
    int dir = fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
    return dir && fails_in_dir("dirsync", fd) ? -1 : REAL(fsync)(fd);
}
static int in_dir(int fd) {
    char link[64], target[PATH_MAX];
    const char *dir = getenv("FAULT_DIR");
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = dir ? readlink(link, target, sizeof target - 1) : -1;
    return n >= 0 && (target[n] = 0, strncmp(target, dir, strlen(dir)) == 0);
}
ssize_t write(int fd, const void *data, size_t size) {
    static int late_raised;
    const char *stall = getenv("STALL");
    int late = configured("late");
    if (stall && size >= 1 << 20 && fclose(fopen(stall, "w")) == 0)
        for (;;) pause();
    if (fails_in_dir("write", fd))
        return -1;
    ssize_t done = REAL(write)(fd, data, size);
    if (late && !late_raised && in_dir(fd))
        late_raised = 1, raise(late);
    return done;
}
"""

# Publishes json.loads(argv[3]) * int(argv[4]) as "pw" in the directory argv[2], as argv[1] does
# it: "module" resolves a file secret, blind to a file in place as when another process publishes
# first; "cli" calls publish_file, replacing a file with argv[5] == "1". Prints the path or the
# error as JSON.
PUBLISHER = """
import json, os, sys
from types import SimpleNamespace

user, directory, value, repeat, replace = sys.argv[1:6]
value = json.loads(value) * int(repeat)
try:
    if user == "module":
        from kuv_secrets import secrets

        class Probe(secrets.Secrets):
            @classmethod
            def load(cls, secret_id):
                return SimpleNamespace(
                    encrypted_secret="t", is_file=True, file_path=directory, file_name="pw")

            @classmethod
            def decrypt(cls, data, key):
                return value

        secrets.os = SimpleNamespace(path=SimpleNamespace(join=os.path.join, exists=lambda p: False))
        print(json.dumps({"path": Probe.get_secret_from_id("id")}))
    else:
        from kuv_secrets.files.publish import publish_file

        path = os.path.join(directory, "pw")
        publish_file(path, value.encode(), replace == "1")
        print(json.dumps({"path": path}))
except BaseException as exc:
    print(json.dumps({"error": type(exc).__name__, "message": str(exc)}))
"""


def build(folder: Path) -> Path:
    (folder / "shim.c").write_text(SHIM)
    cc = ["cc", "-shared", "-fPIC", "-O1", "-o", "shim.so", "shim.c", "-ldl"]
    subprocess.run(cc, cwd=folder, check=True)
    return folder / "shim.so"


def faults(given: str) -> str:
    """FAULTS for "call=ENAME ... signal=SIGNAME"."""
    number = {**vars(errno), **{s.name: s.value for s in signal.Signals}}
    return " " + re.sub(r"[A-Z]+", lambda m: str(number[m[0]]), given)


def environment(shim: Path, **env: str) -> dict[str, str]:
    environ = {k: v for k, v in os.environ.items() if not k.startswith("KUV_")}
    # The sanitizer run preloads its runtimes; they must stay first.
    environ["LD_PRELOAD"] = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(shim)]))
    # No byte code written on import: its rename would be logged.
    environ.update(PYTHONDONTWRITEBYTECODE="1", FAULTS=" ", SHIM_LOG=os.devnull)
    environ.update(env)
    return environ


def publisher(
    shim: Path,
    directory: Path,
    value: str,
    repeat: int = 1,
    *,
    user: str = "module",
    replace: bool = False,
    **env: str,
) -> subprocess.Popen[str]:
    argv = [sys.executable, "-c", PUBLISHER, user, str(directory), json.dumps(value)]
    argv += [str(repeat), "1" if replace else "0"]
    environ = environment(
        shim, PYTHONPATH=str(support.FAKE_FRAMEWORK), FAULT_DIR=str(directory), **env
    )
    return subprocess.Popen(
        argv, env=environ, stdout=subprocess.PIPE, text=True, preexec_fn=support.default_signals
    )
