#!/usr/bin/env python3
"""Checks of the installed form of trelvoxlogd: the install tree, the Debian
package, the manual pages, the systemd unit, the tmpfiles entry and the
launchd job. One check per invocation, chosen by its name; CTest runs each as
a test of its own. Exit status 0 passed, 1 failed, 77 skipped (with the
reason on standard output). debian_checks.py adds the checks of the
packager's build, lintian, the unit's exposure and the package's life
cycle, with the helpers of this file."""

import argparse
import grp
import gzip
import os
import plistlib
import pwd
import re
import shutil
import stat
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

SKIP = 77
# The command that runs the build's programs when they are another CPU's
# (--target-run), empty for this host's own.
TARGET_RUN = []
BANNER = re.compile(r"\n\nTrelvox Logging Service \([^)]*\)\n\n")
LOG_DIR = "var/quenlab/log"
PACKAGE = "trelvoxlogd"


class Skip(Exception):
    pass


class Failure(Exception):
    pass


class Problems:
    """Collects every mismatch of one check, so that a run shows them all."""

    def __init__(self):
        self.items = []

    def check(self, condition, message):
        if not condition:
            self.items.append(message)
        return condition

    def raise_if_any(self):
        if self.items:
            raise Failure("\n".join(self.items))


def run(cmd, timeout=120, check=True, **kwargs):
    result = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, **kwargs)
    if check and result.returncode != 0:
        raise Failure(
            f"{' '.join(cmd)} exited with {result.returncode}\n"
            f"stdout:\n{result.stdout}\nstderr:\n{result.stderr}"
        )
    return result


def fresh_dir(path):
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


def require_root(what):
    if os.geteuid() != 0:
        raise Skip(f"{what} needs root (files owned by root); run the tests as root")


# The layout every install must have: path relative to the root -> mode.
# The log directory is staged as a plain directory; its group and mode are
# given on the machine (the package's first installation).
def expected_tree(prefix, with_sim):
    p = prefix.strip("/")
    files = {
        f"{p}/sbin/trelvoxlogd": 0o755,
        f"{p}/share/man/man8/trelvoxlogd.8.gz": 0o644,
        f"{p}/lib/systemd/system/trelvoxlogd.service": 0o644,
        f"{p}/lib/tmpfiles.d/trelvoxlogd.conf": 0o644,
        f"{p}/share/doc/trelvoxlogd/copyright": 0o644,
        f"{p}/share/doc/trelvoxlogd/changelog.gz": 0o644,
        f"{p}/share/lintian/overrides/trelvoxlogd": 0o644,
    }
    if with_sim:
        files[f"{p}/bin/trelvoxsim"] = 0o755
        files[f"{p}/share/man/man1/trelvoxsim.1.gz"] = 0o644
    for name in ("forward", "forward-tcp", "central", "central-tcp"):
        files[f"{p}/share/doc/trelvoxlogd/examples/rsyslog/trelvoxlogd-{name}.conf"] = 0o644
    tree = {path: ("file", mode) for path, mode in files.items()}
    tree[LOG_DIR] = ("dir", 0o755)
    for path in list(files) + [LOG_DIR]:
        parent = os.path.dirname(path)
        while parent:
            tree.setdefault(parent, ("dir", 0o755))
            parent = os.path.dirname(parent)
    return tree


def actual_tree(root):
    tree = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for name in dirnames + filenames:
            full = os.path.join(dirpath, name)
            st = os.lstat(full)
            kind = "dir" if stat.S_ISDIR(st.st_mode) else "file" if stat.S_ISREG(st.st_mode) else "other"
            tree[os.path.relpath(full, root)] = (kind, stat.S_IMODE(st.st_mode))
    return tree


def compare_trees(problems, expected, actual, where):
    for path in sorted(set(expected) | set(actual)):
        want, have = expected.get(path), actual.get(path)
        if want is None:
            problems.check(False, f"{where}: unexpected {have[0]} {path}")
        elif have is None:
            problems.check(False, f"{where}: missing {want[0]} {path}")
        else:
            problems.check(
                want == have,
                f"{where}: {path} is {have[0]} {have[1]:04o}, expected {want[0]} {want[1]:04o}",
            )


