// tavrin.datastructures.pathtable: not built yet; the module imports empty.
#include <tavrin/module.hpp>

namespace {

int pathtable_body(PyObject*) { return 0; }

}  // namespace

TAVRIN_MODULE(pathtable, nullptr, pathtable_body)
