#include <nanobind/nanobind.h>
NB_MODULE(_pacer, m) { m.attr("X") = 1; }