def stage_install(args, root, prefix):
    env = dict(os.environ, DESTDIR=root)
    fresh_dir(root)
    run([args.cmake, "--install", args.build_dir, "--prefix", prefix], env=env)
    return root


def unit_settings(text):
    settings = {}
    for line in text.splitlines():
        line = line.strip()
        if line and not line.startswith(("#", ";", "[")) and "=" in line:
            key, value = line.split("=", 1)
            settings.setdefault(key.strip(), []).append(value.strip())
    return settings


def check_unit(problems, text, sbindir, where):
    settings = unit_settings(text)
    problems.check(
        settings.get("ExecStart") == [f"{sbindir}/trelvoxlogd -s"],
        f"{where}: ExecStart is {settings.get('ExecStart')}, expected {sbindir}/trelvoxlogd -s",
    )
    problems.check(settings.get("KillSignal") == ["SIGTERM"], f"{where}: not stopped with SIGTERM")
    problems.check(settings.get("Restart") == ["on-failure"], f"{where}: not restarted on failure")
    after = " ".join(settings.get("After", [])).split()
    problems.check(
        "systemd-tmpfiles-setup.service" in after,
        f"{where}: not ordered after the tmpfiles set-up that makes the driver directory",
    )
    problems.check(
        "multi-user.target" in settings.get("WantedBy", []), f"{where}: not wanted by multi-user.target"
    )


def program(binary, *args):
    """The command line that runs `binary`, a program of the build or one
    installed from it."""
    return [*TARGET_RUN, binary, *args]


def banner_of(binary):
    result = run(program(binary, "-v"), timeout=30, check=False, stdin=subprocess.DEVNULL)
    return result.returncode, result.stdout


def check_log_dir(problems, path, mode, owner, group, where):
    st = os.stat(path)
    have = (stat.S_IMODE(st.st_mode), pwd.getpwuid(st.st_uid).pw_name, grp.getgrgid(st.st_gid).gr_name)
    problems.check(have == (mode, owner, group),
                   f"{where}: {path} is {have[0]:04o} {have[1]}:{have[2]}, expected {mode:04o} {owner}:{group}")


def check_banner(problems, binary, reference_output, where):
    status, out = banner_of(binary)
    problems.check(status == 0, f"{where}: {binary} -v exited with {status}")
    problems.check(BANNER.fullmatch(out) is not None, f"{where}: {binary} -v printed {out!r}, not the banner")
    problems.check(out == reference_output, f"{where}: {binary} -v differs from the built program's")


# ---------------------------------------------------------------- install tree
def check_install_tree(args):
    problems = Problems()
    os.umask(0o022)
    _, reference = banner_of(args.logd)
    for prefix in ("/usr", "/opt/trelvox"):
        root = stage_install(args, os.path.join(args.work, "stage" + prefix.replace("/", "_")), prefix)
        where = f"DESTDIR install, prefix {prefix}"
        compare_trees(problems, expected_tree(prefix, args.with_sim), actual_tree(root), where)
        p = os.path.join(root, prefix.strip("/"))
        unit = os.path.join(p, "lib/systemd/system/trelvoxlogd.service")
        if os.path.exists(unit):
            with open(unit) as f:
                check_unit(problems, f.read(), f"{prefix}/sbin", where)
        pages = [("man8", "trelvoxlogd.8")] + ([("man1", "trelvoxsim.1")] if args.with_sim else [])
        for section, page in pages:
            installed = os.path.join(p, "share/man", section, page + ".gz")
            if os.path.exists(installed):
                with gzip.open(installed, "rb") as f, open(os.path.join(args.source_dir, "packaging/man", page), "rb") as g:
                    problems.check(f.read() == g.read(), f"{where}: {page} differs from its source")
        program = os.path.join(p, "sbin/trelvoxlogd")
        if os.path.exists(program):
            check_banner(problems, program, reference, where)
    problems.raise_if_any()


