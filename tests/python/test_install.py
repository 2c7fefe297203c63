"""The package as it is installed and imported: one version with the
programs, and a clear word when Python finds the sources instead."""

import os
import subprocess
import sys

import hessian_maxima as hm

SOURCES = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "python")


def test_version_is_the_command_lines(cli):
    answer = subprocess.run([cli, "--version"], capture_output=True, text=True, check=True).stdout
    assert answer == "hessian-maxima-cli %s\n" % hm.__version__


def test_import_inside_the_source_folder_says_why_it_fails():
    # Python puts the current folder first, so the sources there shadow the
    # built package, which is still on the path.
    run = subprocess.run([sys.executable, "-c", "import hessian_maxima"], cwd=SOURCES,
                         capture_output=True, text=True)
    assert run.returncode != 0
    last_line = run.stderr.strip().splitlines()[-1]
    assert "circular import" not in last_line
    assert last_line.startswith("ImportError: hessian_maxima was imported from its sources in ")
    assert "run Python outside that folder" in last_line
