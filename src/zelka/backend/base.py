"""The base class every backend derives from."""

from abc import ABC, abstractmethod


class BackendBase(ABC):
    """A backend is registered under its class attribute `name`.

    Every backend validates graphs and describes itself; backends that can run graphs also
    offer ``simulate`` and ``profile``.
    """

    name: str = ""

    @abstractmethod
    def validate(self, graph):
        """Check a graph; returns a ValidationResult."""

    def compile(self, graph, config=None):
        """Compile a graph for this backend's target; returns a HardwareDescriptor."""
        raise NotImplementedError(f"backend {self.name!r} does not compile graphs")

    @abstractmethod
    def get_capabilities(self):
        """The BackendCapabilities of this backend."""

    @abstractmethod
    def get_constraints(self):
        """The HardwareSpec limits of this backend's target."""
