"""Client of the RX5120 evaluation software's TCP console."""

from .console import Console, ConsoleError

__all__ = ["Console", "ConsoleError"]
