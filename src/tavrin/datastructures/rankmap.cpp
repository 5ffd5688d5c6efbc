// tavrin.datastructures.rankmap: not built yet; the module imports empty.
#include <tavrin/module.hpp>

namespace {

int rankmap_body(PyObject*) { return 0; }

}  // namespace

TAVRIN_MODULE(rankmap, nullptr, rankmap_body)
