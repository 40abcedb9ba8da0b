"""Type information for the native module ``tarnivel._core``."""

from collections.abc import Callable, Iterable, Sequence
from typing import Any, SupportsFloat, SupportsIndex, overload

import numpy as np
import numpy.typing as npt

_Sentence = Sequence[str]
# One query vector (1-D) or one per row (2-D): anything numpy.asarray accepts.
_Vector = npt.NDArray[np.floating[Any]] | Sequence[float]
_Matrix = npt.NDArray[np.floating[Any]] | Sequence[Sequence[float]]

class PanicException(BaseException):
    """An internal invariant of the native core failed."""

class Word2Vec:
    """Trainable Word2Vec model supporting Matryoshka levels."""

    def __init__(
        self,
        sentences: Iterable[_Sentence] | None = None,
        vector_size: SupportsIndex = 100,
        window: SupportsIndex = 5,
        min_count: SupportsIndex = 5,
        max_final_vocab: SupportsIndex | None = None,
        workers: SupportsIndex = 1,
        negative: SupportsIndex = 5,
        sg: SupportsIndex = 0,
        hs: SupportsIndex = 0,
        cbow_mean: SupportsIndex = 1,
        levels: Sequence[SupportsIndex] | None = None,
        alpha: SupportsFloat = 0.025,
        min_alpha: SupportsFloat = 0.0001,
        epochs: SupportsIndex = 5,
        verbose: bool = True,
        progress_interval: SupportsFloat = 1.0,
    ) -> None: ...
    def train(
        self,
        corpus_iterable: Iterable[_Sentence],
        total_examples: SupportsIndex | None = None,
        epochs: SupportsIndex | None = None,
        progress: Callable[[int, int], Any] | None = None,
        verbose: bool | None = None,
        progress_interval: SupportsFloat | None = None,
    ) -> None:
        """Train for one or more epochs. Consumes the Python iterator in short
        GIL windows and processes batches in parallel under `allow_threads`."""
    def save(self, path: str) -> None: ...
    @classmethod
    def load(cls, path: str) -> Word2Vec: ...
    @property
    def wv(self) -> KeyedVectors: ...
    @property
    def vector_size(self) -> int: ...
    def save_checkpoint(self, prefix: str) -> None:
        """Save what training needs to continue exactly: the pair save() writes
        (prefix.vocab.json, prefix.npy), the output weights (prefix.output.npy) and the settings, counts
        and Huffman tree (prefix.ckpt)."""
    @classmethod
    def load_checkpoint(cls, prefix: str) -> Word2Vec:
        """The model save_checkpoint(prefix) saved; ValueError naming the file
        when a part is missing, damaged or from another save."""
    @property
    def sample(self) -> float:
        """Subsampling of frequent words: each token of a word with count c is kept with probability
        min(1, (sqrt(c / (sample * N)) + 1) * sample * N / c), N the total count; 0 (default) keeps all."""
    @sample.setter
    def sample(self, value: SupportsFloat) -> None: ...

class KeyedVectors:
    def __init__(self) -> None: ...
    @staticmethod
    def load(path: str, mmap: str | None = None) -> KeyedVectors: ...
    def save(self, path: str) -> None: ...
    def most_similar(
        self, word: str, topn: SupportsIndex | None = None, level: SupportsIndex | None = None
    ) -> list[tuple[str, float]]: ...
    def get_vector(self, key: str, level: SupportsIndex | None = None) -> npt.NDArray[np.float32]: ...
    def __getitem__(self, key: str) -> npt.NDArray[np.float32]: ...
    @property
    def vector_size(self) -> int: ...
    @property
    def vectors(self) -> npt.NDArray[np.float32]: ...
    @property
    def index_to_key(self) -> list[str]: ...
    @property
    def key_to_index(self) -> dict[str, int]: ...
    def __contains__(self, key: object) -> bool: ...
    def __len__(self) -> int: ...
    def get_index(self, key: str) -> int: ...
    def similarity(self, w1: str, w2: str, level: SupportsIndex | None = None) -> float: ...
    @overload
    def similar_by_vector(
        self,
        vector: _Vector,
        topn: SupportsIndex | None = 10,
        level: SupportsIndex | None = None,
        exclude: Iterable[str] = (),
        coarse_level: SupportsIndex | None = None,
        shortlist: SupportsIndex | None = None,
    ) -> list[tuple[str, float]]: ...
    @overload
    def similar_by_vector(
        self,
        vector: _Matrix,
        topn: SupportsIndex | None = 10,
        level: SupportsIndex | None = None,
        exclude: Iterable[str] = (),
        coarse_level: SupportsIndex | None = None,
        shortlist: SupportsIndex | None = None,
    ) -> list[list[tuple[str, float]]]: ...
    def similar_by_words(
        self,
        positive: Iterable[str],
        negative: Iterable[str] = (),
        topn: SupportsIndex | None = 10,
        level: SupportsIndex | None = None,
        coarse_level: SupportsIndex | None = None,
        shortlist: SupportsIndex | None = None,
    ) -> list[tuple[str, float]]: ...
    def doesnt_match(self, words: Iterable[str], level: SupportsIndex | None = None) -> str: ...
    def n_similarity(
        self, words1: Iterable[str], words2: Iterable[str], level: SupportsIndex | None = None
    ) -> float: ...
    @staticmethod
    def from_array(words: Iterable[str], array: _Matrix) -> KeyedVectors:
        """A store of distinct words with a row each; the array is copied (as float32)."""
    def analogy(
        self, a: str, b: str, c: str, topn: SupportsIndex | None = 1, level: SupportsIndex | None = None
    ) -> list[tuple[str, float]]: ...
    def save_word2vec_format(self, path: str, binary: bool = False, level: SupportsIndex | None = None) -> None: ...
    @staticmethod
    def load_word2vec_format(
        path: str, binary: bool = False, limit: SupportsIndex | None = None, errors: str = "strict"
    ) -> KeyedVectors: ...
    def evaluate_word_pairs(
        self,
        path: str,
        level: SupportsIndex | None = None,
        delimiter: str = "\t",
        case_insensitive: bool = True,
    ) -> tuple[float, float, float]: ...
    def evaluate_word_analogies(
        self,
        path: str,
        level: SupportsIndex | None = None,
        restrict_vocab: SupportsIndex = 300000,
        case_insensitive: bool = True,
    ) -> tuple[float, list[dict[str, Any]]]: ...

def set_seed(seed: SupportsIndex) -> None: ...
