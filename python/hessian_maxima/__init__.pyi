from os import PathLike
from typing import Any, Literal, Mapping, Optional, TypeVar, Union

import numpy as np
import numpy.typing as npt

__version__: str
FEATURE_DTYPE: np.dtype
FRAME_FEATURE_DTYPE: np.dtype
BLOB_RADIUS_PER_SIGMA: float
TRACK_SUMMARY_DTYPE: np.dtype
DIFFUSION_LAGS: int
REFINE_FIELDS: tuple
SPOT_FIT_MAX_RADIUS: int

class ImageError(OSError, ValueError): ...

def detect(
    image: npt.ArrayLike,
    sigma: float = 5.0,
    *,
    threshold: float = 100.0,
    sigma_max: Optional[float] = None,
    scales: Optional[int] = None,
    polarity: str = "both",
    overlap: float = 0.1,
    stretch: Optional[str] = None,
    border: Optional[str] = None,
    threads: Optional[int] = None,
    track: Union[float, Mapping[str, Any], None] = None,
) -> np.ndarray: ...
def response(
    image: npt.ArrayLike, sigma: float = 5.0, *, stretch: Optional[str] = None, threads: Optional[int] = None
) -> npt.NDArray[np.float32]: ...
def load(
    path: Union[str, PathLike], stretch: Optional[str] = None, *, luma: bool = False, autorotate: bool = True
) -> npt.NDArray[np.uint8]: ...

class Frame(NamedTuple):
    index: int
    time: Optional[float]
    image: npt.NDArray[np.uint8]

def frames(
    path: Union[str, PathLike],
    frames: Union[None, slice, range, str] = None,
    *,
    stretch: Optional[str] = None,
    luma: bool = False,
    autorotate: bool = True,
) -> Iterator[Frame]: ...
def prune(features: np.ndarray, overlap: float = 0.1) -> np.ndarray: ...
def kernel_radius(sigma: float, *, sigma_max: Optional[float] = None, scales: Optional[int] = None) -> int: ...

_Table = TypeVar("_Table")

def refine(
    image: npt.ArrayLike, features: _Table, *, radius: Optional[int] = None, stretch: Optional[str] = None
) -> _Table: ...

def link(
    features: _Table,
    max_distance: float,
    *,
    gap: int = 0,
    min_length: int = 1,
    motion: Optional[Literal["none", "velocity", "kalman"]] = None,
) -> _Table: ...
def track_summary(tracks: _Table) -> _Table: ...
