# The compiled half of vandrel; the package's functions are the ones to call.
from typing import Callable, Optional

import numpy as np

__version__: str
max_threads: int

def denoise(points: np.ndarray, sigma: Optional[float], density: Optional[float], threads: Optional[int],
            console: Optional[Callable[[str], object]],
            progress: Optional[Callable[[str, int, int], object]]) -> np.ndarray: ...
def estimate_sigma(points: np.ndarray) -> float: ...
def estimate_density(points: np.ndarray) -> float: ...
