"""pelorin: consolidation settlement of soft soils."""

# --- the analysis layer: object model, simulate, results, case files ----------
from .model import Layer, Loading, ParameterError, Profile, Soil, Stage  # noqa: E402
from .simulate import simulate, time_grid  # noqa: E402
from .result import Result, open_result  # noqa: E402
from .casefile import CaseError, read_case  # noqa: E402

__all__ = list(globals().get("__all__", [])) + ["Soil", "Layer", "Profile", "Stage", "Loading", "ParameterError", "simulate",
           "time_grid", "Result", "open_result", "read_case", "CaseError"]
