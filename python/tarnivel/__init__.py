"""Word2Vec training with Matryoshka levels: every prefix of a trained vector is itself an embedding."""

from importlib.metadata import PackageNotFoundError, version as _version

from tarnivel._core import KeyedVectors, Word2Vec, set_seed
from tarnivel.corpus import LineSentence

try:
    __version__ = _version("tarnivel")
except PackageNotFoundError:  # running from a source tree without installed metadata
    __version__ = "0+unknown"

__all__ = ["KeyedVectors", "LineSentence", "Word2Vec", "set_seed", "__version__"]