# ---------------------------------------------------------------- package
def deb_dir(args):
    return os.path.join(args.build_dir, "tests/packaging/deb")


def the_package(args):
    if shutil.which("dpkg-deb") is None:
        raise Skip("dpkg-deb is not installed: no Debian package was made here")
    debs = [f for f in os.listdir(deb_dir(args)) if f.endswith(".deb")] if os.path.isdir(deb_dir(args)) else []
    if len(debs) != 1:
        raise Failure(f"expected one package in {deb_dir(args)}, found {debs}")
    return os.path.join(deb_dir(args), debs[0])


def dpkg_arch():
    return run(["dpkg", "--print-architecture"]).stdout.strip()


def package_arch(args):
    """The architecture the package is made for: the build's target."""
    return args.deb_arch or dpkg_arch()


def skip_foreign_package(args):
    if package_arch(args) != dpkg_arch():
        raise Skip(f"the package is for {package_arch(args)}: it installs on a machine of that "
                   f"CPU, not on this {dpkg_arch()} one (the native build's suite installs its own)")


def check_deb_build(args):
    if shutil.which("dpkg-deb") is None:
        raise Skip("dpkg-deb is not installed: no Debian package can be made here")
    fresh_dir(deb_dir(args))
    run([args.cpack, "-G", "DEB", "--config", os.path.join(args.build_dir, "CPackConfig.cmake"),
         "-B", deb_dir(args)], timeout=300)
    deb = the_package(args)
    expected = f"{PACKAGE}_{args.version}_{package_arch(args)}.deb"
    if os.path.basename(deb) != expected:
        raise Failure(f"package is named {os.path.basename(deb)}, expected {expected}")


def mode_bits(text):
    """'drwxr-x---' -> 0o750 (no set-id or sticky bits are expected anywhere)."""
    bits = 0
    for i, ch in enumerate(text[1:10]):
        if ch != "-":
            bits |= 1 << (8 - i)
    return bits


def check_deb_contents(args):
    problems = Problems()
    deb = the_package(args)
    actual = {}
    for line in run(["dpkg-deb", "-c", deb]).stdout.splitlines():
        fields = line.split(None, 5)
        mode, owner, path = fields[0], fields[1], fields[5]
        path = path.split(" -> ")[0].rstrip("/")
        if path.startswith("./"):
            path = path[2:]
        if not path or path == ".":
            continue
        problems.check(owner == "root/root", f"package: {path} is owned by {owner}, not root/root")
        kind = {"d": "dir", "-": "file"}.get(mode[0], "other")
        actual[path] = (kind, mode_bits(mode))
    compare_trees(problems, expected_tree("/usr", args.with_sim), actual, "package")

    def field(name):
        return run(["dpkg-deb", "-f", deb, name]).stdout.strip()

    problems.check(field("Package") == PACKAGE, f"package name is {field('Package')}")
    problems.check(field("Version") == args.version, f"package version is {field('Version')}")
    problems.check(field("Architecture") == package_arch(args),
                   f"package architecture is {field('Architecture')}, not {package_arch(args)}")
    depends = [d.split()[0] for d in field("Depends").split(",") if d.strip()]
    problems.check("libc6" in depends, f"package does not depend on the C library: Depends {depends}")
    problems.check(field("Maintainer") != "", "package has no maintainer")

    extract = fresh_dir(os.path.join(args.work, "extract"))
    run(["dpkg-deb", "-x", deb, extract])
    unit = os.path.join(extract, "usr/lib/systemd/system/trelvoxlogd.service")
    if os.path.exists(unit):
        with open(unit) as f:
            check_unit(problems, f.read(), "/usr/sbin", "package")
    run(["dpkg-deb", "-e", deb, os.path.join(extract, "DEBIAN")])
    for script in ("postinst", "prerm", "postrm"):
        path = os.path.join(extract, "DEBIAN", script)
        if problems.check(os.path.exists(path), f"package has no {script}"):
            problems.check(stat.S_IMODE(os.stat(path).st_mode) == 0o755, f"package {script} is not 0755")
            syntax = run(["sh", "-n", path], check=False)
            problems.check(syntax.returncode == 0, f"package {script} is not valid sh: {syntax.stderr}")
    problems.raise_if_any()


