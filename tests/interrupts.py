"""Ctrl-C in tests.

A process started in the background by a non-interactive shell (``nohup python -m pytest &``,
some CI runners and schedulers) inherits SIGINT ignored; Python then installs no handler of its
own, and neither ``os.kill(pid, SIGINT)`` nor ``_thread.interrupt_main()`` reaches the code under
test. Every test that waits for an interrupt therefore runs inside `interruptible`: Python's
default SIGINT handler for its duration, and a watchdog that ends the whole test run with a dump
of every thread's stack if the interrupt is never honoured, so that no environment can turn a
failure into a run that hangs until its time limit.
"""

import _thread
import contextlib
import faulthandler
import signal
import threading

import pytest

WATCHDOG_SECONDS = 180


@contextlib.contextmanager
def interruptible(watchdog=WATCHDOG_SECONDS):
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    faulthandler.dump_traceback_later(watchdog, exit=True)
    try:
        yield
    finally:
        faulthandler.cancel_dump_traceback_later()
        signal.signal(signal.SIGINT, previous)


def interrupted(call, after=0.3, interrupt=_thread.interrupt_main):
    """Runs `call` with a Ctrl-C (`interrupt`) delivered to the main thread `after` seconds in;
    returns the KeyboardInterrupt it raised."""
    timer = threading.Timer(after, interrupt)
    with interruptible():
        timer.start()
        try:
            with pytest.raises(KeyboardInterrupt) as caught:
                call()
        finally:
            timer.cancel()
    return caught.value
