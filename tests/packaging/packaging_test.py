#!/usr/bin/env python3
"""The macOS packaging, exercised on any POSIX machine: the launch agent's
property list, the install and uninstall scripts and the installer package's
scripts (run as real processes with stand-in launchctl, ps and xattr, a
temporary file-system root and HOME), the install tree of `cmake --install`,
scripts/package-macos (with stand-ins that record pkgbuild, productbuild,
codesign and xcrun), the MDM's configuration profile, the executable's
Info.plist, and the shell scripts' hygiene (shellcheck, bash 3.2).

    packaging_test.py --packaging DIR --fixtures DIR --info-plist FILE
                      --label LABEL --cmake CMAKE --build-dir DIR [TestClass ...]
"""
import argparse
import os
import plistlib
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

ARGS = None

LAUNCH_AGENT_KEYS = {
    "Label", "ProgramArguments", "RunAtLoad", "KeepAlive", "StartInterval",
    "LimitLoadToSessionType", "AbandonProcessGroup",
}
SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
LOGINWINDOW = "/System/Library/CoreServices/loginwindow.app/Contents/MacOS/loginwindow"


def mode_of(path):
    return stat.S_IMODE(os.stat(path).st_mode)


def write(path, content, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(content)
    os.chmod(path, mode)


def read(path):
    with open(path) as f:
        return f.read()


class Machine:
    """A temporary Mac: a file-system root, a user's HOME inside it (with
    characters that XML and sed treat specially), a stand-in launchctl and
    two builds of an executable to install."""

    def __init__(self):
        self._dir = tempfile.TemporaryDirectory(prefix="tavrine-packaging-")
        self.top = self._dir.name
        self.root = os.path.join(self.top, "root")
        self.home = os.path.join(self.root, "Users", "Jo & Co <jo|x\\y>")
        self.standins = os.path.join(self.top, "standins")
        os.makedirs(self.home)
        os.makedirs(self.standins)
        self.builds = {}
        for version in ("1", "2"):
            path = os.path.join(self.top, "build-" + version, "tavrine")
            write(path, "#!/bin/sh\necho tavrine " + version + "\n", 0o755)
            self.builds[version] = path

        self.answer("xattr-print-quarantine", 1)  # no attribute unless a test says so

    def close(self):
        self._dir.cleanup()

    def run(self, script, *arguments, packaging=None, env=None):
        full_env = {
            "PATH": "/nonexistent",  # the scripts name every tool by its path
            "HOME": self.home,
            "TAVRINE_INSTALL_ROOT": self.root,
            "TAVRINE_LAUNCHCTL": os.path.join(ARGS.fixtures, "launchctl"),
            "TAVRINE_PS": os.path.join(ARGS.fixtures, "ps"),
            "TAVRINE_XATTR": os.path.join(ARGS.fixtures, "xattr"),
            "TAVRINE_RETRY_PAUSE": "0",
            "TAVRINE_STANDIN_DIR": self.standins,
        }
        for key, value in (env or {}).items():
            if value is None:
                full_env.pop(key, None)
            else:
                full_env[key] = value
        return subprocess.run([os.path.join(packaging or ARGS.packaging, script), *arguments],
                              env=full_env, capture_output=True, text=True, timeout=60)

    def calls(self, tool="launchctl"):
        """The recorded calls of one stand-in tool, the oldest first."""
        path = os.path.join(self.standins, "calls.log")
        lines = read(path).splitlines() if os.path.exists(path) else []
        return [line for line in lines if line.split(" ", 1)[0] == tool]

    def forget_calls(self):
        path = os.path.join(self.standins, "calls.log")
        if os.path.exists(path):
            os.unlink(path)

    def answer(self, key, status, suffix="status"):
        write(os.path.join(self.standins, key + "." + suffix),
              status if isinstance(status, str) else "%d\n" % status)

    def sessions(self, *uids):
        """What ps lists: a loginwindow for each of `uids`, and processes
        that do not count (root's loginwindow at the login window, Setup
        Assistant, another process of a user)."""
        lines = ["    0 " + LOGINWINDOW,
                 "  248 /System/Library/CoreServices/Setup Assistant.app/Contents/MacOS/Setup Assistant",
                 "  501 /usr/libexec/trustd"]
        lines += ["%5d %s" % (uid, LOGINWINDOW) for uid in uids]
        write(os.path.join(self.standins, "ps-sessions.out"), "\n".join(lines) + "\n")

    def console_user(self, uid):
        """Hands the console to `uid`; other users than oneself need root."""
        console = os.path.join(self.root, "dev", "console")
        write(console, "")
        if uid != os.stat(console).st_uid:
            os.chown(console, uid, -1)

    # Where the installs put their files.
    def user_program(self):
        return os.path.join(self.home, "Library/Application Support/Tavrine/bin/tavrine")

    def user_plist(self):
        return os.path.join(self.home, "Library/LaunchAgents", ARGS.label + ".plist")

    def system_program(self):
        return os.path.join(self.root, "Library/Application Support/Tavrine/bin/tavrine")

    def system_plist(self):
        return os.path.join(self.root, "Library/LaunchAgents", ARGS.label + ".plist")

    def lay_down_package(self, version):
        """What the installer package's payload puts on the disk: the install
        tree at the system-wide place."""
        share = os.path.join(self.root, "Library/Application Support/Tavrine/share/tavrine")
        os.makedirs(share, exist_ok=True)
        for name in ("install", "uninstall", "common.sh", "launch_agent.plist.template"):
            shutil.copy2(os.path.join(ARGS.packaging, name), share)
        os.makedirs(os.path.dirname(self.system_program()), exist_ok=True)
        shutil.copy2(self.builds[version], self.system_program())


def job_calls(uid, plist):
    """launchctl's calls that (re)start the job in one session."""
    return ["launchctl bootout gui/%d/%s" % (uid, ARGS.label),
            "launchctl enable gui/%d/%s" % (uid, ARGS.label),
            "launchctl bootstrap gui/%d %s" % (uid, plist)]


def load_plist(path):
    with open(path, "rb") as f:
        return plistlib.load(f)


class LaunchAgentPropertyList(unittest.TestCase):
    def check_job(self, job, program):
        self.assertEqual(job["Label"], ARGS.label)
        self.assertEqual(job["ProgramArguments"], [program])
        self.assertIs(job["RunAtLoad"], True)
        self.assertEqual(job["KeepAlive"], {"Crashed": True})
        self.assertEqual(job["StartInterval"], 900)
        self.assertEqual(job["LimitLoadToSessionType"], "Aqua")
        self.assertNotIn("ProcessType", job, "the default process type, not Interactive")
        self.assertIs(job["AbandonProcessGroup"], True)

    def test_template_is_a_valid_property_list(self):
        job = load_plist(os.path.join(ARGS.packaging, "launch_agent.plist.template"))
        self.check_job(job, "__PROGRAM__")

    def test_per_user_and_system_wide_property_lists(self):
        machine = Machine()
        self.addCleanup(machine.close)
        result = machine.run("install", "--binary", machine.builds["1"])
        self.assertEqual(result.returncode, 0, result.stderr)
        job = load_plist(machine.user_plist())
        self.check_job(job, machine.user_program())
        launchd_log = os.path.join(machine.home, "Library/Logs/Tavrine/launchd.log")
        self.assertEqual(job["StandardOutPath"], launchd_log)
        self.assertEqual(job["StandardErrorPath"], launchd_log)
        self.assertEqual(set(job), LAUNCH_AGENT_KEYS | {"StandardOutPath", "StandardErrorPath"})

        result = machine.run("install", "--system", "--binary", machine.builds["1"])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertFalse(os.path.exists(machine.user_plist()), "one label, one kind")
        job = load_plist(machine.system_plist())
        self.check_job(job, machine.system_program())
        self.assertEqual(set(job), LAUNCH_AGENT_KEYS, "a system-wide job names no user's file")


class InstallAndUninstall(unittest.TestCase):
    def setUp(self):
        self.machine = Machine()
        self.addCleanup(self.machine.close)
        self.uid = os.getuid()
        self.as_root = os.geteuid() == 0

    def assert_file(self, path, mode, content=None, owner=None):
        self.assertTrue(os.path.isfile(path), path)
        self.assertEqual(oct(mode_of(path)), oct(mode), path)
        if content is not None:
            self.assertEqual(read(path), content)
        if owner is not None:
            self.assertEqual(os.stat(path).st_uid, owner, path)

    def test_per_user_install_and_upgrade(self):
        m = self.machine
        result = m.run("install", "--binary", m.builds["1"])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assert_file(m.user_program(), 0o755, read(m.builds["1"]), self.uid)
        self.assert_file(m.user_plist(), 0o644, owner=self.uid)
        self.assertEqual(mode_of(os.path.join(m.home, "Library/Application Support/Tavrine")),
                         0o700, "the folder of the credentials is the user's alone")
        self.assertTrue(os.path.isdir(os.path.join(m.home, "Library/Logs/Tavrine")),
                        "launchd needs the folder of its log")
        expected = job_calls(self.uid, m.user_plist())
        self.assertEqual(m.calls(), expected)
        self.assertEqual(m.calls("xattr"), ["xattr -p com.apple.quarantine " + m.user_program()])
        self.assertFalse(os.path.exists(os.path.join(m.root, "Library")), "a system path was used")

        # Again, with a newer build that was downloaded (quarantined): the
        # job is stopped before the swap, the attribute removed.
        m.answer("launchctl-bootout", 0)
        m.answer("xattr-print-quarantine", 0)
        m.forget_calls()
        result = m.run("install", "--user", "--binary", m.builds["2"])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assert_file(m.user_program(), 0o755, read(m.builds["2"]))
        self.assertEqual(m.calls(), expected)
        self.assertEqual(m.calls("xattr")[-1], "xattr -d com.apple.quarantine " + m.user_program())
        bin_dir = os.path.dirname(m.user_program())
        self.assertEqual(sorted(os.listdir(bin_dir)), ["tavrine"])
        self.assertEqual(sorted(os.listdir(os.path.dirname(m.user_plist()))),
                         [ARGS.label + ".plist"])

    def test_system_install_upgrade_and_uninstall_in_every_session(self):
        m = self.machine
        console = 501 if self.as_root else self.uid
        other = console + 1  # a second user, fast-user-switched
        m.console_user(console)
        m.sessions(console, other)
        result = m.run("install", "--system", "--binary", m.builds["1"])
        self.assertEqual(result.returncode, 0, result.stderr)
        owner = 0 if self.as_root else None
        self.assert_file(m.system_program(), 0o755, read(m.builds["1"]), owner)
        self.assertEqual(mode_of(os.path.dirname(m.system_program())), 0o755)
        self.assert_file(m.system_plist(), 0o644, owner=owner)
        both = [job_calls(uid, m.system_plist()) for uid in (console, other)]
        # Every running agent is stopped before the executable is replaced,
        # then each session gets the new job.
        self.assertEqual(m.calls(), [both[0][0], both[1][0]] + both[0][1:] + both[1][1:])
        self.assertEqual(result.stdout.count("installed and running"), 2, result.stdout)
        self.assertFalse(os.path.exists(os.path.join(m.home, "Library")), "a user path was used")

        m.forget_calls()
        result = m.run("install", "--system", "--binary", m.builds["2"])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assert_file(m.system_program(), 0o755, read(m.builds["2"]))
        self.assertEqual(sorted(m.calls()), sorted(both[0] + both[1]), "both upgraded")

        m.forget_calls()
        result = m.run("uninstall", "--system")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(m.calls(), [both[0][0], both[1][0]], "both booted out")
        self.assertFalse(os.path.exists(m.system_plist()))
        if not self.as_root:
            return  # handing the console to root or to another user needs root

        # Nobody to start it for: the login window (root's console), and
        # Setup Assistant's _mbsetupuser during automated enrolment.
        for uid in (0, 248):
            m.forget_calls()
            m.console_user(uid)
            m.sessions(uid)
            result = m.run("install", "--system", "--binary", m.builds["1"])
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertIn("next login", result.stdout)
            self.assertEqual(m.calls(), [], uid)

    def test_bootstrap_retries_and_failures(self):
        m = self.machine
        # Two transient failures, then success, with the real pause between
        # tries: installed, and the job enabled before it is bootstrapped.
        m.answer("launchctl-bootstrap", "5\n5\n0\n", "statuses")
        result = m.run("install", "--binary", m.builds["1"], env={"TAVRINE_RETRY_PAUSE": None})
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("installed and running", result.stdout)
        calls = m.calls()
        self.assertEqual(calls[:2], job_calls(self.uid, m.user_plist())[:2], "enable first")
        self.assertEqual(calls[2:], [job_calls(self.uid, m.user_plist())[2]] * 3)

        # A bootstrap that always fails: a system install still succeeds
        # (an MDM would mark the package failed) and says so in one line;
        # a per-user install fails.
        os.unlink(os.path.join(m.standins, "launchctl-bootstrap.statuses"))
        m.answer("launchctl-bootstrap", 5)
        m.answer("launchctl-bootstrap", "Bootstrap failed: 5: Input/output error\n", "err")
        console = 501 if self.as_root else self.uid
        m.console_user(console)
        os.unlink(m.user_plist())  # one kind at a time
        for kind, status in (("--system", 0), ("--user", 1)):
            m.forget_calls()
            if kind == "--user":
                os.unlink(m.system_plist())
            result = m.run("install", kind, "--binary", m.builds["1"])
            self.assertEqual(result.returncode, status, (kind, result.stderr))
            self.assertEqual(m.calls().count(m.calls()[-1]), 10, "ten tries")
            output = (result.stdout + result.stderr).splitlines()
            self.assertEqual(len(output), 1, output)
            self.assertIn("Bootstrap failed: 5: Input/output error", output[0])
            if kind == "--system":
                self.assertIn("could not be started for user %d now" % console, output[0])
                self.assertIn("next login", output[0])
        self.assertIn("launchctl could not start " + ARGS.label, result.stderr)

    def test_one_label_one_kind(self):
        m = self.machine
        self.assertEqual(m.run("install", "--binary", m.builds["1"]).returncode, 0)
        m.forget_calls()
        result = m.run("install", "--system", "--binary", m.builds["1"])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertFalse(os.path.lexists(m.user_plist()))
        self.assertIn("Removed the per-user install's property list " + m.user_plist(), result.stdout)

        m.forget_calls()
        result = m.run("install", "--user", "--binary", m.builds["2"])
        self.assertEqual(result.returncode, 1)
        self.assertIn('/Library/Application Support/Tavrine/share/tavrine/uninstall" --system',
                      result.stderr)
        self.assertEqual(read(m.user_program()), read(m.builds["1"]), "nothing replaced")
        self.assertFalse(os.path.lexists(m.user_plist()))
        self.assertEqual(m.calls(), [])

    def test_refusals_leave_nothing_behind(self):
        m = self.machine
        for arguments, message in [
            (["--binary", os.path.join(m.top, "missing")], "no executable"),
            (["--binary"], "needs a path"),
            (["--everyone"], "unknown argument"),
        ]:
            result = m.run("install", *arguments)
            self.assertEqual(result.returncode, 1, arguments)
            self.assertIn(message, result.stderr)
        self.assertFalse(os.path.exists(os.path.join(m.home, "Library")))
        self.assertEqual(m.calls(), [])

    def test_uninstall_keeps_the_users_files_unless_purged(self):
        m = self.machine
        self.assertEqual(m.run("install", "--binary", m.builds["1"]).returncode, 0)
        support = os.path.join(m.home, "Library/Application Support/Tavrine")
        logs = os.path.join(m.home, "Library/Logs/Tavrine")
        write(os.path.join(support, "tokens.json"), "{}", 0o600)
        write(os.path.join(support, "bin/tavrine.backup"), "old build", 0o755)
        write(os.path.join(logs, "agent.log"), "a line\n")
        m.forget_calls()

        result = m.run("uninstall")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(m.calls(), ["launchctl bootout gui/%d/%s" % (self.uid, ARGS.label)])
        self.assertFalse(os.path.exists(m.user_plist()))
        self.assertFalse(os.path.exists(os.path.dirname(m.user_program())))
        self.assertTrue(os.path.exists(os.path.join(support, "tokens.json")))
        self.assertTrue(os.path.exists(os.path.join(logs, "agent.log")))

        if self.as_root:
            # Without the tests' root, as root: a per-user uninstall would
            # act in whatever HOME says, through its links. Refused.
            result = m.run("uninstall", "--purge", env={"TAVRINE_INSTALL_ROOT": None})
            self.assertEqual(result.returncode, 1)
            self.assertIn("run it without sudo", result.stderr)
            self.assertTrue(os.path.exists(os.path.join(support, "tokens.json")))

        result = m.run("uninstall", "--user", "--purge")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertFalse(os.path.exists(support))
        self.assertFalse(os.path.exists(logs))
        self.assertTrue(os.path.isdir(os.path.join(m.home, "Library/LaunchAgents")))

    def test_system_uninstall_and_purge_of_every_user(self):
        m = self.machine
        console = 501 if self.as_root else self.uid
        m.console_user(console)
        self.assertEqual(m.run("install", "--system", "--binary", m.builds["1"]).returncode, 0)
        # What an installer package lays down beside the executable.
        write(os.path.join(m.root, "Library/Application Support/Tavrine/share/tavrine/install"), "")
        other = os.path.join(m.root, "Users", "alice")
        for home in (m.home, other):
            write(os.path.join(home, "Library/Logs/Tavrine/agent.log"), "a line\n")
            write(os.path.join(home, "Library/Application Support/Tavrine/tokens.json"), "{}")
            write(os.path.join(home, "Library/Application Support/Kept/file"), "not ours")
        m.forget_calls()

        result = m.run("uninstall", "--system", "--purge")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(m.calls(), ["launchctl bootout gui/%d/%s" % (console, ARGS.label)])
        self.assertFalse(os.path.exists(m.system_plist()))
        self.assertFalse(os.path.exists(os.path.join(m.root, "Library/Application Support/Tavrine")))
        for home in (m.home, other):
            self.assertFalse(os.path.exists(os.path.join(home, "Library/Logs/Tavrine")))
            self.assertFalse(os.path.exists(os.path.join(home, "Library/Application Support/Tavrine")))
            self.assertTrue(os.path.exists(os.path.join(home, "Library/Application Support/Kept/file")))

    def test_root_never_follows_a_users_links(self):
        """Root acts in every home: a link a user planted, or a folder that
        is not theirs, must not lead the system scripts to root's files."""
        m = self.machine
        victim = os.path.join(m.root, "var/root/Library")
        victim_files = [
            os.path.join(victim, "Logs/Tavrine/agent.log"),
            os.path.join(victim, "Application Support/Tavrine/tokens.json"),
            os.path.join(victim, "Application Support/Tavrine/agent.lock"),
            os.path.join(victim, "LaunchAgents", ARGS.label + ".plist"),
        ]
        for path in victim_files:
            write(path, "root's\n", 0o600)
        # (what is planted, where it leads); a target of None is a real
        # folder owned by root instead of the user (needs root).
        cases = [
            ("Library", victim),
            ("Library/Logs", os.path.join(victim, "Logs")),
            ("Library/Logs/Tavrine", os.path.join(victim, "Logs/Tavrine")),
            ("Library/Application Support", os.path.join(victim, "Application Support")),
            ("Library/Application Support/Tavrine", os.path.join(victim, "Application Support/Tavrine")),
            ("Library/LaunchAgents", os.path.join(victim, "LaunchAgents")),
        ]
        if self.as_root:
            cases += [("Library/Logs", None), ("Library/Application Support", None)]
        homes = []
        for number, (planted, target) in enumerate(cases):
            home = os.path.join(m.root, "Users", "user%d" % number)
            os.makedirs(os.path.join(home, os.path.dirname(planted)), exist_ok=True)
            if target is None:
                # Root's own copy of what the purge removes.
                write(os.path.join(home, planted, "Tavrine/tokens.json"), "root's\n")
                write(os.path.join(home, planted, "Tavrine/agent.log"), "root's\n")
            else:
                os.symlink(target, os.path.join(home, planted))
            homes.append((home, planted, target))
            if self.as_root:
                # The user owns the home and everything in it but root's folder.
                for folder, _, files in os.walk(home):
                    if target is None and folder.startswith(os.path.join(home, planted)):
                        continue
                    for path in [folder] + [os.path.join(folder, f) for f in files]:
                        os.lchown(path, 501 + number, 20)
        # One ordinary home beside them still gets its plist removed and is
        # purged.
        plain = os.path.join(m.root, "Users", "plain")
        write(os.path.join(plain, "Library/LaunchAgents", ARGS.label + ".plist"), "")
        write(os.path.join(plain, "Library/Logs/Tavrine/agent.log"), "a line\n")
        write(os.path.join(plain, "Library/Application Support/Tavrine/tokens.json"), "{}")

        result = m.run("install", "--system", "--binary", m.builds["1"])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertTrue(os.path.exists(victim_files[-1]), "root's property list removed")
        self.assertIn("left %s/Library/LaunchAgents alone" % homes[0][0], result.stderr)
        self.assertFalse(os.path.exists(os.path.join(plain, "Library/LaunchAgents", ARGS.label + ".plist")))
        result = m.run("uninstall", "--system", "--purge")
        self.assertEqual(result.returncode, 0, result.stderr)
        for path in victim_files:
            self.assertTrue(os.path.exists(path), path)
            self.assertEqual(read(path), "root's\n", path)
        self.assertFalse(os.path.exists(os.path.join(plain, "Library/Logs/Tavrine")))
        self.assertFalse(os.path.exists(os.path.join(plain, "Library/Application Support/Tavrine")))
        for home, planted, target in homes:
            if target is None:
                self.assertEqual(read(os.path.join(home, planted, "Tavrine/tokens.json")), "root's\n")
                self.assertIn("left %s/%s" % (home, planted), result.stderr)

    def test_the_package_scripts(self):
        m = self.machine
        console = 501 if self.as_root else self.uid
        m.console_user(console)
        m.sessions(console)
        m.lay_down_package("1")
        self.assertEqual(m.run("install", "--system", "--binary", m.builds["1"]).returncode, 0)
        for script in ("preinstall", "postinstall"):
            # On another volume than the running system: nothing happens.
            m.forget_calls()
            result = m.run(script, "/tmp/Tavrine.pkg", "/", "/Volumes/Spare")
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertEqual(m.calls(), [], script)

        # An upgrade: the preinstall stops the agent, the payload replaces
        # the files, the postinstall starts the new build.
        m.forget_calls()
        result = m.run("preinstall", "/tmp/Tavrine.pkg", "/", "/")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(m.calls(), ["launchctl bootout gui/%d/%s" % (console, ARGS.label)])
        m.lay_down_package("2")
        m.forget_calls()
        result = m.run("postinstall", "/tmp/Tavrine.pkg", "/", "/")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(m.calls(), job_calls(console, m.system_plist()))
        self.assert_file(m.system_program(), 0o755, read(m.builds["2"]))

    def test_the_install_tree_installs_itself(self):
        m = self.machine
        prefix = os.path.join(m.top, "prefix")
        result = subprocess.run([ARGS.cmake, "--install", ARGS.build_dir, "--prefix", prefix],
                                capture_output=True, text=True, timeout=120)
        self.assertEqual(result.returncode, 0, result.stderr)
        share = os.path.join(prefix, "share/tavrine")
        self.assertEqual(sorted(os.listdir(share)),
                         ["common.sh", "install", "launch_agent.plist.template", "uninstall"])
        for script in ("install", "uninstall"):
            self.assertTrue(os.access(os.path.join(share, script), os.X_OK), script)
        self.assertTrue(os.access(os.path.join(prefix, "bin/tavrine"), os.X_OK))

        # By default the tree's own executable is the one installed.
        result = m.run("install", packaging=share)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(m.user_program(), "rb") as installed, \
                open(os.path.join(prefix, "bin/tavrine"), "rb") as built:
            self.assertTrue(installed.read() == built.read())


class ProfileAndPackage(unittest.TestCase):
    UUID = re.compile(r"^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$")

    def check_payload(self, payload, payload_type):
        self.assertEqual(payload["PayloadType"], payload_type)
        self.assertTrue(payload["PayloadIdentifier"].startswith(ARGS.label + "."))
        self.assertRegex(payload["PayloadUUID"], self.UUID)
        self.assertEqual(payload["PayloadVersion"], 1)

    def test_the_mdm_profile(self):
        profile = load_plist(os.path.join(ARGS.packaging, "tavrine-managed.mobileconfig"))
        self.assertEqual(profile["PayloadType"], "Configuration")
        self.assertEqual(profile["PayloadIdentifier"], ARGS.label + ".managed")
        self.assertRegex(profile["PayloadUUID"], self.UUID)
        self.assertEqual(profile["PayloadVersion"], 1)
        self.assertEqual(profile["PayloadScope"], "System")
        payloads = {p["PayloadType"]: p for p in profile["PayloadContent"]}
        self.assertEqual(set(payloads), {"com.apple.servicemanagement",
                                         "com.apple.notificationsettings"})
        uuids = [profile["PayloadUUID"]] + [p["PayloadUUID"] for p in payloads.values()]
        self.assertEqual(len(set(uuids)), 3)

        # Managed login items: a rule by the job's label, and by team
        # identifier when the build names a team.
        login_items = payloads["com.apple.servicemanagement"]
        self.check_payload(login_items, "com.apple.servicemanagement")
        rules = login_items["Rules"]
        self.assertIn(("Label", ARGS.label), [(r["RuleType"], r["RuleValue"]) for r in rules])
        for rule in rules:
            self.assertLessEqual(set(rule), {"RuleType", "RuleValue", "Comment"})
            self.assertIn(rule["RuleType"], {"Label", "TeamIdentifier"})
        team = re.search(r"^team_id='(.*)'$", read(os.path.join(ARGS.packaging, "package.conf")),
                         re.M).group(1)
        self.assertEqual([r["RuleValue"] for r in rules if r["RuleType"] == "TeamIdentifier"],
                         [team] if team else [])

        # Notifications of the agent's bundle identifier, as alerts.
        notifications = payloads["com.apple.notificationsettings"]
        self.check_payload(notifications, "com.apple.notificationsettings")
        settings, = notifications["NotificationSettings"]
        documented = {"AlertType", "BadgesEnabled", "BundleIdentifier", "CriticalAlertEnabled",
                      "GroupingType", "NotificationsEnabled", "PreviewType", "ShowInCarPlay",
                      "ShowInLockScreen", "ShowInNotificationCenter", "SoundsEnabled"}
        self.assertLessEqual(set(settings), documented)
        self.assertEqual(settings["BundleIdentifier"], ARGS.label)
        self.assertIs(settings["NotificationsEnabled"], True)
        self.assertIn(settings["AlertType"], (1, 2))

    def package(self, *arguments):
        """Runs scripts/package-macos on this build with stand-ins that
        record pkgbuild, productbuild, codesign and xcrun."""
        standins = os.path.join(self.top, "standins")
        shutil.rmtree(standins, ignore_errors=True)
        os.makedirs(standins)
        env = {
            "PATH": os.pathsep.join([ARGS.fixtures, os.path.dirname(os.path.abspath(ARGS.cmake)),
                                     "/usr/bin", "/bin"]),
            "TAVRINE_STANDIN_DIR": standins,
            "HOME": self.top,
        }
        result = subprocess.run([os.path.join(SOURCE_DIR, "scripts/package-macos"),
                                 "--build-dir", ARGS.build_dir, "--output", self.output,
                                 *arguments], env=env, capture_output=True, text=True, timeout=120)
        log = os.path.join(standins, "calls.log")
        calls = read(log).splitlines() if os.path.exists(log) else []
        return result, calls

    def test_package_macos(self):
        directory = tempfile.TemporaryDirectory(prefix="tavrine-package-")
        self.addCleanup(directory.cleanup)
        self.top = directory.name
        self.output = os.path.join(self.top, "out")
        version = re.search(r"^version='(.*)'$", read(os.path.join(ARGS.packaging, "package.conf")),
                            re.M).group(1)
        product = os.path.join(self.output, "Tavrine-%s.pkg" % version)
        component = os.path.join(self.output, "Tavrine-%s-component.pkg" % version)
        pkgroot = os.path.join(self.output, "pkgroot")
        scripts = os.path.join(self.output, "scripts")

        # Unsigned: a component package with the scripts, then the
        # distribution package around it; nothing signed or notarized.
        result, calls = self.package()
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(calls, [
            "pkgbuild --root %s --install-location / --scripts %s --identifier %s.pkg "
            "--version %s %s" % (pkgroot, scripts, ARGS.label, version, component),
            "productbuild --identifier %s --version %s --package %s %s"
            % (ARGS.label, version, component, product),
        ])
        self.assertTrue(os.path.isfile(product))
        self.assertEqual(sorted(os.listdir(scripts)), ["common.sh", "postinstall", "preinstall"])
        for script in ("preinstall", "postinstall"):
            self.assertTrue(os.access(os.path.join(scripts, script), os.X_OK), script)
        tree = os.path.join(pkgroot, "Library/Application Support/Tavrine")
        self.assertTrue(os.access(os.path.join(tree, "bin/tavrine"), os.X_OK))
        self.assertTrue(os.access(os.path.join(tree, "share/tavrine/install"), os.X_OK))
        self.assertTrue(os.path.isfile(os.path.join(self.output, "tavrine-managed.mobileconfig")))

        # Signed, notarized and stapled, in that order, only with all inputs.
        application = "Developer ID Application: Example Corp (ABCDE12345)"
        installer = "Developer ID Installer: Example Corp (ABCDE12345)"
        result, calls = self.package("--application-identity", application,
                                     "--installer-identity", installer,
                                     "--notary-profile", "tavrine-notary")
        self.assertEqual(result.returncode, 0, result.stderr)
        executable = os.path.join(tree, "bin/tavrine")
        self.assertEqual([call.split(" ")[0:2] for call in calls], [
            ["codesign", "--force"], ["codesign", "--verify"], ["pkgbuild", "--root"],
            ["productbuild", "--identifier"], ["xcrun", "notarytool"], ["xcrun", "stapler"]])
        self.assertEqual(calls[0], "codesign --force --options runtime --timestamp --identifier "
                         "%s --sign %s %s" % (ARGS.label, application, executable))
        self.assertIn("--sign %s --timestamp %s" % (installer, product), calls[3])
        self.assertEqual(calls[4], "xcrun notarytool submit %s --keychain-profile tavrine-notary "
                         "--wait" % product)
        self.assertEqual(calls[5], "xcrun stapler staple %s" % product)

        # A signed package without notarization; notarization without the
        # identities is refused before anything runs.
        result, calls = self.package("--installer-identity", installer)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual([call.split(" ")[0] for call in calls], ["pkgbuild", "productbuild"])
        self.assertIn("--sign " + installer, calls[1])
        result, calls = self.package("--notary-profile", "tavrine-notary")
        self.assertEqual(result.returncode, 1)
        self.assertIn("needs --application-identity and --installer-identity", result.stderr)
        self.assertEqual(calls, [])


class ScriptHygiene(unittest.TestCase):
    """Every script that runs on a Mac runs under its bash 3.2 and passes
    shellcheck."""

    # Constructs that bash 3.2 does not have, found in code (not comments).
    BASH4 = [
        (r"\b(declare|local|typeset)\s+-[a-zA-Z]*[An]", "associative arrays or namerefs"),
        (r"\b(mapfile|readarray|coproc)\b", "bash 4 builtins"),
        (r"\$\{[^}]*(,,|\^\^|@[QEPAa])\}", "case or quoting expansions"),
        (r"\$\{[^}]*\[-[0-9]+\]\}", "negative array subscripts"),
        (r"&>>|\|&", "redirections of bash 4"),
        (r";;&|;&", "case fall-through"),
        (r"\bshopt\s+-s\s+(globstar|lastpipe|autocd)", "bash 4 options"),
        (r"\bwait\s+-n\b|\bread\s+[^|;]*-N\b", "bash 4 options of builtins"),
        (r"\{[0-9]+\.\.[0-9]+\.\.[0-9]+\}", "stepped brace ranges"),
        (r"\bEPOCH(SECONDS|REALTIME)\b|%\([^)]*\)T", "bash 4 and 5 clocks"),
    ]

    def scripts(self):
        names = ["install", "uninstall", "common.sh", "preinstall", "postinstall", "package.conf"]
        return ([os.path.abspath(os.path.join(ARGS.packaging, name)) for name in names]
                + [os.path.join(SOURCE_DIR, "scripts/package-macos")])

    def test_bash_3_2(self):
        for path in self.scripts():
            for number, line in enumerate(read(path).splitlines(), 1):
                # Single-quoted text (sed and awk programs) is no shell code.
                code = re.sub(r"(^|\s)#.*$", "", re.sub(r"'[^']*'", "''", line))
                for pattern, what in self.BASH4:
                    self.assertIsNone(re.search(pattern, code),
                                      "%s:%d uses %s: %s" % (path, number, what, line))

    def test_shellcheck(self):
        shellcheck = shutil.which("shellcheck")
        if shellcheck is None:
            self.skipTest("shellcheck is missing (scripts/bootstrap installs it)")
        result = subprocess.run([shellcheck, "--external-sources", "--severity=style",
                                 *self.scripts()], cwd=ARGS.packaging,
                                capture_output=True, text=True, timeout=120)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)


class InfoPlist(unittest.TestCase):
    def test_bundle_identity(self):
        info = load_plist(ARGS.info_plist)
        self.assertEqual(info["CFBundleIdentifier"], ARGS.label)
        self.assertEqual(info["CFBundleName"], "Tavrine")
        self.assertEqual(info["CFBundleShortVersionString"], "0.2.0")
        self.assertIs(info["LSUIElement"], True)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    for option in ("--packaging", "--fixtures", "--info-plist", "--label", "--cmake", "--build-dir"):
        parser.add_argument(option, required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], "-v", *rest])
