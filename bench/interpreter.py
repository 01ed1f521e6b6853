"""Which interpreter runs the benchmarks, and what its build says of itself.

Profile-guided optimisation and link-time optimisation are read from the
interpreter's own build configuration (sysconfig), never assumed: "yes" when
configure's switch or the compiler flag is recorded there, "not stated"
otherwise (a distribution may build with them and not record it).
"""

import platform
import sys
import sysconfig

_FLAG_VARS = ("CONFIG_ARGS", "PY_CFLAGS", "PY_CFLAGS_NODIST", "PY_CORE_CFLAGS", "PY_LDFLAGS_NODIST",
              "CFLAGS_NODIST", "LDFLAGS_NODIST")


def _stated(configure_switch, compiler_flag):
    texts = [sysconfig.get_config_var(k) or "" for k in _FLAG_VARS]
    for name, text in zip(_FLAG_VARS, texts):
        if configure_switch in text or compiler_flag in text:
            return f"yes ({name} has {configure_switch if configure_switch in text else compiler_flag})"
    return "not stated"


def describe():
    where = getattr(sys, "_base_executable", sys.executable)
    if sys.prefix != sys.base_prefix:
        where += f" (venv {sys.prefix})"
    return (f"interpreter: {platform.python_implementation()} {platform.python_version()} at {where}\n"
            f"  built with {platform.python_compiler()}; PGO: {_stated('--enable-optimizations', '-fprofile-use')};"
            f" LTO: {_stated('--with-lto', '-flto')}")