def package_state():
    result = run(["dpkg-query", "-W", "-f=${db:Status-Abbrev}", PACKAGE], check=False)
    return result.stdout.strip() if result.returncode == 0 else ""


def check_deb_install(args):
    if args.sanitize:
        raise Skip("sanitizer build: nobody installs an instrumented program; the normal build's "
                   "package is the one installed and run")
    require_root("dpkg -i")
    if shutil.which("dpkg") is None:
        raise Skip("dpkg is not installed: not a Debian machine")
    skip_foreign_package(args)
    if package_state() not in ("", "un"):
        raise Skip(f"{PACKAGE} is already installed here ({package_state()}); not replacing it")
    if os.path.lexists("/usr/sbin/trelvoxlogd"):
        raise Skip("/usr/sbin/trelvoxlogd exists but not from the package; installing would replace it")
    log_dir = "/" + LOG_DIR
    if os.path.isdir(log_dir) and any(n.startswith("Trelvox") for n in os.listdir(log_dir)):
        raise Skip(f"{log_dir} holds logs of this machine; purging the package would delete them")
    had = {d: os.path.exists(d) for d in ("/var/quenlab", "/run/trelvox")}
    deb = the_package(args)
    problems = Problems()
    _, reference = banner_of(args.logd)
    try:
        run(["dpkg", "-i", deb], timeout=300)
        problems.check(package_state() == "ii", f"package state after dpkg -i is {package_state()!r}")
        check_banner(problems, "/usr/sbin/trelvoxlogd", reference, "installed package")
        if problems.check(os.path.isdir(log_dir), f"installed package: {log_dir} missing"):
            check_log_dir(problems, log_dir, 0o2750, "root", "adm", "installed package")
        if shutil.which("man"):
            where = run(["man", "-w", "8", "trelvoxlogd"], check=False).stdout.strip()
            problems.check(where == "/usr/share/man/man8/trelvoxlogd.8.gz",
                           f"installed package: man finds {where!r} for trelvoxlogd(8)")
    finally:
        purge = run(["dpkg", "--purge", PACKAGE], timeout=300, check=False)
    problems.check(purge.returncode == 0, f"dpkg --purge failed: {purge.stderr}")
    problems.check(package_state() in ("", "un"), f"package still known after purge: {package_state()}")
    problems.check(not os.path.exists("/usr/sbin/trelvoxlogd"), "purge left /usr/sbin/trelvoxlogd")
    for d, existed in had.items():
        problems.check(existed or not os.path.exists(d), f"purge left {d} behind")
    problems.raise_if_any()


# ---------------------------------------------------------------- manual pages
PAGE_FACTS = {
    "trelvoxlogd.8": {
        "sections": ["NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "MODES", "LOG FILE", "LOG ACCESS",
                     "SYSTEM LOG", "SIGNALS", "EXIT STATUS", "FILES", "SEE ALSO"],
        "texts": ["/var/quenlab/log/Trelvox.log", "Trelvox.01.log", "Trelvox.04.log",
                  "52,428,800 bytes", "Service is starting", "Service is stopping",
                  "Failed to open log file", "Failed to initialize log handle",
                  "SIGINT", "SIGTERM", "SIGQUIT", "SIGABRT", "trelvoxsim(1)",
                  "adduser alice adm", "dpkg-statoverride", "logrotate(8)"],
    },
    "trelvoxsim.1": {
        "sections": ["NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "RECORD AND REPLAY FILES",
                     "SIGNALS", "EXIT STATUS", "ENVIRONMENT", "FILES", "EXAMPLES", "SEE ALSO"],
        "texts": ["TrelvoxController", "--help", "TRELVOX_DRIVER_DIR", "/run/trelvox",
                  "1036-byte", "16-byte header", "standard error", "trelvoxlogd(8)"],
    },
}


