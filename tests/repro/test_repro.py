"""Reproducible builds: the commit checked out here (or FERROLINK_REPRO_COMMIT), cloned twice at
different paths and built at different times with the release command, gives the same bytes in
every released artefact. The second build runs in another time zone, locale and umask and, when
the test runs as root, as another user (nobody) with another home. SOURCE_DATE_EPOCH is left
unset, so the builds date themselves from the commit."""

import glob
import os
import pwd
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import lab as bench  # noqa: E402

ROOT = os.path.realpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))


def git(*args, **options):
    """Runs git. A checkout that another user owns (scripts/check run through sudo) is one that git
    refuses to read ("dubious ownership") unless a global setting allows it: this run's own."""
    env = dict(os.environ)
    if os.stat(ROOT).st_uid != os.geteuid():
        os.makedirs(bench.SCRATCH, exist_ok=True)
        allowed = os.path.join(bench.SCRATCH, "gitconfig-safe")
        with open(allowed, "w") as f:
            f.write("[safe]\n\tdirectory = *\n")
        env["GIT_CONFIG_GLOBAL"] = allowed
    return subprocess.run(["git"] + list(args), env=env, check=True, **options)

# What a release ships: the command that builds it, then the artefacts it leaves behind. The
# release command builds both presets in folders of its own; the executables are compared too
# (the packaged Linux relay is the build tree's with CUPS as its default spooler).
BUILDS = [
    ("release", ["scripts/release"],
     ["build/release/*.zip", "build/release/*.zip.sha256", "build/release/*.deb",
      "build/release-work/windows/ferrolink.exe",
      "build/release-work/host/packaged/ferrolink"]),
]


def build(commit, clone, other=False):
    """Clones this repository at the commit into the folder and builds every preset there; the
    other builder has its own time zone, locale, umask and, as root, user."""
    git("clone", "--quiet", "--no-checkout", ROOT, clone)
    git("-C", clone, "checkout", "--quiet", "--detach", commit)
    env = {k: v for k, v in os.environ.items() if k != "SOURCE_DATE_EPOCH"}
    switch = None
    if other:
        env.update(TZ="Pacific/Kiritimati", LC_ALL="C.UTF-8", LANG="C.UTF-8")
        if os.geteuid() == 0:
            user = pwd.getpwnam("nobody")
            home = os.path.join(os.path.dirname(clone), "home")
            os.makedirs(home)
            subprocess.run(["chown", "-R", "%d:%d" % (user.pw_uid, user.pw_gid), os.path.dirname(clone)],
                           check=True)
            env.update(HOME=home, USER="nobody", LOGNAME="nobody")
            env.pop("GIT_CONFIG_GLOBAL", None)

            def switch():
                os.umask(0o027)
                os.setgroups([])
                os.setgid(user.pw_gid)
                os.setuid(user.pw_uid)
        else:
            def switch():
                os.umask(0o027)
    for _, commands, _ in BUILDS:
        for command in commands:
            subprocess.run(command.split(), cwd=clone, env=env, check=True, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, preexec_fn=switch)


def artefacts(clone):
    """Each artefact pattern with the one file it names in the clone."""
    found = {}
    for _, _, patterns in BUILDS:
        for pattern in patterns:
            paths = glob.glob(os.path.join(clone, pattern))
            found[pattern] = paths[0] if len(paths) == 1 else None
    return found


class ReproducibleBuildTest(unittest.TestCase):
    def test_two_clones_build_the_same_bytes(self):
        commit = os.environ.get("FERROLINK_REPRO_COMMIT") or git(
            "-C", ROOT, "rev-parse", "HEAD", capture_output=True, text=True).stdout.strip()
        os.makedirs(bench.SCRATCH, exist_ok=True)
        scratch = tempfile.mkdtemp(prefix="repro-", dir=bench.SCRATCH)
        os.chmod(scratch, 0o755)  # the other builder reaches its clone through it
        try:
            first = os.path.join(scratch, "a", "ferrolink")
            second = os.path.join(scratch, "second-clone", "elsewhere", "ferrolink")
            build(commit, first)
            time.sleep(2)  # a later wall-clock second, whatever the build's speed
            build(commit, second, other=True)
            ones, others = artefacts(first), artefacts(second)
            differ = []
            for pattern in ones:
                self.assertIsNotNone(ones[pattern], pattern)
                self.assertIsNotNone(others[pattern], pattern)
                if subprocess.run(["cmp", ones[pattern], others[pattern]], stdout=subprocess.DEVNULL).returncode:
                    differ.append(pattern)
            self.assertEqual([], differ, "differ between the two builds of " + commit)
            # A checkout with changes is no release of its commit: refused before anything is built.
            with open(os.path.join(first, "README.md"), "a") as readme:
                readme.write("changed\n")
            shutil.rmtree(os.path.join(first, "build", "release"))
            refused = subprocess.run(["scripts/release"], cwd=first, capture_output=True, text=True)
            self.assertEqual(1, refused.returncode)
            self.assertIn("the checkout has changes", refused.stderr)
            self.assertFalse(os.path.exists(os.path.join(first, "build", "release")))
        finally:
            shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    unittest.main()
