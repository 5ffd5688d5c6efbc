// tavrin.datastructures.typegetter: not built yet; the module imports empty.
#include <tavrin/module.hpp>

namespace {

int typegetter_body(PyObject*) { return 0; }

}  // namespace

TAVRIN_MODULE(typegetter, nullptr, typegetter_body)