def render(page, *extra):
    """The page as a terminal shows it, one line per paragraph (no wrapping)."""
    return run(["groff", "-man", "-Tascii", "-P-cbou", "-rLL=2000n", *extra, page]).stdout


def sections_of(text):
    sections, name = {}, None
    for line in text.splitlines():
        if re.match(r"^[A-Z][A-Z ]*$", line):
            name = line.strip()
            sections[name] = []
        elif name:
            sections[name].append(line)
    return sections


def check_man_render(args):
    if shutil.which("groff") is None:
        raise Skip("groff is not installed: the manual pages cannot be rendered here")
    problems = Problems()
    for page, facts in PAGE_FACTS.items():
        path = os.path.join(args.source_dir, "packaging/man", page)
        for device in (["-z"], ["-Tutf8"]):
            result = run(["groff", "-man", "-ww", *device, path], check=False)
            problems.check(result.returncode == 0 and result.stderr == "",
                           f"{page}: groff -man -ww {device[0]} warns:\n{result.stderr}")
        text = render(path)
        sections = sections_of(text)
        for name in facts["sections"]:
            problems.check(name in sections, f"{page}: no {name} section")
        flat = " ".join(text.split())
        for fact in facts["texts"]:
            problems.check(fact in flat, f"{page}: does not mention {fact}")
        if shutil.which("lexgrog"):
            whatis = run(["lexgrog", path], check=False)
            name = page.rsplit(".", 1)[0]
            problems.check(whatis.returncode == 0 and f'"{name} - ' in whatis.stdout,
                           f"{page}: NAME section not understood by man's indexer: {whatis.stdout}")
    problems.raise_if_any()


def help_options(text):
    """Option letter -> description, from the Options block of -h."""
    if "\nOptions:\n" not in text:
        return {}
    block = text.split("\nOptions:\n", 1)[1]
    return {m.group(1): m.group(2).strip() for m in re.finditer(r"^ -(\S)\s+(\S.*)$", block, re.M)}


def page_options(text):
    """Entry -> (letters, description) from the OPTIONS section of a page."""
    entries, current = [], None
    for line in sections_of(text).get("OPTIONS", []):
        head = re.match(r"^ {7}((?:-[^\s,]+,?\s?|\[[^\]]*\]\s?)+)(.*)$", line)
        if head:
            letters = re.findall(r"-([^\s,\[\]])", head.group(1))
            current = [letters, head.group(2)]
            entries.append(current)
        elif current and line.startswith(" " * 14):
            current[1] += " " + line
        elif line.strip() == "":
            continue
        else:
            current = None
    return [(letters, " ".join(desc.split())) for letters, desc in entries]


def check_help_agrees(args):
    if shutil.which("groff") is None:
        raise Skip("groff is not installed: the manual page cannot be read here")
    result = run(program(args.logd, "-h"), timeout=30, check=False, stdin=subprocess.DEVNULL)
    helped = help_options(result.stdout)
    if not helped:
        raise Skip(f"trelvoxlogd -h does not print its options yet (status {result.returncode}, "
                   f"output {result.stdout!r}); nothing to compare the page with")
    problems = Problems()
    problems.check(result.returncode == 0, f"trelvoxlogd -h exited with {result.returncode}")
    text = render(os.path.join(args.source_dir, "packaging/man/trelvoxlogd.8"))
    documented = {letters[0]: desc for letters, desc in page_options(text)}
    problems.check(set(documented) == set(helped),
                   f"options in -h {sorted(helped)} but in the page {sorted(documented)}")
    for letter, desc in helped.items():
        if letter in documented:
            problems.check(documented[letter].startswith(desc),
                           f"-{letter}: -h says {desc!r}, the page says {documented[letter]!r}")
    synopsis = " ".join(sections_of(text).get("SYNOPSIS", []))
    for letter in helped:
        problems.check(f"-{letter}" in synopsis, f"-{letter} is missing from the page's synopsis")
    problems.raise_if_any()


