#include <nanobind/nanobind.h>

#include "_pacer/depth_controller.hpp"
#include "common/signatures.hpp"

NB_MODULE(_pacer, m) {
    corvid::pacer::register_depth_controller(m);
    corvid::register_signatures(m);
}
