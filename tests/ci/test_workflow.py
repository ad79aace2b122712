#!/usr/bin/env python3
"""The Windows CI workflow against GitHub's workflow schema (@action-validator/cli, installed from the
npm registry into a cache folder once; it works offline then), and each preset it names exists."""
import json
import os
import re
import subprocess
import sys
import tempfile
import unittest

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
WORKFLOW = os.path.join(SOURCE, ".github", "workflows", "windows.yml")
CACHE = os.path.join(os.environ.get("XDG_CACHE_HOME", os.path.expanduser("~/.cache")), "sondrel-action-validator")
VALIDATOR = os.path.join(CACHE, "node_modules", ".bin", "action-validator")


def validate(text):
    with tempfile.NamedTemporaryFile("w", suffix=".yml") as f:
        f.write(text), f.flush()
        return subprocess.run([VALIDATOR, f.name], capture_output=True, text=True, timeout=120)


class Workflow(unittest.TestCase):
    def setUp(self):
        if not os.path.exists(VALIDATOR):
            subprocess.run(["npm", "install", "--prefix", CACHE, "--no-audit", "--no-fund",
                            "@action-validator/cli@0.6.0"], check=True, capture_output=True, timeout=600)
        with open(WORKFLOW) as f:
            self.text = f.read()

    def test_the_workflow_passes_the_schema_a_broken_one_does_not_and_each_preset_it_runs_exists(self):
        result = validate(self.text)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertNotEqual(validate(self.text.replace("    steps:", "    stepz:")).returncode, 0)
        with open(os.path.join(SOURCE, "CMakePresets.json")) as f:
            presets = json.load(f)
        kinds = {"cmake": "configurePresets", "cmake --build": "buildPresets", "ctest": "testPresets"}
        used = re.findall(r"^\s+(?:run: )?(cmake --build|cmake|ctest) --preset (\S+)$", self.text, re.M)
        self.assertEqual({name for _, name in used}, {"windows-msvc", "windows-msvc-release"})
        for command, name in used:
            self.assertIn(name, [p["name"] for p in presets[kinds[command]]], command)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
