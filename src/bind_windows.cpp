#include "bindings.h"

void bindWindows(pybind11::module_& /*module*/) {}
