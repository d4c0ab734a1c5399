"""halvo: drive the halvo-uvm runtime server from asyncio scripts."""
from . import _halvo
from ._halvo import *  # noqa: F401,F403

__all__ = [name for name in dir(_halvo) if not name.startswith("_")]
