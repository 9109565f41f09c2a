#!/usr/bin/python3
"""Runs a command under the process restrictions of a service unit that need no systemd:
SystemCallFilter= (groups expanded by systemd-analyze) with SystemCallErrorNumber=,
RestrictAddressFamilies=, NoNewPrivileges= and UMask=, so that a test shows the program runs
with what the unit sets. --mdwe adds what MemoryDenyWriteExecute= would forbid (PR_SET_MDWE).

Usage: service-sandbox.py [--mdwe] UNIT_FILE COMMAND [ARG...]
"""
import ctypes
import errno
import os
import socket
import subprocess
import sys

import seccomp


def unit_settings(path):
    settings = {}
    with open(path, encoding="utf-8") as unit:
        for line in unit:
            line = line.strip()
            if line and not line.startswith(("#", ";", "[")) and "=" in line:
                key, value = line.split("=", 1)
                settings.setdefault(key.strip(), []).append(value.strip())
    return settings


def expand(name, seen=None):
    """The system calls of a name: itself, or every member of a @group."""
    if not name.startswith("@"):
        return {name}
    seen = seen if seen is not None else set()
    if name in seen:
        return set()
    seen.add(name)
    out = subprocess.run(["systemd-analyze", "syscall-filter", name], check=True,
                         capture_output=True, text=True).stdout
    calls = set()
    for line in out.splitlines()[1:]:
        entry = line.strip()
        if entry and not entry.startswith("#"):
            calls |= expand(entry, seen)
    return calls


def syscall_filter(settings):
    allowed, denied = set(), set()
    for value in settings.get("SystemCallFilter", []):
        target = denied if value.startswith("~") else allowed
        for name in value.lstrip("~").split():
            target |= expand(name)
    return allowed - denied


def main(argv):
    mdwe = argv[:1] == ["--mdwe"]
    if mdwe:
        argv = argv[1:]
    if len(argv) < 2:
        sys.stderr.write(__doc__)
        return 2
    settings = unit_settings(argv[0])
    errno_name = settings.get("SystemCallErrorNumber", ["EPERM"])[-1]
    refuse = seccomp.ERRNO(getattr(errno, errno_name))
    rules = seccomp.SyscallFilter(defaction=refuse)
    families = [getattr(socket, f) for v in settings.get("RestrictAddressFamilies", []) for f in v.split()]
    for call in sorted(syscall_filter(settings)):
        if call == "socket" and families:
            continue
        try:
            rules.add_rule(seccomp.ALLOW, call)
        except (RuntimeError, ValueError, OSError):
            pass  # not a system call of this architecture
    for family in families:
        rules.add_rule(seccomp.ALLOW, "socket", seccomp.Arg(0, seccomp.EQ, int(family)))
    if "UMask" in settings:
        os.umask(int(settings["UMask"][-1], 8))
    if mdwe:
        pr_set_mdwe, refuse_exec_gain = 65, 1
        if ctypes.CDLL(None, use_errno=True).prctl(pr_set_mdwe, refuse_exec_gain, 0, 0, 0) != 0:
            sys.stderr.write(f"PR_SET_MDWE: {os.strerror(ctypes.get_errno())}\n")
            return 2
    rules.load()  # sets no_new_privs as NoNewPrivileges=yes does
    os.execvp(argv[1], argv[1:])
    return 127


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
