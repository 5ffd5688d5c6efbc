// tavrin.datastructures.logic: not built yet; the module imports empty.
#include <tavrin/module.hpp>

namespace {

int logic_body(PyObject*) { return 0; }

}  // namespace

TAVRIN_MODULE(logic, nullptr, logic_body)