SIM_OPTION = re.compile(r"^  (--[a-z][a-z-]*)(?:\s+(\S.*))?$")


def sim_help_groups(text):
    """The option groups of trelvoxsim --help, in order: [(heading, [(option,
    description)])]. A group is a run of option lines; its heading is the
    line ending in ':' just above it, or '' when there is none. An option's
    description includes its continuation lines."""
    groups, heading, current = [], "", None
    for line in text.splitlines():
        option = SIM_OPTION.match(line)
        if option:
            if current is None:
                current = []
                groups.append((heading, current))
            current.append([option.group(1), option.group(2) or ""])
        elif current and line.startswith(" " * 4) and line.strip():
            current[-1][1] += " " + line.strip()
        else:
            current = None
            heading = line[:-1] if re.fullmatch(r"\S.*:", line) else ""
    return [(h, [(o, " ".join(d.split())) for o, d in opts]) for h, opts in groups]


def sim_page_groups(text):
    """The option groups of the page's OPTIONS section, in order: [(subsection
    title, [(option, description)])]. An entry is a tag line at the tag
    indent that begins with '--'; its description is what follows at the
    paragraph indent, on the tag's line or below it."""
    groups, current = [], None
    for line in sections_of(text).get("OPTIONS", []):
        if re.match(r"^ {3}\S", line):
            current = (line.strip(), [])
            groups.append(current)
            continue
        tag = re.match(r"^ {7}(--[a-z][a-z-]*)(.*)$", line)
        if tag:
            if current is None:
                current = ("", [])
                groups.append(current)
            current[1].append([tag.group(1), tag.group(2)])
        elif current and current[1] and line.startswith(" " * 14):
            current[1][-1][1] += " " + line
    return [(title, [(o, " ".join(d.split())) for o, d in opts]) for title, opts in groups]


def default_values(description):
    """The values named in the '(default: ...)' of a help description that a
    page must repeat: numbers, paths and names (words with a digit, a slash,
    a dot or an underscore, or with a capital first), without surrounding
    punctuation. Words of plain prose ('never', 'from the clock') are left
    to the reader."""
    found = re.search(r"default: ([^;)]*)", description)
    if not found:
        return []
    words = [w.strip(",.$'") for w in found.group(1).split()]
    return [w for w in words if re.search(r"[0-9/._]|^[A-Z]", w)]


def check_sim_help_agrees(args):
    if not args.sim:
        raise Skip("trelvoxsim is not built here; there is no program to compare its page with")
    if shutil.which("groff") is None:
        raise Skip("groff is not installed: the manual page cannot be read here")
    result = run(program(args.sim, "--help"), timeout=30, check=False, stdin=subprocess.DEVNULL)
    problems = Problems()
    problems.check(result.returncode == 0, f"trelvoxsim --help exited with {result.returncode}")
    problems.check(result.stderr == "", f"trelvoxsim --help wrote to standard error: {result.stderr!r}")
    helped = sim_help_groups(result.stdout)
    if not helped:
        raise Failure(f"trelvoxsim --help lists no options:\n{result.stdout}")
    page = sim_page_groups(render(os.path.join(args.source_dir, "packaging/man/trelvoxsim.1")))

    help_options = [o for _, opts in helped for o, _ in opts]
    page_options = [o for _, opts in page for o, _ in opts]
    for name, options in (("--help", help_options), ("the page", page_options)):
        twice = sorted({o for o in options if options.count(o) > 1})
        problems.check(not twice, f"{name} lists {twice} more than once")
    only_help = sorted(set(help_options) - set(page_options))
    only_page = sorted(set(page_options) - set(help_options))
    problems.check(not only_help, f"options in --help but not in the page's OPTIONS: {only_help}")
    problems.check(not only_page, f"options in the page's OPTIONS but not in --help: {only_page}")
    if problems.items:
        problems.raise_if_any()

    # The same groups in the same order, each with the help's heading.
    help_shape = [[o for o, _ in opts] for _, opts in helped]
    page_shape = [[o for o, _ in opts] for _, opts in page]
    problems.check(help_shape == page_shape,
                   f"the page groups the options as {page_shape}, --help as {help_shape}")
    for (heading, _), (title, _) in zip(helped, page):
        problems.check(heading in ("", title),
                       f"--help calls a group {heading!r}, the page {title!r}")

    # Every default the help states is in the page's entry.
    documented = {o: d.lower() for _, opts in page for o, d in opts}
    for _, opts in helped:
        for option, description in opts:
            for value in default_values(description):
                whole = r"(?<![\w/])" + re.escape(value.lower()) + r"(?![\w/])"
                problems.check(re.search(whole, documented.get(option, "")) is not None,
                               f"{option}: --help gives the default {value}, the page does not")
    problems.raise_if_any()


