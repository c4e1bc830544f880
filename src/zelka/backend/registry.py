"""Backends by name.

A backend module registers its single instance when it is loaded.  Looking up one of the
built-in names loads its module on first use, so ``get_backend("cpu")`` works without any
prior import.
"""

import importlib

_BUILTIN_MODULES = {
    "cpu": "zelka.backend.cpu.simulator",
    "fpga": "zelka.backend.fpga.hlsbridge",
}

_backends: dict = {}


def register_backend(instance) -> None:
    """Register `instance` under its `name` (a later registration of the same name replaces it)."""
    _backends[instance.name] = instance


def get_backend(name: str):
    """The backend registered as `name`; KeyError when there is none."""
    if name not in _backends and name in _BUILTIN_MODULES:
        module = _BUILTIN_MODULES[name]
        try:
            importlib.import_module(module)
        except ModuleNotFoundError as exc:
            if exc.name != module:
                raise
    try:
        return _backends[name]
    except KeyError:
        raise KeyError(name) from None


def list_backends() -> list:
    """Names of the backends registered so far."""
    return list(_backends)
