"""The one way the lab's host side waits: until something is there, or a time-out."""
import time


def until(found, timeout, cond=None, ended=None, step=None):
    """The first value of `found()` that is not None; None once `timeout` seconds have
    passed, or once `ended()` holds. With `cond`, a threading.Condition the caller holds,
    it sleeps until notified; without one, it looks again every `step` seconds. Either way
    it looks at least every `step` seconds (0.5 with a condition, 0.05 without)."""
    step = step or (0.5 if cond is not None else 0.05)
    end = time.monotonic() + timeout
    while True:
        value = found()
        if value is not None:
            return value
        left = end - time.monotonic()
        if left <= 0 or (ended is not None and ended()):
            return None
        if cond is not None:
            cond.wait(min(left, step))
        else:
            time.sleep(min(left, step))
