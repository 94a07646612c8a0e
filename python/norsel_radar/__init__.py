"""A market radar for crypto-derivatives data, driven by JSON commands."""

from ._norsel_radar import Radar, __version__

__all__ = ["__version__", "Radar"]
