// Fuzzes Session.decrypt through the package, as fuzz_unpack does unpack:
// each input becomes a frame sealed with the session's key by the server's
// side (so that it passes the envelope and reaches the checks and the
// decoder), its first bytes choosing the msg_id and seq_no and the rest its
// body; the input itself is decrypted too, as a frame from anywhere. Some
// inputs are sent first, so that answers find requests pending. Nothing may
// crash, and the only exception allowed is ValueError (SecurityError is one).
#include "embedded.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

PyObject* g_step = nullptr;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "fuzz_session: %s\n", what);
  if (PyErr_Occurred()) PyErr_Print();
  std::abort();
}

constexpr const char* kSetUp = R"(
from velmora import message
from velmora.session import Session

KEY = bytes(range(256))
T = 1700000000
session = Session(KEY, session_id=7, clock=lambda: T + 0.5)
count = [0]

def step(data):
    count[0] += 1
    head, body = data[:4].ljust(4, b"\0"), data[4:]
    body = body[:len(body) // 4 * 4]
    msg_id = (T << 32) + 8 * count[0] + (1 if head[0] & 1 else 3)
    if head[1] & 1:
        msg_id = int.from_bytes(body[:8].ljust(8, b"\0"), "little")
    if head[3] & 1:
        session.encrypt(body)
    frame = message.encrypt(KEY, 0, 7, msg_id, head[2], body, sender="server")
    for f in (frame, data):
        try:
            session.decrypt(f)
        except ValueError:
            pass
    session.acks()
    session.pending()
)";

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  velmora::fuzz::start_interpreter(fail);
  PyObject* main = PyImport_AddModule("__main__");  // borrowed
  PyObject* globals = main ? PyModule_GetDict(main) : nullptr;
  PyObject* done = globals ? PyRun_String(kSetUp, Py_file_input, globals, globals) : nullptr;
  if (!done) fail("set-up code");
  Py_DECREF(done);
  g_step = PyDict_GetItemString(globals, "step");  // borrowed; __main__ keeps it
  if (!g_step) fail("no step");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  PyObject* input = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data),
                                              static_cast<Py_ssize_t>(size));
  if (!input) fail("out of memory");
  PyObject* out = PyObject_CallOneArg(g_step, input);
  Py_DECREF(input);
  if (!out) fail("Session raised something other than ValueError");
  Py_DECREF(out);
  return 0;
}
