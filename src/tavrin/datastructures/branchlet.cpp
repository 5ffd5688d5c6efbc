// tavrin.datastructures.branchlet: not built yet; the module imports empty.
#include <tavrin/module.hpp>

namespace {

int branchlet_body(PyObject*) { return 0; }

}  // namespace

TAVRIN_MODULE(branchlet, nullptr, branchlet_body)
