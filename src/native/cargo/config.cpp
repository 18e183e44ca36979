#include "cargo/config.hpp"

namespace corvid::cargo {

namespace {

// int(os.environ.get(name, default)): a value int() refuses makes the import
// fail, which is the point: a typo in a size must not silently pick a default.
nb::object env_int(const char *name, nb::handle fallback) {
    nb::object raw = nb::module_::import_("os").attr("environ").attr("get")(name, fallback);
    return nb::steal(check(PyNumber_Long(raw.ptr())));
}

}  // namespace

void register_config(nb::module_ &m) {
    m.attr("_DEFAULT_SIZE_THRESHOLD") = nb::int_(52428800);
    m.attr("_DATA_MULTIPART_THRESHOLD") =
        env_int("GATEWAY_DATA_MULTIPART_THRESHOLD_BYTES", nb::int_(134217728));
    m.attr("_DATA_MULTIPART_PART_SIZE") =
        env_int("GATEWAY_DATA_MULTIPART_PART_SIZE_BYTES", nb::int_(67108864));
    m.attr("_DATA_MULTIPART_MAX_PARTS") = nb::int_(10000);
    m.attr("_DATA_UPLOAD_CONCURRENCY") = env_int("GATEWAY_DATA_UPLOAD_CONCURRENCY", nb::str("4"));
    m.attr("_DATA_UPLOAD_MAX_RETRIES") = env_int("GATEWAY_DATA_UPLOAD_MAX_RETRIES", nb::str("5"));
    m.attr("logger") = get_logger(kLogger);
}

}  // namespace corvid::cargo
