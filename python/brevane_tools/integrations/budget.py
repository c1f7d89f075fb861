"""Limits of the signing middleware that protect its process: new signatures a second, log lines a reason.

Anyone who can vary a URL can ask for new pages: each one signed costs a
signature (milliseconds of CPU, or a call to a key service), so a process
signs at most so many a second, and says so in one log line now and then.
"""

from __future__ import annotations

import threading
from typing import Callable, Optional

__all__ = ["LogThrottle", "SigningBudget"]


class SigningBudget:
    """At most `rate` new signatures a second, a second's worth at once (a token bucket)."""

    def __init__(self, rate: float, clock: Callable[[], float]) -> None:
        self.rate, self.clock = rate, clock
        self.capacity = max(rate, 1.0)
        self.tokens, self.last = self.capacity, clock()
        self.lock = threading.Lock()

    def take(self) -> bool:
        with self.lock:
            now = self.clock()
            self.tokens = min(self.capacity, self.tokens + max(0.0, now - self.last) * self.rate)
            self.last = now
            if self.tokens < 1:
                return False
            self.tokens -= 1
            return True


class LogThrottle:
    """One log line per reason every `every` seconds, however many pages it concerns: a flood
    of requests must not become a flood of log lines."""

    def __init__(self, clock: Callable[[], float], every: float = 10.0) -> None:
        self.clock, self.every = clock, every
        self.seen: dict[str, tuple[float, int]] = {}  # reason -> (when last logged, pages held back since)
        self.lock = threading.Lock()

    def allow(self, reason: str) -> Optional[int]:
        """None: hold the line back; else log it, with the number of lines held back before it."""
        with self.lock:
            now = self.clock()
            last, held = self.seen.get(reason, (float("-inf"), 0))
            if now - last < self.every:
                self.seen[reason] = (last, held + 1)
                return None
            self.seen[reason] = (now, 0)
            return held
