// tavrin.datastructures.wispseq: not built yet; the module imports empty.
#include <tavrin/module.hpp>

namespace {

int wispseq_body(PyObject*) { return 0; }

}  // namespace

TAVRIN_MODULE(wispseq, nullptr, wispseq_body)
