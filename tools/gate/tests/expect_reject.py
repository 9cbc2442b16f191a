#!/usr/bin/env python3
"""expect_reject.py RULE GATE-COMMAND...: passes when the gate rejects the
image (exit status 1) and names RULE among the reasons."""

import subprocess
import sys

rule, command = sys.argv[1], sys.argv[2:]
run = subprocess.run(command, capture_output=True, text=True)
sys.stdout.write(run.stdout + run.stderr)
if run.returncode != 1 or ("REJECTED [%s]" % rule) not in run.stdout:
    print("expected the gate to reject this image for [%s]; exit status %d"
          % (rule, run.returncode))
    sys.exit(1)
