"""Client of the RX5120 evaluation software's TCP console."""

from .console import Console, ConsoleError

__version__ = "1.1.0"

__all__ = ["Console", "ConsoleError"]
