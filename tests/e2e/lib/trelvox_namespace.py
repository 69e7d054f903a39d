"""A private world for the suites that touch fixed paths: the script runs
again in new namespaces (mount, and on request network and host name), where
/var is a fresh tmpfs and /dev a tmpfs with only the few devices the
programs use. Nothing on the machine is touched; when the namespaces cannot
be made, the scenario is skipped and says why."""

import os
import shutil
import subprocess
import sys

from trelvox_e2e import Skip

INSIDE = "TRELVOX_E2E_IN_NAMESPACE"


def run(*argv):
    result = subprocess.run(argv, capture_output=True, text=True)
    if result.returncode != 0:
        raise Skip(f"'{' '.join(argv)}' failed in the private namespace: {result.stderr.strip()}")


def make_namespace_world(stage, var_size="256m"):
    """Inside the fresh namespace: a tmpfs over /var with an empty
    /var/quenlab, an empty /run (where the service keeps its lock), and a
    tmpfs over /dev that keeps only the few devices the programs use."""
    run("mount", "--make-rprivate", "/")
    run("mount", "-t", "tmpfs", "-o", f"size={var_size},mode=755", "tmpfs", "/var")
    os.mkdir("/var/quenlab", 0o755)
    run("mount", "-t", "tmpfs", "-o", "mode=755", "tmpfs", "/run")
    # The devices are bound to a staging tmpfs before /dev is covered, then
    # bound again into the new /dev; the staging mount is then let go.
    run("mount", "-t", "tmpfs", "tmpfs", stage)
    # fuse: for the tests' own file system (tests/e2e/faultfs), where the
    # host has it.
    devices = [d for d in ("null", "zero", "full", "random", "urandom", "tty", "fuse")
               if os.path.exists("/dev/" + d)]
    for d in devices:
        open(os.path.join(stage, d), "w").close()
        run("mount", "--bind", "/dev/" + d, os.path.join(stage, d))
    run("mount", "-t", "tmpfs", "-o", "mode=755", "tmpfs", "/dev")
    for d in devices:
        open("/dev/" + d, "w").close()
        run("mount", "--bind", os.path.join(stage, d), "/dev/" + d)
    run("umount", "-l", stage)
    for name, target in (("fd", "/proc/self/fd"), ("stdin", "/proc/self/fd/0"),
                         ("stdout", "/proc/self/fd/1"), ("stderr", "/proc/self/fd/2")):
        os.symlink(target, "/dev/" + name)


def enter_namespace(what, kinds=("mount",)):
    """Runs this script again in new namespaces of the given kinds (mount,
    net, uts) and ends with its status; returns only inside them. `what`
    names the suite in the reason of a skip."""
    if os.environ.get(INSIDE) == "1":
        return
    if os.geteuid() != 0:
        raise Skip(f"{what} needs private namespaces, and making them needs root (unshare)")
    if shutil.which("unshare") is None:
        raise Skip(f"unshare is not installed: no private namespaces for {what}")
    unshare = ["unshare", *(f"--{kind}" for kind in kinds), "--propagation", "private"]
    probe = subprocess.run([*unshare, "true"], capture_output=True, text=True)
    if probe.returncode != 0:
        raise Skip(f"cannot make private namespaces ({', '.join(kinds)}): {probe.stderr.strip()}")
    env = dict(os.environ, **{INSIDE: "1"})
    result = subprocess.run([*unshare, sys.executable, os.path.abspath(sys.argv[0]), *sys.argv[1:]],
                            env=env)
    sys.exit(result.returncode)
