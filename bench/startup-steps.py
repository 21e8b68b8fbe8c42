#!/usr/bin/env python3
"""Median time of each engine start-up step ("[STARTUP-AE x.xxxs] step") over N launches of
`quorvelle --bridge-stdio`, each with a fresh HOME (a first start: the default path). The program
is ended as a front end ends it: stdin closed once BACKEND_READY is out.

    python3 bench/startup-steps.py [build-dir] [launches]

The audio server in force is whatever JACK_DEFAULT_SERVER names (none: the ALSA default path)."""
import os
import re
import statistics
import subprocess
import sys
import tempfile
import threading

build = sys.argv[1] if len(sys.argv) > 1 else "build"
launches = int(sys.argv[2]) if len(sys.argv) > 2 else 10
step_line = re.compile(r"\[STARTUP-AE (\d+\.\d+)s\] (.*)")

times = {}
order = []
for launch in range(launches):
    with tempfile.TemporaryDirectory() as home:
        env = dict(os.environ, HOME=home)
        program = subprocess.Popen([os.path.join(build, "quorvelle"), "--bridge-stdio"], stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, text=True)
        errors = []
        reader = threading.Thread(target=lambda: errors.extend(program.stderr))
        reader.start()
        for line in program.stdout:
            if '"BACKEND_READY"' in line:
                break
        program.stdin.close()
        program.stdout.read()
        program.wait(timeout=60)
        reader.join()
        for line in errors:
            match = step_line.search(line)
            if match:
                seconds, step = float(match.group(1)), match.group(2).strip()
                step = re.sub(r"restored=\w+", "restored=…", step)
                if step not in times:
                    times[step] = []
                    order.append(step)
                times[step].append(seconds)

print(f"median of {launches} launches (JACK_DEFAULT_SERVER={os.environ.get('JACK_DEFAULT_SERVER', '')!r})")
for step in order:
    print(f"{statistics.median(times[step]):8.3f} s  {step}  (n={len(times[step])})")
