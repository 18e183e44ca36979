#include "pool/data_pool.hpp"

#include <string>

#include "pool/transport.hpp"

namespace corvid::pool {

using namespace nb::literals;

namespace {

constexpr const char *kPoolPath = "/v1/corporate/data-pool";

nb::list as_list(nb::handle value) { return nb::steal<nb::list>(check(PySequence_List(value.ptr()))); }

nb::object share(nb::handle shas, nb::handle job_id, nb::handle relpaths, nb::handle cargo,
                 nb::handle dataset, const CallOptions &opts) {
    nb::dict payload;
    if (truthy(shas)) payload["shas"] = as_list(shas);
    if (truthy(job_id)) payload["job_id"] = job_id;
    if (truthy(relpaths)) payload["relpaths"] = as_list(relpaths);
    if (truthy(cargo)) payload["data_key"] = cargo;
    if (truthy(dataset)) payload["dataset"] = dataset;
    if (payload.size() == 0) throw nb::value_error("share() needs at least one of: shas, job_id, cargo");
    return send("post", std::string(kPoolPath) + "/contribute", opts, nb::handle(), payload);
}

nb::object list_items(nb::handle limit, nb::handle offset, nb::handle sort, nb::handle kind,
                      const CallOptions &opts) {
    nb::dict query;
    query["limit"] = limit;
    query["offset"] = offset;
    query["sort"] = sort;
    if (truthy(kind)) query["kind"] = kind;
    return send("get", kPoolPath, opts, query);
}

nb::object remove(nb::handle sha256, const CallOptions &opts) {
    return send("delete", std::string(kPoolPath) + "/blobs/" + path_segment(sha256, "sha256"), opts);
}

nb::object dataset_name_or(nb::handle ds, const char *fallback) {
    nb::object name = ds.attr("get")("name");
    if (truthy(name)) return name;
    return nb::str(fallback);
}

// The id of the first dataset whose id equals `name_or_id` or whose name
// equals it ignoring case; invalid when none does.
nb::object match_dataset(nb::handle datasets, nb::handle name_or_id) {
    nb::object wanted_folded;
    if (PyUnicode_Check(name_or_id.ptr())) wanted_folded = name_or_id.attr("casefold")();
    for (nb::handle ds : datasets) {
        nb::object id = ds.attr("get")("id");
        if (check(PyObject_RichCompareBool(id.ptr(), name_or_id.ptr(), Py_EQ))) return id;
        if (!wanted_folded.is_valid()) continue;
        nb::object name = dataset_name_or(ds, "");
        if (!PyUnicode_Check(name.ptr())) continue;
        if (check(PyObject_RichCompareBool(name.attr("casefold")().ptr(), wanted_folded.ptr(), Py_EQ)))
            return id;
    }
    return nb::object();
}

[[noreturn]] void raise_not_found(nb::handle datasets, nb::handle name_or_id) {
    nb::list names;
    for (nb::handle ds : datasets) names.append(nb::str(dataset_name_or(ds, "?")));
    check(PyList_Sort(names.ptr()));
    nb::object available = names.size() ? nb::str(", ").attr("join")(names) : nb::object(nb::str("(none)"));
    PyErr_Format(PyExc_RuntimeError, "Team pool dataset %R not found. Available: %U",
                 name_or_id.ptr(), available.ptr());
    throw nb::python_error();
}

nb::list blob_entries(nb::handle dataset) {
    nb::list entries;
    nb::object blobs = dataset.attr("get")("blobs", nb::list());
    for (nb::handle blob : blobs) {
        nb::object sha = blob.attr("get")("sha256");
        if (!truthy(sha)) continue;
        nb::object relpath = blob.attr("get")("relpath");
        nb::object size = blob.attr("get")("size_bytes");
        nb::dict entry;
        entry["relpath"] = truthy(relpath) ? relpath : sha;
        entry["sha256"] = sha;
        entry["size"] = truthy(size) ? nb::steal(check(PyNumber_Long(size.ptr()))) : nb::int_(0);
        entries.append(entry);
    }
    return entries;
}

nb::object fetch_dataset_entries(nb::handle name_or_id, const CallOptions &opts) {
    nb::object listing = list_datasets(opts);
    nb::object datasets = listing.attr("get")("datasets", nb::list());
    nb::object id = match_dataset(datasets, name_or_id);
    if (!id.is_valid()) raise_not_found(datasets, name_or_id);

    nb::list entries = blob_entries(get_dataset(id, opts));
    if (entries.size() == 0) {
        PyErr_Format(PyExc_RuntimeError,
                     "Team pool dataset %R contains no files; contribute data to it first.",
                     name_or_id.ptr());
        throw nb::python_error();
    }
    return entries;
}

}  // namespace

nb::object list_datasets(const CallOptions &opts) { return send("get", std::string(kPoolPath) + "/datasets", opts); }

nb::object get_dataset(nb::handle dataset_id, const CallOptions &opts) {
    return send("get", std::string(kPoolPath) + "/datasets/" + path_segment(dataset_id, "dataset_id"),
                opts);
}

void register_data_pool(nb::module_ &m) {
    m.def(
        "share",
        [](nb::handle shas, nb::handle job_id, nb::handle relpaths, nb::handle cargo, nb::handle dataset,
           nb::handle org_id, nb::handle api_key, nb::handle api_url, nb::handle timeout) {
            return share(shas, job_id, relpaths, cargo, dataset, {org_id, api_key, api_url, timeout});
        },
        nb::kw_only(), "shas"_a.none() = nb::none(), "job_id"_a.none() = nb::none(),
        "relpaths"_a.none() = nb::none(), "cargo"_a.none() = nb::none(), "dataset"_a.none() = nb::none(),
        "org_id"_a.none() = nb::none(), "api_key"_a.none() = nb::none(), "api_url"_a.none() = nb::none(),
        "timeout"_a.none() = kShareTimeout,
        "Contribute blobs (by sha256), a job's outputs, or an uploaded data key to the team pool,\n"
        "optionally into a named dataset. POST /v1/corporate/data-pool/contribute.");
    m.def(
        "list_items",
        [](nb::handle limit, nb::handle offset, nb::handle sort, nb::handle kind, nb::handle org_id,
           nb::handle api_key, nb::handle api_url, nb::handle timeout) {
            return list_items(limit, offset, sort, kind, {org_id, api_key, api_url, timeout});
        },
        nb::kw_only(), "limit"_a = 200, "offset"_a = 0, "sort"_a = "newest", "kind"_a.none() = nb::none(),
        "org_id"_a.none() = nb::none(), "api_key"_a.none() = nb::none(), "api_url"_a.none() = nb::none(),
        "timeout"_a.none() = kDefaultTimeout,
        "List the blobs of the team pool. GET /v1/corporate/data-pool.");
    m.def(
        "remove",
        [](nb::handle sha256, nb::handle org_id, nb::handle api_key, nb::handle api_url, nb::handle timeout) {
            return remove(sha256, {org_id, api_key, api_url, timeout});
        },
        "sha256"_a, nb::kw_only(), "org_id"_a.none() = nb::none(), "api_key"_a.none() = nb::none(),
        "api_url"_a.none() = nb::none(), "timeout"_a.none() = kDefaultTimeout,
        "Remove one blob from the team pool. DELETE /v1/corporate/data-pool/blobs/{sha256}.");
    m.def(
        "list_datasets",
        [](nb::handle org_id, nb::handle api_key, nb::handle api_url, nb::handle timeout) {
            return list_datasets({org_id, api_key, api_url, timeout});
        },
        nb::kw_only(), "org_id"_a.none() = nb::none(), "api_key"_a.none() = nb::none(),
        "api_url"_a.none() = nb::none(), "timeout"_a.none() = kDefaultTimeout,
        "List the team's datasets. GET /v1/corporate/data-pool/datasets.");
    m.def(
        "get_dataset",
        [](nb::handle dataset_id, nb::handle org_id, nb::handle api_key, nb::handle api_url,
           nb::handle timeout) { return get_dataset(dataset_id, {org_id, api_key, api_url, timeout}); },
        "dataset_id"_a, nb::kw_only(), "org_id"_a.none() = nb::none(), "api_key"_a.none() = nb::none(),
        "api_url"_a.none() = nb::none(), "timeout"_a.none() = kDefaultTimeout,
        "One dataset with its blobs. GET /v1/corporate/data-pool/datasets/{dataset_id}.");
    m.def(
        "fetch_dataset_entries",
        [](nb::handle name_or_id, nb::handle org_id, nb::handle api_key, nb::handle api_url,
           nb::handle timeout) { return fetch_dataset_entries(name_or_id, {org_id, api_key, api_url, timeout}); },
        "name_or_id"_a, nb::kw_only(), "org_id"_a.none() = nb::none(), "api_key"_a.none() = nb::none(),
        "api_url"_a.none() = nb::none(), "timeout"_a.none() = kDefaultTimeout,
        "The files of a dataset, found by id or by name (ignoring case), as a list of\n"
        "{'relpath', 'sha256', 'size'} dictionaries.");
}

}  // namespace corvid::pool
