"""velmora: TL serialization and AES for protocol clients.

The work is done by the native module ``velmora.ext``; see its functions.
"""

__version__ = "0.1.0"