# ---------------------------------------------------------------- systemd
def system_unit_dir():
    for d in ("/usr/lib/systemd/system", "/lib/systemd/system"):
        if os.path.isdir(d) and os.path.exists(os.path.join(d, "multi-user.target")):
            return d
    return None


def check_unit_verify(args):
    if shutil.which("systemd-analyze") is None:
        raise Skip("systemd-analyze is not installed (no systemd on this machine); the unit was not verified")
    units = system_unit_dir()
    if units is None:
        raise Skip("systemd's own units are not installed here; the unit's dependencies cannot be checked")
    root = stage_install(args, os.path.join(args.work, "root"), "/usr")
    # The staged root gets the system's units beside ours, so that what the
    # unit names (targets, the tmpfiles set-up) is checked to exist.
    staged_units = os.path.join(root, "usr/lib/systemd/system")
    for name in os.listdir(units):
        if not os.path.lexists(os.path.join(staged_units, name)):
            src = os.path.join(units, name)
            if os.path.isdir(src) and not os.path.islink(src):
                shutil.copytree(src, os.path.join(staged_units, name), symlinks=True)
            else:
                shutil.copy2(src, os.path.join(staged_units, name), follow_symlinks=False)
    # And the system's commands that the unit runs beside ours (ExecReload).
    with open(os.path.join(staged_units, "trelvoxlogd.service")) as f:
        settings = unit_settings(f.read())
    for key, values in settings.items():
        for value in values if key.startswith("Exec") else []:
            command = value.split()[0].lstrip("-+!@:")
            if not os.path.lexists(root + command) and os.path.exists(command):
                os.makedirs(os.path.dirname(root + command), exist_ok=True)
                shutil.copy2(command, root + command)
    env = dict(os.environ, MANPATH=os.path.join(root, "usr/share/man"), SYSTEMD_LOG_COLOR="0")
    result = run(["systemd-analyze", "verify", f"--root={root}", "trelvoxlogd.service"],
                 check=False, env=env)
    output = (result.stdout + result.stderr).strip()
    if result.returncode != 0 or output:
        raise Failure(f"systemd-analyze verify (status {result.returncode}):\n{output}")


