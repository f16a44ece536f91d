#include "bindings.h"

void bindCounting(pybind11::module_& /*module*/) {}
