import logging as logging

_cost_logger: logging.Logger
_UNKNOWN_MODELS_LOGGED: set[str]
MODEL_COSTS: dict[str, dict[str, float]]
MULTIMODAL_COSTS: dict[str, float]
EMBEDDING_COSTS: dict[str, float]
_FREE_PROVIDERS: frozenset[str]

def estimate_cost(model: str, tokens_in: int, tokens_out: int, provider: str = "") -> float: ...
def estimate_embedding_cost(model: str, tokens: int, provider: str = "") -> float: ...
