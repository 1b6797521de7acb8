// The shared object's only exported symbol.
#include <Python.h>

#include "python/module.h"

PyMODINIT_FUNC PyInit_quorrel() { return quorrel::python::init_quorrel_module(); }
