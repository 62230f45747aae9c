from typing import Optional, Sequence

__all__: list[str]

class Calculator:
    def bias_sum_average(self) -> dict[str, float]: ...
    def bias_asb_sum_average(self) -> dict[str, float]: ...
    def save_summary(self, path: Optional[str] = ...) -> None: ...

def version() -> None: ...
def calculator(
    path: str,
    subspace_seeds: Sequence[Sequence[str]],
    random_token_num: Optional[float] = ...,
    random_token_seed: Optional[int] = ...,
    subspace_folder_path: Optional[str] = ...,
    exclude_words: Optional[Sequence[str]] = ...,
    user_friendly: Optional[bool] = ...,
    pca_dimension: Optional[int] = ...,
) -> Calculator: ...
def visualize(port: Optional[int] = ...) -> None: ...

from .measurement import Measurement as Measurement, measure as measure

class RankDeficiencyWarning(UserWarning): ...
