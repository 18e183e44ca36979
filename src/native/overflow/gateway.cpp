#include "overflow/gateway.hpp"

namespace corvid::overflow {

void close_gateway_session(nb::handle session) {
    try {
        nb::setattr(session, "progress", nb::bool_(false));
        session.attr("__exit__")(nb::none(), nb::none(), nb::none());
    } catch (nb::python_error &e) {
        if (!is_ordinary(e)) throw;
    }
}

void register_gateway(nb::module_ &) {}

}  // namespace corvid::overflow
