"""Client of the RX5120 evaluation software's TCP console and of the virtual kit."""

from .console import (AdapterError, AnswerTooLargeError, BusyError, CommandError, Console,
                      ConsoleError, ExpectError, NackError)
from .kit import Kit, KitError

__version__ = "1.1.0"

__all__ = ["AdapterError", "AnswerTooLargeError", "BusyError", "CommandError", "Console", "ConsoleError", "ExpectError", "Kit",
           "KitError", "NackError", "__version__"]
