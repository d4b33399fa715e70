// compute_safe_routes as Python sees it: the method definition from which the
// module makes its function object.
#pragma once

#include "bindings/python.hpp"

namespace velorin {

extern PyMethodDef compute_safe_routes_method;

}  // namespace velorin
