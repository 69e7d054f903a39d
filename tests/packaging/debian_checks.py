#!/usr/bin/env python3
"""Checks of trelvoxlogd as a Debian administrator meets it: the packager's
release build and what lintian says of its package, the exposure that
systemd gives the unit, and the package's life cycle (first installation,
reinstallation, removal, purge) on a throwaway copy of this machine. One
check per invocation, as in packaging_checks.py, whose helpers it uses."""

import os
import re
import shutil
import subprocess
import sys

from packaging_checks import (PACKAGE, Failure, Problems, Skip, check_log_dir, fresh_dir, main,
                              require_root, run, skip_foreign_package, stage_install, the_package)

# The highest exposure that systemd-analyze security may give the unit.
EXPOSURE_LIMIT = 1.5
# The programs the package ships; the packager's build makes nothing else.
SHIPPED = {"svc/trelvoxlogd", "tools/trelvoxsim/trelvoxsim"}
LOG_DIR = "/var/quenlab/log"
UNIT = "trelvoxlogd.service"
WANTS = "/etc/systemd/system/multi-user.target.wants/" + UNIT


def release_dir(args):
    return os.path.join(args.build_dir, "tests/packaging/release")


def skip_in_sanitizer_build(args):
    if args.sanitize:
        raise Skip("sanitizer build: the packager's build does not depend on it; "
                   "the normal build's suite makes and checks it")


# ---------------------------------------------------------- packager's build
def executables(build):
    found = set()
    for dirpath, dirnames, filenames in os.walk(build):
        dirnames[:] = [d for d in dirnames if d != "CMakeFiles" and d != "_CPack_Packages"]
        for name in filenames:
            path = os.path.join(dirpath, name)
            if os.access(path, os.X_OK) and os.path.isfile(path):
                with open(path, "rb") as f:
                    if f.read(4) == b"\x7fELF":
                        found.add(os.path.relpath(path, build))
    return found


def check_release_build(args):
    """The package as the README makes it: a Release build without tests.
    A warning flag stands in for the new warnings of a newer compiler: the
    build must go on and make only what ships."""
    skip_in_sanitizer_build(args)
    if shutil.which("dpkg-buildflags") is None:
        raise Skip("dpkg-buildflags is not installed (dpkg-dev): no Debian package build here")
    top = fresh_dir(release_dir(args))
    build = os.path.join(top, "build")
    generator = ["-G", "Ninja"] if shutil.which("ninja") else []
    # For the build's target, through the same toolchain file.
    toolchain = [f"-DCMAKE_TOOLCHAIN_FILE={args.toolchain_file}"] if args.toolchain_file else []
    run([args.cmake, "-S", args.source_dir, "-B", build, *generator, *toolchain,
         "-DCMAKE_BUILD_TYPE=Release", "-DTRELVOX_TESTS=OFF", "-DCMAKE_CXX_FLAGS=-Wpadded"],
        timeout=120)
    built = run([args.cmake, "--build", build], timeout=600)
    problems = Problems()
    problems.check("warning:" in built.stdout + built.stderr,
                   "the stand-in warning (-Wpadded) never fired: the check proves nothing")
    made = executables(build)
    problems.check(made == SHIPPED, f"the packager's build made {sorted(made)}, "
                                    f"expected only what ships: {sorted(SHIPPED)}")
    run([args.cpack, "-G", "DEB", "--config", os.path.join(build, "CPackConfig.cmake"), "-B", top],
        timeout=300)
    problems.raise_if_any()


def release_packages(args):
    top = release_dir(args)
    files = os.listdir(top) if os.path.isdir(top) else []
    debs = [os.path.join(top, f) for f in files if f.endswith(".deb")]
    ddebs = [os.path.join(top, f) for f in files if f.endswith(".ddeb")]
    if len(debs) != 1 or len(ddebs) != 1:
        raise Failure(f"expected one package and one debug-symbol package in {top}, found {files}")
    return debs[0], ddebs[0]


