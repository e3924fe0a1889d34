#!/usr/bin/env python3
"""Checks .github/workflows/ci.yml, which runs only where the project is
hosted: it must be valid YAML, run on push and pull request, run the README's
test command on Debian 12 and on both kinds of Mac, keep the test log of a
failed run, and on the Macs build the installer package with
scripts/package-macos (unsigned) and keep it. Exit status 77 (skipped) where
PyYAML is missing."""
import pathlib
import sys

try:
    import yaml
except ImportError:
    print("PyYAML is missing (Debian: python3-yaml)")
    sys.exit(77)

root = pathlib.Path(__file__).resolve().parent.parent
test_command = "scripts/test"
faults = []

readme = (root / "README.md").read_text()
if f"\n{test_command} " not in readme:
    faults.append(f"README.md no longer gives {test_command} as the test command")
if not (root / test_command).is_file():
    faults.append(f"{test_command} is missing")

try:
    workflow = yaml.safe_load((root / ".github/workflows/ci.yml").read_text())
except yaml.YAMLError as error:
    print(f"ci.yml is not valid YAML: {error}")
    sys.exit(1)

# YAML 1.1 reads a bare `on` as true.
triggers = workflow.get("on", workflow.get(True))
if not isinstance(triggers, (dict, list)) or not {"push", "pull_request"} <= set(triggers):
    faults.append(f"triggers are {triggers!r}, not push and pull_request")

systems = set()
for name, job in (workflow.get("jobs") or {}).items():
    runs_on = job.get("runs-on", "")
    matrix = ((job.get("strategy") or {}).get("matrix") or {})
    if runs_on == "${{ matrix.os }}":
        systems.update(matrix.get("os", []))
    elif job.get("container"):
        systems.add(job["container"])
    else:
        systems.add(runs_on)
    steps = job.get("steps") or []
    runs = [step.get("run", "") for step in steps]
    if not any(run.split()[:1] == [test_command] for run in runs):
        faults.append(f"job {name} does not run {test_command}: {runs!r}")
    if not any(step.get("if") == "failure()" and "upload-artifact" in step.get("uses", "")
               for step in steps):
        faults.append(f"job {name} keeps no test log when it fails")
    if not any("actions/checkout" in step.get("uses", "") for step in steps):
        faults.append(f"job {name} checks nothing out")
    if "macos" in str(runs_on) + str(matrix.get("os", "")):
        package = [i for i, run in enumerate(runs) if run.split()[:1] == ["scripts/package-macos"]]
        if not package:
            faults.append(f"job {name} builds no package with scripts/package-macos")
        elif "identity" in runs[package[0]] or "notary" in runs[package[0]]:
            faults.append(f"job {name} signs the package, which needs secrets CI does not have")
        uploads = [i for i, step in enumerate(steps) if "upload-artifact" in step.get("uses", "")
                   and ".pkg" in str((step.get("with") or {}).get("path", ""))
                   and step.get("if") is None]
        if not package or not any(i > package[0] for i in uploads):
            faults.append(f"job {name} does not keep the package it builds")

for wanted in ("debian:12", "macos-14", "macos-13"):
    if wanted not in systems:
        faults.append(f"no job runs on {wanted} (jobs run on {sorted(systems)})")

for fault in faults:
    print(fault)
sys.exit(1 if faults else 0)