def check_tmpfiles(args):
    if shutil.which("systemd-tmpfiles") is None:
        raise Skip("systemd-tmpfiles is not installed (no systemd on this machine); the entry was not applied")
    require_root("applying the tmpfiles entry")
    root = stage_install(args, os.path.join(args.work, "root"), "/usr")
    # The entry names its group; the staged root resolves it as this machine does.
    os.makedirs(os.path.join(root, "etc"), exist_ok=True)
    for name in ("passwd", "group"):
        shutil.copy(os.path.join("/etc", name), os.path.join(root, "etc", name))
    problems = Problems()

    def apply(when, expected):
        run(["systemd-tmpfiles", "--create", f"--root={root}", "trelvoxlogd.conf"])
        for path, (mode, group) in expected.items():
            full = os.path.join(root, path)
            if problems.check(os.path.isdir(full), f"{when}: {path} not created"):
                check_log_dir(problems, full, mode, "root", group, when)

    # A clean /var and /run, as after boot from a fresh system.
    shutil.rmtree(os.path.join(root, "var"))
    apply("after a clean /var", {"var/quenlab/log": (0o2750, "adm"), "run/trelvox": (0o755, "root")})
    # What the administrator made of the log directory is kept at the next boot.
    log = os.path.join(root, "var/quenlab/log")
    os.chown(log, 0, 0)
    os.chmod(log, 0o700)
    apply("after the administrator's chgrp and chmod", {"var/quenlab/log": (0o700, "root")})
    problems.raise_if_any()


# ---------------------------------------------------------------- launchd
def check_plist(args):
    path = args.plist
    try:
        ElementTree.parse(path)
    except ElementTree.ParseError as error:
        raise Failure(f"{path} is not well-formed XML: {error}")
    with open(path, "rb") as f:
        job = plistlib.load(f)
    problems = Problems()
    problems.check(job.get("Label") == "com.quenlab.trelvoxlogd", f"Label is {job.get('Label')!r}")
    problems.check(job.get("ProgramArguments") == [f"{args.plist_sbindir}/trelvoxlogd", "-s"],
                   f"ProgramArguments are {job.get('ProgramArguments')!r}")
    problems.check(job.get("RunAtLoad") is True, "RunAtLoad is not true")
    keep = job.get("KeepAlive")
    problems.check(keep == {"SuccessfulExit": False},
                   f"KeepAlive is {keep!r}: the job must come back after a failure but not after a clean stop")
    with open(path, "rb") as f:
        problems.check(not re.search(rb"@\w+@", f.read()), "placeholders left in the job")
    problems.raise_if_any()


CHECKS = {
    "install-tree": check_install_tree,
    "deb-build": check_deb_build,
    "deb-contents": check_deb_contents,
    "deb-install": check_deb_install,
    "man-render": check_man_render,
    "help-agrees": check_help_agrees,
    "sim-help-agrees": check_sim_help_agrees,
    "unit-verify": check_unit_verify,
    "tmpfiles": check_tmpfiles,
    "plist": check_plist,
}


def main(checks=None):
    checks = checks or CHECKS
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("check", choices=sorted(checks))
    parser.add_argument("--source-dir", required=True)
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--work", required=True, help="scratch directory of this check")
    parser.add_argument("--cmake", default="cmake")
    parser.add_argument("--cpack", default="cpack")
    parser.add_argument("--version", required=True)
    parser.add_argument("--logd", required=True, help="the built trelvoxlogd")
    parser.add_argument("--with-sim", action="store_true", help="trelvoxsim is built and installed")
    parser.add_argument("--sim", help="the built trelvoxsim")
    parser.add_argument("--sanitize", action="store_true", help="this is the sanitizer build")
    parser.add_argument("--plist", help="the configured launchd job")
    parser.add_argument("--plist-sbindir", help="program directory the job was configured with")
    parser.add_argument("--target-run", help="the command that runs the build's programs, when "
                                             "they are another CPU's")
    parser.add_argument("--toolchain-file", help="the build's CMake toolchain file, if any")
    parser.add_argument("--deb-arch", help="Debian architecture of the package (default: this "
                                           "machine's)")
    args = parser.parse_args()
    TARGET_RUN[:] = [args.target_run] if args.target_run else []
    os.makedirs(args.work, exist_ok=True)
    try:
        checks[args.check](args)
    except Skip as reason:
        print(f"SKIPPED: {reason}")
        return SKIP
    except (Failure, subprocess.TimeoutExpired) as problem:
        print(f"FAILED: {problem}")
        return 1
    print("passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
