// Shared declarations of the corvid.cargo module.
#pragma once
#include <nanobind/nanobind.h>

#include <utility>

#include "common/compat.hpp"
#include "common/gil.hpp"
#include "common/log.hpp"

namespace corvid::cargo {
namespace nb = nanobind;

inline constexpr const char *kLogger = "corvid.cargo";

// DataOffloader's methods are spread over several files (routes, multipart);
// each attaches its methods to the class with this helper after
// register_offloader has created it. Methods take `nb::handle self` first and
// call each other through attribute look-up on self.
template <typename Func, typename... Extra>
void def_offloader_method(nb::module_ &m, const char *name, Func &&f, const Extra &...extra) {
    nb::object cls = m.attr("DataOffloader");
    nb::setattr(cls, name,
                nb::cpp_function(std::forward<Func>(f), nb::name(name), nb::is_method(),
                                 nb::scope(cls), extra...));
}

}  // namespace corvid::cargo
