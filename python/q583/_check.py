"""Argument checks shared by the package: a wrong type raises TypeError, and
numpy scalars pass wherever Python numbers do."""

from __future__ import annotations

import numbers
import os
from typing import Any, Optional, Sequence, Tuple

import numpy as np

__all__ = ["integer", "real", "text", "flag", "path", "integers"]


def _type_error(name: str, wanted: str, value: Any) -> TypeError:
    return TypeError(f"{name} must be {wanted}, not {type(value).__name__} ({value!r})")


def integer(name: str, value: Any) -> int:
    """value as an int: Python or numpy integers; bool is refused (a flag is
    not a number here)."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise _type_error(name, "an integer", value)
    return int(value)


def real(name: str, value: Any) -> float:
    """value as a float: Python or numpy integers and floats, not bool."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise _type_error(name, "a number", value)
    return float(value)


def text(name: str, value: Any) -> str:
    if not isinstance(value, str):
        raise _type_error(name, "a str", value)
    return value


def flag(name: str, value: Any) -> bool:
    if not isinstance(value, (bool, np.bool_)):
        raise _type_error(name, "True or False", value)
    return bool(value)


def path(name: str, value: Any) -> Optional[str]:
    """None, or a str or os.PathLike as a str."""
    if value is None:
        return None
    if not isinstance(value, (str, os.PathLike)):
        raise _type_error(name, "a path (str or os.PathLike)", value)
    return os.fspath(value)


def integers(name: str, values: Any) -> Tuple[int, ...]:
    """A sequence of integers (a str or bytes is not one)."""
    if isinstance(values, (str, bytes)) or not isinstance(values, (Sequence, np.ndarray)):
        raise _type_error(name, "a sequence of integers", values)
    return tuple(integer(f"{name}[{i}]", v) for i, v in enumerate(values))

