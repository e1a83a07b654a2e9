"""Whether a call releases the interpreter lock while it runs."""
import sys
import threading


def runs_without_the_interpreter_lock(call):
    """True when the main thread gets to run Python code while a worker thread is inside call().

    With a switch interval far beyond the call, the interpreter would not switch away from a worker
    that holds the lock; the main thread runs before the call ends only if the lock was released
    around it (as NumPy does for the loops of a ufunc that hold no Python objects)."""
    inside, done = threading.Event(), []

    def worker():
        inside.set()
        call()
        done.append(True)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    try:
        t = threading.Thread(target=worker)
        t.start()
        inside.wait()
        ran_during_call = not done
        t.join()
    finally:
        sys.setswitchinterval(interval)
    return ran_during_call