LINTIAN_TAG = re.compile(r"^([A-Z]): (\S+)(?: \S+)?: (\S+)(.*)$")


def check_lintian(args):
    """lintian as Debian runs it, every tag shown: no error, no warning that
    is not overridden, and none of the hardening tags (each says that one
    of Debian's hardening flags is missing)."""
    skip_in_sanitizer_build(args)
    if shutil.which("lintian") is None:
        raise Skip("lintian is not installed (scripts/setup.sh installs it)")
    deb, ddeb = release_packages(args)
    result = run(["lintian", "-EvIL", "+pedantic", "--fail-on", "none", deb], timeout=300)
    problems = Problems()
    for line in result.stdout.splitlines():
        tag = LINTIAN_TAG.match(line)
        if tag and tag.group(1) != "N" and (tag.group(1) in "EW" or tag.group(3).startswith("hardening-")):
            problems.check(False, f"lintian: {line}")
    # The programs ship stripped; their symbols are in the dbgsym package.
    listing = run(["dpkg-deb", "-c", ddeb]).stdout
    symbols = re.findall(r"usr/lib/debug/\.build-id/\w\w/\w+\.debug", listing)
    problems.check(len(symbols) == len(SHIPPED),
                   f"{os.path.basename(ddeb)} holds {len(symbols)} symbol files, "
                   f"expected one per program:\n{listing}")
    problems.raise_if_any()


# ---------------------------------------------------------- unit's exposure
def check_unit_security(args):
    if shutil.which("systemd-analyze") is None:
        raise Skip("systemd-analyze is not installed (package systemd)")
    root = stage_install(args, os.path.join(args.work, "root"), "/usr")
    unit = os.path.join(root, "usr/lib/systemd/system", UNIT)
    result = run(["systemd-analyze", "security", "--offline=true", "--no-pager", unit],
                 check=False, env=dict(os.environ, SYSTEMD_LOG_COLOR="0", SYSTEMD_COLORS="0"))
    score = re.search(rf"Overall exposure level for {re.escape(UNIT)}: (\d+\.\d+)", result.stdout)
    if score is None:
        if "--offline" in result.stderr:
            raise Skip(f"this systemd-analyze cannot analyse a unit offline: {result.stderr.strip()}")
        raise Failure(f"no exposure level in the analysis (status {result.returncode}):\n"
                      f"{result.stdout}\n{result.stderr}")
    exposure = float(score.group(1))
    print(f"exposure of {UNIT}: {exposure}")
    if exposure > EXPOSURE_LIMIT:
        raise Failure(f"{UNIT} is exposed at {exposure}, above {EXPOSURE_LIMIT}:\n{result.stdout}")


# ---------------------------------------------------------- life cycle
INSIDE = "TRELVOX_DEB_LIFECYCLE_INSIDE"


def throwaway_system():
    """Runs this check again in a private mount namespace in which /usr,
    /etc and /var are writable overlays of the machine's, /run is empty (so
    systemd is not running) and nothing reaches the machine; returns only
    inside it."""
    if os.environ.get(INSIDE) == "1":
        return
    require_root("a private mount namespace with overlays")
    if shutil.which("unshare") is None:
        raise Skip("unshare is not installed: no throwaway copy of the machine")
    env = dict(os.environ, **{INSIDE: "1"})
    result = subprocess.run(["unshare", "--mount", "--propagation", "private", sys.executable,
                             os.path.abspath(sys.argv[0]), *sys.argv[1:]], env=env)
    sys.exit(result.returncode)


