// The suggestion the interpreter adds to an unexpected keyword argument's
// TypeError ("Did you mean ...?"), on the versions that make one.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tavrix {

#if PY_VERSION_HEX >= 0x030D0000
// The parameter name of `names` (a tuple of str) closest to `keyword` by the
// interpreter's weighted edit distance, lent by `names`; null when none is
// close enough. Throws only when a comparison fails.
[[nodiscard]] PyObject* suggest_keyword(PyObject* keyword, PyObject* names);
#endif

}  // namespace tavrix
