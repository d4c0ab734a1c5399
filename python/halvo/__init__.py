"""halvo: drive the halvo-uvm runtime server from asyncio scripts."""
from . import _halvo
from ._halvo import *  # noqa: F401,F403

