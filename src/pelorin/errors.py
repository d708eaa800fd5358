"""The package's exceptions: a value that cannot be used, a case file that cannot be
read, and a run that cannot go on."""
from __future__ import annotations

from typing import Any, Optional

__all__ = ["ParameterError", "CaseError", "ConvergenceError"]


class ParameterError(ValueError):
    """A parameter of the model is missing or out of range.

    Attributes
    ----------
    owner : str
        The kind of value that refused it ("Soil", "Layer", ...), or the
        function it was given to ("simulate", "sweep").
    parameter : str
        The parameter's name, as written in Python and in case files.
    problem : str
        What is wrong and what is expected, without the owner or the name.
    phrase : str
        The message without the owner: usually ``f"{parameter} {problem}"``.
    index : int or None
        For a parameter of one item of a sequence (``stages[2].time``): the
        item's position; `key` is then the item's field ("time").
    """

    def __init__(self, owner: str, parameter: str, problem: str, *,
                 phrase: Optional[str] = None, index: Optional[int] = None,
                 key: Optional[str] = None):
        self.owner, self.parameter, self.problem = owner, parameter, problem
        self.phrase = phrase if phrase is not None else f"{parameter} {problem}"
        self.index, self.key = index, key
        super().__init__(f"{owner}: {self.phrase}" if owner else self.phrase)

    def __reduce__(self) -> Any:
        return (_rebuild, (type(self), self.__dict__.copy(), str(self)))


def _rebuild(cls: type[ParameterError], state: dict, message: str) -> ParameterError:
    err = cls.__new__(cls)
    ValueError.__init__(err, message)
    err.__dict__.update(state)
    return err


class CaseError(ParameterError):
    """A case file cannot be read or holds a value that cannot be used.

    The message names the file, the key and what is expected; `parameter`
    and `problem` are those of the value refused, when there is one."""

    def __init__(self, message: str, *, parameter: str = "", problem: str = ""):
        super().__init__("", parameter, problem, phrase=message)


class ConvergenceError(RuntimeError):
    """A run that cannot go on.

    `partial` is the Dataset up to the last output time reached, `time` the
    time at which no sub-step could be accepted, `element` the element that
    held the last step back (None if none did in particular) and `quantity`
    what of it ("pore pressure", "settlement", "effective stress", "void
    ratio", "permeability" or "Newton correction").  From `simulate`, `result` is a `Result`
    of the times reached (None when there are none).
    """

    def __init__(self, message: str, partial: Any, time: float,
                 element: Optional[int] = None, quantity: str = ""):
        super().__init__(message)
        self.partial = partial
        self.time = time
        self.element = element
        self.quantity = quantity
        self.result: Any = None
