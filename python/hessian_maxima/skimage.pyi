from typing import Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

LOG_RESPONSE_PER_SQUARED: float
DOH_RESPONSE_PER_DOH: float

def blob_log(
    image: npt.ArrayLike,
    min_sigma: Union[float, Sequence[float]] = 1,
    max_sigma: Union[float, Sequence[float]] = 50,
    num_sigma: int = 10,
    threshold: Optional[float] = 0.2,
    overlap: float = 0.5,
    log_scale: bool = False,
    *,
    threshold_rel: Optional[float] = None,
    exclude_border: Union[bool, int, Tuple[int, int]] = False,
) -> npt.NDArray[np.float64]: ...
def blob_doh(
    image: npt.ArrayLike,
    min_sigma: float = 1,
    max_sigma: float = 30,
    num_sigma: int = 10,
    threshold: Optional[float] = 0.01,
    overlap: float = 0.5,
    log_scale: bool = False,
    *,
    threshold_rel: Optional[float] = None,
) -> npt.NDArray[np.float64]: ...
