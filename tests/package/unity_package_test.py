"""The package layout check finds each kind of broken layout, accepts the
committed one, and its packed tarball round-trips."""
import importlib.util
import json
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
import unittest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TOOL = os.path.join(REPO, "scripts", "unity-package.py")
spec = importlib.util.spec_from_file_location("unity_package", TOOL)
tool = importlib.util.module_from_spec(spec)
spec.loader.exec_module(tool)


def replace_in(path, old, new):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    assert old in text, (path, old)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text.replace(old, new, 1))


class LayoutCheck(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp()
        self.root = os.path.join(self.tmp, "pkg")
        shutil.copytree(os.path.join(REPO, "unity"), self.root)
        for rel in tool.REQUIRED_WHEN_BUILT:  # stand-ins for the build products
            with open(os.path.join(self.root, rel), "wb") as f:
                f.write(b"x")
        # Built on Linux: no macOS bundle, so package.sh leaves its .meta out.
        os.remove(os.path.join(self.root, "Runtime/Plugins/macOS/zeqtracker.bundle.meta"))

    def tearDown(self):
        shutil.rmtree(self.tmp)

    def path(self, rel):
        return os.path.join(self.root, rel)

    def test_committed_layout_passes(self):
        self.assertEqual(tool.check(os.path.join(REPO, "unity"), False), [])
        self.assertEqual(tool.check(self.root, True), [])

    def test_each_fault_is_reported(self):
        so_meta = "Runtime/Plugins/Linux/x86_64/libzeqtracker.so.meta"
        cases = [
            ("missing meta", lambda: os.remove(self.path("LICENSE.md.meta")), "LICENSE.md has no .meta"),
            ("duplicate guid", lambda: shutil.copy(self.path("README.md.meta"), self.path("CHANGELOG.md.meta")),
             "is also the guid of"),
            ("orphan meta", lambda: shutil.copy(self.path("README.md.meta"), self.path("Runtime/Gone.cs.meta")),
             "Runtime/Gone.cs.meta has no Gone.cs"),
            ("plug-in for two platforms",
             lambda: replace_in(self.path(so_meta), "Standalone: Win64\n    second:\n      enabled: 0",
                                "Standalone: Win64\n    second:\n      enabled: 1"), "enabled for"),
            ("plug-in for another CPU", lambda: replace_in(self.path(so_meta), "CPU: x86_64\n  - first:\n      Standalone: OSX",
                                                          "CPU: x86\n  - first:\n      Standalone: OSX"), "CPU"),
            ("unlisted sample", lambda: os.mkdir(self.path("Samples~/Other")), "Samples~/Other is not listed"),
            ("broken manifest", lambda: replace_in(self.path("package.json"), "{", "{,"), "package.json:"),
            ("missing binary", lambda: os.remove(self.path("Runtime/Plugins/Windows/x86_64/zeqtracker.dll")),
             "zeqtracker.dll is missing"),
        ]
        for name, damage, expected in cases:
            with self.subTest(name):
                self.tearDown()
                self.setUp()
                damage()
                problems = tool.check(self.root, True)
                self.assertTrue(any(expected in p for p in problems), (name, problems))

    def test_meta_guid_depends_only_on_the_path(self):
        self.assertEqual(tool.guid_for("Runtime/New.cs"), tool.guid_for("Runtime/New.cs"))
        self.assertNotEqual(tool.guid_for("Runtime/New.cs"), tool.guid_for("Runtime/Other.cs"))
        with open(os.path.join(REPO, "unity", "Runtime", "ZeqTracker.cs.meta"), encoding="utf-8") as f:
            self.assertIn(tool.guid_for("Runtime/ZeqTracker.cs"), f.read())

    def test_packed_tarball_round_trips(self):
        out = os.path.join(self.tmp, "p.tgz")
        self.assertEqual(tool.cmd_pack([self.root, out]), 0)
        with open(out, "rb") as f:
            first = f.read()
        self.assertEqual(tool.cmd_pack([self.root, out]), 0)
        with open(out, "rb") as f:
            self.assertEqual(first, f.read())  # reproducible bytes
        with tarfile.open(out) as tar:
            self.assertTrue(all(n == "package" or n.startswith("package/") for n in tar.getnames()))
        run = subprocess.run([sys.executable, TOOL, "check", out], capture_output=True, text=True)
        self.assertEqual(run.returncode, 0, run.stdout)


if __name__ == "__main__":
    unittest.main()
