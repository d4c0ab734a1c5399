#pragma once
// Everything of Python that the module keeps: made by the first exec step,
// then kept for the life of the process (the module is bound to the main
// interpreter, and outcomes reach Python after the module object is gone).
#include <Python.h>

#include <vector>

namespace halvo::py {

struct ScriptExceptions {
    PyObject* halvo = nullptr;    // HalvoError
    PyObject* refused = nullptr;  // ConsoleRefused
    PyObject* broken = nullptr;   // ConsoleBroken
};

// What the module uses of the standard library; imported when first needed,
// not at import: asyncio alone costs more than the rest of the import.
struct Library {
    PyObject* get_running_loop = nullptr;  // asyncio
    PyObject* copy_context = nullptr;      // contextvars
    PyObject* path = nullptr;              // pathlib.Path
};

struct ModuleState {
    Library library;  // empty until library() first runs
    ScriptExceptions exceptions;
    std::vector<PyTypeObject*> types;  // every class, by the order of definition
};

// With the GIL held, after the exec step.
const ModuleState& state();
// With the GIL held: made on the first call, by the exec step.
ModuleState& make_state();
// With the GIL held: the library's callables, imported on the first call.
const Library& library();

}  // namespace halvo::py
