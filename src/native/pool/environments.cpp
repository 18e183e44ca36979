#include "pool/environments.hpp"

#include <string>

#include "pool/transport.hpp"

namespace corvid::pool {

using namespace nb::literals;

namespace {

constexpr const char *kEnvPath = "/v1/corporate/environments";

std::string env_path(nb::handle name_or_id) {
    return std::string(kEnvPath) + "/" + path_segment(name_or_id, "name_or_id");
}

nb::object save_environment(nb::handle name, nb::handle pip_packages, nb::handle python_version,
                            nb::handle base_image, nb::handle description, const CallOptions &opts) {
    nb::dict payload;
    payload["name"] = name;
    bool have_packages = !pip_packages.is_none() && check(PyObject_IsTrue(pip_packages.ptr()));
    payload["pip_packages"] = have_packages ? nb::borrow(pip_packages) : nb::object(nb::list());
    payload["python_version"] = python_version;
    payload["base_image"] = base_image;
    payload["description"] = description;
    return send("post", kEnvPath, opts, nb::handle(), payload);
}

}  // namespace

void register_environments(nb::module_ &m) {
    m.def(
        "save_environment",
        [](nb::handle name, nb::handle pip_packages, nb::handle python_version, nb::handle base_image,
           nb::handle description, nb::handle org_id, nb::handle api_key, nb::handle api_url,
           nb::handle timeout) {
            return save_environment(name, pip_packages, python_version, base_image, description,
                                    {org_id, api_key, api_url, timeout});
        },
        "name"_a.none(), nb::kw_only(), "pip_packages"_a.none() = nb::none(),
        "python_version"_a.none() = nb::none(), "base_image"_a.none() = nb::none(),
        "description"_a.none() = nb::none(), "org_id"_a.none() = nb::none(), "api_key"_a.none() = nb::none(),
        "api_url"_a.none() = nb::none(), "timeout"_a.none() = kDefaultTimeout,
        "Save a named package set for later jobs. POST /v1/corporate/environments.");
    m.def(
        "list_environments",
        [](nb::handle org_id, nb::handle api_key, nb::handle api_url, nb::handle timeout) {
            return send("get", kEnvPath, {org_id, api_key, api_url, timeout});
        },
        nb::kw_only(), "org_id"_a.none() = nb::none(), "api_key"_a.none() = nb::none(),
        "api_url"_a.none() = nb::none(), "timeout"_a.none() = kDefaultTimeout,
        "List the team's saved environments. GET /v1/corporate/environments.");
    m.def(
        "get_environment",
        [](nb::handle name_or_id, nb::handle org_id, nb::handle api_key, nb::handle api_url,
           nb::handle timeout) { return send("get", env_path(name_or_id), {org_id, api_key, api_url, timeout}); },
        "name_or_id"_a, nb::kw_only(), "org_id"_a.none() = nb::none(), "api_key"_a.none() = nb::none(),
        "api_url"_a.none() = nb::none(), "timeout"_a.none() = kDefaultTimeout,
        "One saved environment by name or id. GET /v1/corporate/environments/{name_or_id}.");
    m.def(
        "delete_environment",
        [](nb::handle name_or_id, nb::handle org_id, nb::handle api_key, nb::handle api_url,
           nb::handle timeout) {
            return send("delete", env_path(name_or_id), {org_id, api_key, api_url, timeout});
        },
        "name_or_id"_a, nb::kw_only(), "org_id"_a.none() = nb::none(), "api_key"_a.none() = nb::none(),
        "api_url"_a.none() = nb::none(), "timeout"_a.none() = kDefaultTimeout,
        "Delete a saved environment by name or id. DELETE /v1/corporate/environments/{name_or_id}.");
}

}  // namespace corvid::pool
