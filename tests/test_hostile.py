"""Hostile conditions for the native module: one sharp case per fault.

Grouped by theme, one section each: interpreter exit, module state, threads.
New cases go to the section of their theme (or a new section, e.g. bounds).
Cases that need a fresh interpreter run one in a subprocess, which inherits
the environment (the sanitizer runtimes of a sanitized run included).
"""
import subprocess
import sys
import textwrap


def run_python(code, timeout=300):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=timeout)


# Interpreter exit ------------------------------------------------------------

# Daemon threads parked inside hooks (user functions that sleep or never
# return, Python code the hooks call) when the program ends: the interpreter
# ends each of them where it next waits for the GIL, from inside the hook.
EXIT_INSIDE_HOOKS = """
    import threading, time
    import numpy as np
    import kestro

    numbers = kestro.data(np.arange(40.0).reshape(8, 5))
    mixed = kestro.data([[1, "a", 2.5], [2, None, 3.5]] * 20)
    inside = []

    def daemon(hook):
        entered = threading.Event()
        inside.append(entered)
        def run():
            while True:
                hook(entered)
        threading.Thread(target=run, daemon=True).start()

    def sleeper(entered):
        def function(value):
            entered.set()
            time.sleep(0.001)
            return value
        return function

    def spinner(entered):
        def function(value):
            entered.set()
            while True:
                pass
        return function

    def getitem(entered):
        entered.set()
        for _ in range(1000):
            numbers[1, 2]

    def check_every_element(entered):
        entered.set()
        mixed.checkInvariants(level=2)

    def arithmetic_and_copies(entered):
        entered.set()
        (numbers + numbers * 2).copy("numpymatrix")
        numbers.copy("scipycsr")

    daemon(getitem)
    daemon(lambda entered: numbers.copy().transform(sleeper(entered)))
    daemon(lambda entered: numbers.copy().transform(spinner(entered)))
    daemon(lambda entered: mixed.calculate(sleeper(entered)))
    daemon(check_every_element)
    daemon(arithmetic_and_copies)
    for entered in inside:
        assert entered.wait(60)
    time.sleep(0.05)
    print("exiting")
"""


def test_exit_while_daemon_threads_are_inside_hooks():
    for attempt in range(20):
        run = run_python(EXIT_INSIDE_HOOKS)
        assert (attempt, run.returncode, run.stderr, run.stdout) == (attempt, 0, "", "exiting\n")
