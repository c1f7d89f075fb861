"""Every error of the toolkit, and the exit status each one means.

The bottom of the toolkit's layers: of the toolkit it imports only `text`. One
table, `EXIT_STATUS`, says what an error means, in its order (first match
wins): the runner classes each page's errors by it, and the command line, the
hook and the site integration say whatever stops a whole run by it (`run_error`).
Anything the table does not know is an internal error, with its own exit status.
"""

from __future__ import annotations

from typing import Any, Optional

from brevane_tools.text import display, one_line

__all__ = [
    "EXIT_FAILED",
    "EXIT_INTERNAL",
    "EXIT_OK",
    "EXIT_STATUS",
    "EXIT_USAGE",
    "FetchError",
    "PageFailed",
    "PageTooLarge",
    "SdkUnavailableError",
    "SigningError",
    "SigningFailed",
    "StoreError",
    "StoreLocationError",
    "TrustPolicyError",
    "UsageError",
    "WriteRefused",
    "exit_status",
    "reason",
    "run_error",
]

EXIT_OK = 0
EXIT_FAILED = 1  # some page failed: a check did not pass, or the module refused the page
EXIT_USAGE = 2  # bad arguments, unusable option files, inputs that cannot be read or written
EXIT_INTERNAL = 3  # a fault of the tool itself; --debug shows its traceback


class UsageError(Exception):
    """Bad arguments, unusable option files or unreachable inputs: exit status 2, nothing written."""


class SdkUnavailableError(ImportError):
    """The C2PA SDK binding (`c2pa-python`) is not installed here."""


class PageTooLarge(ValueError):
    """A page over the size limit: that page fails."""


class WriteRefused(OSError):
    """A destination the tool will not replace (a link, a device, a hard-linked file, an owner it cannot keep)."""


class PageFailed(ValueError):
    """One page did not pass (a check failed): exit status 1, with the data to report."""

    def __init__(self, message: str, data: Optional[dict[str, Any]] = None) -> None:
        super().__init__(message)
        self.data = data or {}


class SigningError(ValueError):
    """The signing workflow could not produce a page whose binding holds.

    `detail` is what only --debug shows (a signer command's own words, which may carry secrets).
    """

    def __init__(self, message: str, detail: Optional[str] = None) -> None:
        super().__init__(message)
        self.detail = detail


class TrustPolicyError(UsageError, ValueError):
    """A trust or settings file is unusable: exit status 2."""


class FetchError(ValueError):
    """A page or a store could not be fetched; the message names the URL."""


class StoreLocationError(ValueError):
    """A page's store lies where the tool does not read (outside the site, a file: URL)."""


class StoreError(ValueError):
    """The bytes are not a Manifest Store with a usable data hash binding."""


class SigningFailed(Exception):
    """Some pages of a generated site could not be signed; the message says how many and why."""


#: One page's errors, by exit status; the first matching row wins.
EXIT_STATUS: tuple[tuple[type[BaseException], int], ...] = (
    (SdkUnavailableError, EXIT_USAGE),
    (UsageError, EXIT_USAGE),
    (OSError, EXIT_USAGE),  # InputError, WriteRefused, and what the system says about a file
    (ValueError, EXIT_FAILED),  # PageFailed, SigningError, FetchError, the module's own errors, ...
    (MemoryError, EXIT_FAILED),
)


def exit_status(error: BaseException) -> Optional[int]:
    """The exit status an error of one page means; None for an internal error."""
    return next((status for kind, status in EXIT_STATUS if isinstance(error, kind)), None)


def reason(error: BaseException) -> str:
    """What an error says on its line: for a file, the system's words without the errno and name."""
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return str(error)


def run_error(error: BaseException) -> tuple[int, str]:
    """What an error that stops a whole run before or after its pages means: its exit status, and its
    line (to follow "PROG: ").

    Only input errors stop a run by design (a page's failure is that page's), and say their own words,
    with the file the system names; anything else that does is a fault of the tool, named by its type.
    """
    if exit_status(error) != EXIT_USAGE:
        return EXIT_INTERNAL, f"internal error: {type(error).__name__}: {one_line(str(error))}"
    name = error.filename if isinstance(error, OSError) and error.strerror else None
    return EXIT_USAGE, one_line(f"{display(name)}: {reason(error)}" if isinstance(name, (str, bytes)) else reason(error))
