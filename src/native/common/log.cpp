#include "common/log.hpp"

namespace corvid {

nb::object get_logger(const char *name) {
    return nb::module_::import_("logging").attr("getLogger")(name);
}

}  // namespace corvid