def make_throwaway_mounts(scratch):
    run(["mount", "-t", "tmpfs", "tmpfs", scratch])
    for top in ("usr", "etc", "var"):
        upper, work = os.path.join(scratch, top, "upper"), os.path.join(scratch, top, "work")
        os.makedirs(upper)
        os.makedirs(work)
        mounted = run(["mount", "-t", "overlay", "overlay", "-o",
                       f"lowerdir=/{top},upperdir={upper},workdir={work}", "/" + top], check=False)
        if mounted.returncode != 0:
            raise Skip(f"cannot lay an overlay over /{top}: {mounted.stderr.strip()}")
    run(["mount", "-t", "tmpfs", "tmpfs", "/run"])
    # Nothing reads the copy's index of manual pages: not rebuilding it at
    # every installation saves most of the check's time.
    if os.path.exists("/var/lib/man-db/auto-update"):
        os.unlink("/var/lib/man-db/auto-update")


def installed_state():
    result = run(["dpkg-query", "-W", "-f=${db:Status-Abbrev}", PACKAGE], check=False)
    return result.stdout.strip() if result.returncode == 0 else ""


def enablement():
    return run(["systemctl", "is-enabled", UNIT], check=False).stdout.strip()


def check_deb_lifecycle(args):
    """First installation, an administrator's changes, reinstallation,
    removal and purge, with systemd not running: what the package makes the
    first time, what it keeps afterwards and what it leaves."""
    if shutil.which("dpkg") is None or shutil.which("systemctl") is None:
        raise Skip("dpkg and systemctl are needed: not a Debian machine with systemd installed")
    deb = the_package(args)
    skip_foreign_package(args)
    throwaway_system()
    scratch = fresh_dir(os.path.join(args.work, "overlay"))
    make_throwaway_mounts(scratch)
    if installed_state() not in ("", "un"):
        run(["dpkg", "--purge", PACKAGE], timeout=300)  # in the copy only
    shutil.rmtree("/var/quenlab", ignore_errors=True)
    problems = Problems()

    def dpkg(*argv):
        run(["dpkg", *argv], timeout=300)

    dpkg("-i", deb)
    check_log_dir(problems, LOG_DIR, 0o2750, "root", "adm", "first installation")
    problems.check(enablement() == "disabled", f"installed enablement is {enablement()!r}, not disabled")

    # The administrator keeps the logs to root, and enables the service.
    os.chown(LOG_DIR, 0, 0)
    os.chmod(LOG_DIR, 0o700)
    with open(os.path.join(LOG_DIR, "Trelvox.log"), "w") as f:
        f.write("kept\n")
    run(["systemctl", "enable", UNIT])
    dpkg("-i", deb)
    check_log_dir(problems, LOG_DIR, 0o700, "root", "root", "reinstallation")
    run(["systemd-tmpfiles", "--create", "trelvoxlogd.conf"])
    check_log_dir(problems, LOG_DIR, 0o700, "root", "root", "the tmpfiles entry at boot")

    dpkg("-r", PACKAGE)
    problems.check(os.path.islink(WANTS), "removal dropped the administrator's enablement")
    problems.check(os.path.exists(os.path.join(LOG_DIR, "Trelvox.log")), "removal deleted the logs")
    dpkg("-i", deb)
    problems.check(enablement() == "enabled",
                   f"after removal and reinstallation the unit is {enablement()!r}, not enabled")
    check_log_dir(problems, LOG_DIR, 0o700, "root", "root", "reinstallation after removal")

    dpkg("--purge", PACKAGE)
    problems.check(not os.path.lexists(WANTS), "purge left the unit enabled")
    problems.check(not os.path.exists("/var/quenlab"), "purge left /var/quenlab")
    problems.check(installed_state() in ("", "un"), f"package still known after purge: {installed_state()}")

    # An override registered before the first installation is what it gets.
    run(["dpkg-statoverride", "--add", "root", "daemon", "2770", LOG_DIR])
    dpkg("-i", deb)
    check_log_dir(problems, LOG_DIR, 0o2770, "root", "daemon", "first installation with an override")
    problems.raise_if_any()


CHECKS = {
    "release-build": check_release_build,
    "lintian": check_lintian,
    "unit-security": check_unit_security,
    "deb-lifecycle": check_deb_lifecycle,
}

if __name__ == "__main__":
    sys.exit(main(CHECKS))
