# Types of the brevane extension module, shipped as a stub-only package so that
# type checkers find them for the compiled module (PEP 561).
#
# The TypedDicts below describe the dictionaries that the module returns; they
# exist for type checkers only. Import them under `if TYPE_CHECKING:`.

from collections.abc import Sequence
from typing import Final, Literal, TypedDict

__all__ = [
    "embed",
    "embed_reference",
    "extract",
    "remove",
    "locate_all",
    "compute_data_hash",
    "verify_data_hash",
    "inline_hash_before_embed",
    "SCRIPT_TYPE",
    "LINK_REL",
    "__version__",
]

HashName = Literal["sha256", "sha384", "sha512"]

class EmbeddedAssociation(TypedDict):
    """A Manifest Store carried inline in a `script` element."""

    start: int
    length: int
    kind: Literal["embedded"]
    store: bytes

class ReferencedAssociation(TypedDict):
    """A Manifest Store referenced by a `link` element."""

    start: int
    length: int
    kind: Literal["referenced"]
    href: str

class DataHashBinding(TypedDict):
    """A `c2pa.hash.data` binding as `compute_data_hash` reports it."""

    alg: HashName
    hash: bytes
    exclusions: list[tuple[int, int]]

SCRIPT_TYPE: Final = "application/c2pa"
LINK_REL: Final = "c2pa-manifest"
__version__: Final[str]

def embed(html: bytes, store: bytes) -> bytes:
    """Embed a Manifest Store inline, as a `script` element in the document head."""

def embed_reference(html: bytes, href: str) -> bytes:
    """Reference an external Manifest Store, as a `link` element in the head."""

def extract(html: bytes) -> EmbeddedAssociation | ReferencedAssociation | None:
    """The document's manifest association, or `None` when it carries none."""

def remove(html: bytes) -> bytes:
    """Remove every C2PA manifest element from the document."""

def locate_all(html: bytes) -> list[tuple[int, int]]:
    """The `(start, length)` byte ranges of every C2PA manifest element in the head."""

def compute_data_hash(html: bytes, alg: str = "sha256") -> DataHashBinding:
    """Compute the `c2pa.hash.data` binding for a document that already carries a manifest."""

def verify_data_hash(
    html: bytes, hash: bytes, exclusions: Sequence[tuple[int, int]], alg: str = "sha256"
) -> None:
    """Verify a `c2pa.hash.data` binding against a document."""

def inline_hash_before_embed(html: bytes, alg: str = "sha256") -> bytes:
    """The hash an inline binding will have once a manifest is embedded."""
