"""repair.py gnu|musl <auditwheel arguments>: auditwheel, told which C library
the wheel is for instead of guessing it from the build machine.

auditwheel takes the machine to be a musl one as soon as /lib holds a
libc.musl-*.so.1 (Alpine's name) and then offers no manylinux policy, and
without one it offers no musllinux policy; this machine builds both kinds. The
musl version is read as auditwheel reads it, by running the C library, here
Debian's musl (its libc.so is also its loader, and says its version)."""

import pathlib
import platform
import sys

from auditwheel import libc
from auditwheel.main import main

kind = sys.argv.pop(1)
chosen = {"gnu": libc.Libc.GLIBC, "musl": libc.Libc.MUSL}[kind]
libc.Libc.detect = staticmethod(lambda: chosen)
musl = pathlib.Path(f"/usr/lib/{platform.machine()}-linux-musl/libc.so")
libc._find_musl_libc = lambda: musl
sys.argv[0] = "auditwheel"
sys.exit(main())
