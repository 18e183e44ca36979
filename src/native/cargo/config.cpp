#include "cargo/config.hpp"

namespace corvid::cargo {

namespace {

// int(os.environ.get(name, default)): a value int() refuses makes the import
// fail, which is the point: a typo in a size must not silently pick a default.
nb::object env_int(const char *name, nb::handle fallback) {
    nb::object raw = nb::module_::import_("os").attr("environ").attr("get")(name, fallback);
    return nb::steal(check(PyNumber_Long(raw.ptr())));
}

// Smallest part, all but the last, that S3-protocol stores accept.
constexpr long long kStoreMinPart = 5LL * 1048576;

// Such stores take every part and refuse the upload only at completion, so a
// smaller configured size costs a whole multipart upload, an abort and the
// same bytes again by the single-PUT route. Other stores (and tests) use
// small parts on purpose, so the size is kept and only named once here.
void warn_if_below_store_minimum(nb::handle logger, nb::handle part_size) {
    nb::object minimum = nb::int_(kStoreMinPart);
    if (!check(PyObject_RichCompareBool(part_size.ptr(), minimum.ptr(), Py_LT))) return;
    logger.attr("warning")(
        "GATEWAY_DATA_MULTIPART_PART_SIZE_BYTES=%d is below 5 MiB: S3-protocol stores refuse "
        "parts under 5 MiB (all but the last) when the upload is completed, after every part was "
        "sent; there each multipart upload is aborted and sent again whole by the single-PUT route",
        part_size);
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
    warn_if_below_store_minimum(m.attr("logger"), m.attr("_DATA_MULTIPART_PART_SIZE"));
}

}  // namespace corvid::cargo
