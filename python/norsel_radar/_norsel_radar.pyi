"""The native module (`norsel_radar._norsel_radar`)."""

from typing import List, final

__version__: str
__all__: List[str]

@final
class Radar:
    """A radar instance driven by JSON commands.

    `unsendable`: a handle owns a mutable dataset and spec, so it is bound to the
    thread that created it.
    """

    def __new__(cls, spec_json: str) -> Radar: ...
    def command(self, cmd_json: str) -> str:
        """Apply a command JSON and return the resulting response JSON."""
    @staticmethod
    def version() -> str:
        """The library version."""
