from os import PathLike
from typing import Any, Iterable, Literal, Mapping, Optional, Union, overload

import numpy as np
import numpy.typing as npt
import pandas

def chunk_depth(sigma: float = 5.0, *, sigma_max: Optional[float] = None, scales: Optional[int] = None) -> int: ...
@overload
def detect_array(
    darray: Any,
    sigma: float = 5.0,
    *,
    threshold: float = 100.0,
    sigma_max: Optional[float] = None,
    scales: Optional[int] = None,
    polarity: str = "both",
    overlap: float = 0.1,
    stretch: Optional[str] = None,
    border: Optional[str] = None,
    as_dataframe: Literal[False] = False,
    threads: Optional[int] = 1,
) -> np.ndarray: ...
@overload
def detect_array(
    darray: Any,
    sigma: float = 5.0,
    *,
    threshold: float = 100.0,
    sigma_max: Optional[float] = None,
    scales: Optional[int] = None,
    polarity: str = "both",
    overlap: float = 0.1,
    stretch: Optional[str] = None,
    border: Optional[str] = None,
    as_dataframe: Literal[True],
    threads: Optional[int] = 1,
) -> Any: ...
def detect_files(
    paths: Iterable[Union[str, PathLike]],
    sigma: float = 5.0,
    *,
    threshold: float = 100.0,
    sigma_max: Optional[float] = None,
    scales: Optional[int] = None,
    polarity: str = "both",
    overlap: float = 0.1,
    stretch: Optional[str] = None,
    border: Optional[str] = None,
    client: Any = None,
    threads: Optional[int] = 1,
    frames_per_task: int = 250,
    track: Union[float, Mapping[str, Any], None] = None,
) -> pandas.DataFrame: ...
