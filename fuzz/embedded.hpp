// embedded.hpp: the interpreter that the fuzz targets going through the
// module itself embed, started once from LLVMFuzzerInitialize.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace velmora::fuzz {

// An isolated interpreter whose objects all come from plain malloc, so that
// the sanitizers see each allocation (pymalloc's arenas would hide overruns
// and leaks), with this build tree's package first on sys.path. `fail` is the
// target's own way to stop, naming the step that went wrong.
inline void start_interpreter(void (*fail)(const char* what)) {
  PyPreConfig pre;
  PyPreConfig_InitIsolatedConfig(&pre);
  pre.allocator = PYMEM_ALLOCATOR_MALLOC;
  if (PyStatus_Exception(Py_PreInitialize(&pre))) fail("pre-initialisation failed");
  PyConfig config;
  PyConfig_InitIsolatedConfig(&config);
  config.site_import = 0;
  config.install_signal_handlers = 0;
  PyStatus status = PyConfig_SetBytesString(&config, &config.home, VELMORA_FUZZ_PYTHON_HOME);
  if (!PyStatus_Exception(status)) status = Py_InitializeFromConfig(&config);
  PyConfig_Clear(&config);
  if (PyStatus_Exception(status)) fail("interpreter initialisation failed");
  PyObject* sys_path = PySys_GetObject("path");  // borrowed
  PyObject* dir = PyUnicode_FromString(VELMORA_FUZZ_PACKAGE_DIR);
  if (!sys_path || !dir || PyList_Insert(sys_path, 0, dir) < 0) fail("sys.path");
  Py_DECREF(dir);
}

}  // namespace velmora::fuzz
