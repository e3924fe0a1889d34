#!/usr/bin/env python3
"""The macOS packaging, exercised on any POSIX machine: the launch agent's
property list, the install and uninstall scripts (run as real processes with a
stand-in launchctl, a temporary file-system root and HOME), the install tree
of `cmake --install`, and the executable's Info.plist.

    packaging_test.py --packaging DIR --fixtures DIR --info-plist FILE
                      --label LABEL --cmake CMAKE --build-dir DIR [TestClass ...]
"""
import argparse
import os
import plistlib
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

ARGS = None

LAUNCH_AGENT_KEYS = {
    "Label", "ProgramArguments", "RunAtLoad", "KeepAlive", "StartInterval",
    "LimitLoadToSessionType", "ProcessType", "AbandonProcessGroup",
}


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

    def close(self):
        self._dir.cleanup()

    def run(self, script, *arguments, packaging=None):
        env = {
            "PATH": "/nonexistent",  # the scripts name every tool by its path
            "HOME": self.home,
            "TAVRINE_INSTALL_ROOT": self.root,
            "TAVRINE_LAUNCHCTL": os.path.join(ARGS.fixtures, "launchctl"),
            "TAVRINE_STANDIN_DIR": self.standins,
        }
        return subprocess.run([os.path.join(packaging or ARGS.packaging, script), *arguments],
                              env=env, capture_output=True, text=True, timeout=60)

    def calls(self):
        path = os.path.join(self.standins, "calls.log")
        return read(path).splitlines() if os.path.exists(path) else []

    def answer(self, key, status):
        write(os.path.join(self.standins, key + ".status"), "%d\n" % status)

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
        self.assertEqual(job["ProcessType"], "Interactive")
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
        job = load_plist(machine.system_plist())
        self.check_job(job, machine.system_program())
        self.assertEqual(set(job), LAUNCH_AGENT_KEYS, "a system-wide job names no user's file")


class InstallAndUninstall(unittest.TestCase):
    def setUp(self):
        self.machine = Machine()
        self.addCleanup(self.machine.close)
        self.uid = os.getuid()

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
        expected = ["launchctl bootout gui/%d/%s" % (self.uid, ARGS.label),
                    "launchctl bootstrap gui/%d %s" % (self.uid, m.user_plist())]
        self.assertEqual(m.calls(), expected)
        self.assertFalse(os.path.exists(os.path.join(m.root, "Library")), "a system path was used")

        # Again, with a newer build: the job is stopped before the swap.
        m.answer("launchctl-bootout", 0)
        result = m.run("install", "--user", "--binary", m.builds["2"])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assert_file(m.user_program(), 0o755, read(m.builds["2"]))
        self.assertEqual(m.calls(), expected * 2)
        bin_dir = os.path.dirname(m.user_program())
        self.assertEqual(sorted(os.listdir(bin_dir)), ["tavrine"])
        self.assertEqual(sorted(os.listdir(os.path.dirname(m.user_plist()))),
                         [ARGS.label + ".plist"])

    def test_system_install_starts_the_agent_only_for_a_console_user(self):
        m = self.machine
        as_root = os.geteuid() == 0
        console = 501 if as_root else self.uid
        m.console_user(console)
        result = m.run("install", "--system", "--binary", m.builds["1"])
        self.assertEqual(result.returncode, 0, result.stderr)
        owner = 0 if as_root else None
        self.assert_file(m.system_program(), 0o755, read(m.builds["1"]), owner)
        self.assertEqual(mode_of(os.path.dirname(m.system_program())), 0o755)
        self.assert_file(m.system_plist(), 0o644, owner=owner)
        self.assertEqual(m.calls(), ["launchctl bootout gui/%d/%s" % (console, ARGS.label),
                                     "launchctl bootstrap gui/%d %s" % (console, m.system_plist())])
        self.assertFalse(os.path.exists(os.path.join(m.home, "Library")), "a user path was used")
        if not as_root:
            return  # handing the console to root needs root

        # At the login window (root owns the console): nothing to start now.
        os.unlink(os.path.join(m.standins, "calls.log"))
        m.console_user(0)
        result = m.run("install", "--system", "--binary", m.builds["2"])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("next login", result.stdout)
        self.assert_file(m.system_program(), 0o755, read(m.builds["2"]))
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

        # launchctl refusing the job fails the install, and says so.
        m.answer("launchctl-bootstrap", 5)
        result = m.run("install", "--binary", m.builds["1"])
        self.assertEqual(result.returncode, 1)
        self.assertIn("launchctl could not start " + ARGS.label, result.stderr)

    def test_uninstall_keeps_the_users_files_unless_purged(self):
        m = self.machine
        self.assertEqual(m.run("install", "--binary", m.builds["1"]).returncode, 0)
        support = os.path.join(m.home, "Library/Application Support/Tavrine")
        logs = os.path.join(m.home, "Library/Logs/Tavrine")
        write(os.path.join(support, "tokens.json"), "{}", 0o600)
        write(os.path.join(support, "bin/tavrine.backup"), "old build", 0o755)
        write(os.path.join(logs, "agent.log"), "a line\n")
        os.unlink(os.path.join(m.standins, "calls.log"))

        result = m.run("uninstall")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(m.calls(), ["launchctl bootout gui/%d/%s" % (self.uid, ARGS.label)])
        self.assertFalse(os.path.exists(m.user_plist()))
        self.assertFalse(os.path.exists(os.path.dirname(m.user_program())))
        self.assertTrue(os.path.exists(os.path.join(support, "tokens.json")))
        self.assertTrue(os.path.exists(os.path.join(logs, "agent.log")))

        result = m.run("uninstall", "--user", "--purge")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertFalse(os.path.exists(support))
        self.assertFalse(os.path.exists(logs))
        self.assertTrue(os.path.isdir(os.path.join(m.home, "Library/LaunchAgents")))

    def test_system_uninstall_and_purge_of_every_user(self):
        m = self.machine
        console = 501 if os.geteuid() == 0 else self.uid
        m.console_user(console)
        self.assertEqual(m.run("install", "--system", "--binary", m.builds["1"]).returncode, 0)
        # What an installer package lays down beside the executable.
        write(os.path.join(m.root, "Library/Application Support/Tavrine/share/tavrine/install"), "")
        other = os.path.join(m.root, "Users", "alice")
        for home in (m.home, other):
            write(os.path.join(home, "Library/Logs/Tavrine/agent.log"), "a line\n")
            write(os.path.join(home, "Library/Application Support/Tavrine/tokens.json"), "{}")
            write(os.path.join(home, "Library/Application Support/Kept/file"), "not ours")
        os.unlink(os.path.join(m.standins, "calls.log"))

        result = m.run("uninstall", "--system", "--purge")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(m.calls(), ["launchctl bootout gui/%d/%s" % (console, ARGS.label)])
        self.assertFalse(os.path.exists(m.system_plist()))
        self.assertFalse(os.path.exists(os.path.join(m.root, "Library/Application Support/Tavrine")))
        for home in (m.home, other):
            self.assertFalse(os.path.exists(os.path.join(home, "Library/Logs/Tavrine")))
            self.assertFalse(os.path.exists(os.path.join(home, "Library/Application Support/Tavrine")))
            self.assertTrue(os.path.exists(os.path.join(home, "Library/Application Support/Kept/file")))

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
