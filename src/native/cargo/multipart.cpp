// Multipart route of DataOffloader: very large payloads go straight to object
// storage in parts, several in flight at once over one pooled HTTP client.
//
// The calling thread opens the upload, presigns part URLs 100 at a time,
// submits parts to a thread pool (never more than the in-flight depth at a
// time), collects their ETags and completes the upload. Any failure once the
// upload is open aborts it on the service, so the caller can fall back to the
// single-PUT route without leaving a half-written object behind.
#include "cargo/multipart.hpp"

#include "cargo/sizing.hpp"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace corvid::cargo {

using namespace nb::literals;

namespace {

constexpr int64_t kMiB = 1048576;
constexpr int64_t kPresignBatch = 100;
constexpr int64_t kPartCountHeadroom = 1000;
constexpr int64_t kMaxPartSize = 5120 * kMiB;
constexpr double kApiTimeout = 60.0;
constexpr double kCompleteTimeout = 120.0;
constexpr double kAbortTimeout = 30.0;

// Module values are read from the module at call time, like any module
// global, so a value replaced on the module is seen by the next upload.
int64_t module_int(nb::handle mod, const char *name) {
    return nb::cast<int64_t>(nb::int_(mod.attr(name)));
}


// A failure is worth retrying when the server or the network may recover:
// timeouts, throttling, 5xx and transport errors (and a part answered
// without an ETag, judged where it is seen). Anything else (403, an ETag that
// contradicts the bytes sent) would fail the same way again.
bool is_transient(nb::handle exc, nb::handle httpx) {
    nb::object resp = nb::getattr(exc, "response", nb::none());
    nb::object status = nb::getattr(resp, "status_code", nb::none());
    if (!status.is_none() && PyLong_Check(status.ptr())) {
        long code = PyLong_AsLong(status.ptr());
        if (code == -1 && PyErr_Occurred()) PyErr_Clear();
        else if (code == 408 || code == 429 || (code >= 500 && code < 600)) return true;
    }
    return nb::isinstance(exc, httpx.attr("TransportError")) ||
           nb::isinstance(exc, httpx.attr("TimeoutException"));
}

// Seconds to wait after failed attempt `attempt` (0-based): the base doubles
// from 0.5 s up to 30 s and is halved on even attempts, giving
// 0.25, 1, 1, 4, 4, 16, ...
double backoff_seconds(int64_t attempt) {
    double base = std::min(std::ldexp(0.5, static_cast<int>(std::min<int64_t>(attempt, 64))), 30.0);
    return base * (0.5 + 0.5 * static_cast<double>(attempt % 2));
}

bool is_hex_md5(const std::string &etag) {
    if (etag.size() != 32) return false;
    return std::all_of(etag.begin(), etag.end(), [](unsigned char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    });
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string strip_quotes(const std::string &s) {
    size_t b = s.find_first_not_of('"');
    if (b == std::string::npos) return {};
    size_t e = s.find_last_not_of('"');
    return s.substr(b, e - b + 1);
}

// What the part workers share: one read-only view of the payload and the
// pooled client. Held through a shared_ptr by the calling thread and by the
// part function handed to the pool; the last owner drops it with the GIL held.
struct PartSource {
    nb::object view;        // memoryview of the serialised bytes, format "B"
    int64_t avail = 0;      // bytes the view really holds
    int64_t size = 0;       // the size the caller declared
    int64_t part_size = 0;
    int64_t attempts = 1;   // at least one, whatever the configured retries
    nb::object transfer;    // httpx.Client shared by every worker
    nb::object httpx;
    nb::object md5;         // hashlib.md5
    nb::object module;      // corvid.cargo, for the retry sleep hook
    std::atomic<bool> warned_nonhex{false};

    // Byte range of part `pn` within the payload, clipped to the bytes that
    // actually exist (a declared size beyond them yields short or empty parts).
    std::pair<int64_t, int64_t> range(int64_t pn) const {
        int64_t off = (pn - 1) * part_size;
        int64_t end = std::min(off + part_size, size);
        off = std::clamp<int64_t>(off, 0, avail);
        end = std::clamp<int64_t>(end, off, avail);
        return {off, end};
    }

    nb::object slice(int64_t off, int64_t end) const {
        return nb::steal(check(PySequence_GetSlice(view.ptr(), static_cast<Py_ssize_t>(off),
                                                   static_cast<Py_ssize_t>(end))));
    }

    void warn_nonhex_once(int64_t pn, const std::string &etag) {
        if (warned_nonhex.exchange(true)) return;
        log_event(LogLevel::Warning,
            "part %d ETag %r is not a verifiable 32-hex MD5; integrity check skipped "
            "(further such parts this upload not logged)",
            pn, nb::str(etag.data(), etag.size()));
    }

    nb::tuple put_part(int64_t pn, nb::handle url) {
        auto [off, end] = range(pn);
        nb::tuple chunk = body_pieces(view, off, end);
        // hashlib drops the GIL while digesting large buffers.
        std::string expected = nb::cast<std::string>(md5(slice(off, end)).attr("hexdigest")());
        nb::dict headers;
        headers["Content-Type"] = "application/octet-stream";
        // Set explicitly: with it the client frames the pieces as one plain body.
        headers["Content-Length"] = nb::str(std::to_string(end - off).c_str());

        for (int64_t attempt = 0;; ++attempt) {
            bool etag_missing = false;
            try {
                nb::object r = call_blocking(transfer.attr("put"), {url},
                                             {{"content", chunk}, {"headers", headers}});
                r.attr("raise_for_status")();
                nb::object hdrs = r.attr("headers");
                nb::object raw = hdrs.attr("get")("ETag");
                if (!nb::bool_(raw)) raw = hdrs.attr("get")("etag");
                std::string etag = nb::bool_(raw) ? strip_quotes(nb::cast<std::string>(raw)) : std::string();
                // The store names a part by its ETag at completion; a part
                // answered without one cannot be completed, so it counts as a
                // failed attempt (a proxy or a store that lost the part).
                if (etag.empty()) {
                    etag_missing = true;
                    std::string msg = "part " + std::to_string(pn) + " was answered without an ETag";
                    PyErr_SetString(PyExc_RuntimeError, msg.c_str());
                    throw nb::python_error();
                }
                if (is_hex_md5(etag)) {
                    if (lower(etag) != expected) {
                        std::string msg = "part " + std::to_string(pn) + " ETag " + etag +
                                          " != md5 " + expected;
                        PyErr_SetString(PyExc_RuntimeError, msg.c_str());
                        throw nb::python_error();
                    }
                } else {
                    warn_nonhex_once(pn, etag);
                }
                return nb::make_tuple(pn, nb::str(etag.data(), etag.size()));
            } catch (nb::python_error &e) {
                if (!is_ordinary(e) || attempt >= attempts - 1 ||
                    !(etag_missing || is_transient(e.value(), httpx)))
                    throw;
            }
            module.attr("_retry_sleep")(backoff_seconds(attempt));
        }
    }
};

// Calls `close`/`shutdown`-style clean-up without letting its failure hide
// the error that is already on its way out.
template <typename F>
void quietly(F &&f) noexcept {
    try {
        f();
    } catch (nb::python_error &e) {
        e.discard_as_unraisable(kLogger);
    } catch (...) {
    }
}

// Part size that keeps the count within the maximum less a headroom, in
// whole MiB and at most 5 GiB; the configured size when it already does.
int64_t choose_part_size(int64_t size, int64_t configured, int64_t max_parts) {
    int64_t budget = max_parts - kPartCountHeadroom;
    if (budget <= 0 || size <= configured * budget) return configured;
    int64_t needed = (size + budget - 1) / budget;
    int64_t rounded = (needed + kMiB - 1) / kMiB * kMiB;
    return std::min(rounded, kMaxPartSize);
}

struct Upload {
    nb::handle self;
    nb::object httpx, futures, api_url, auth, data_key, upload_id, progress;
    std::shared_ptr<PartSource> src;
    int64_t nparts = 0;
    int64_t max_inflight = 1;
    int64_t sent = 0;

    Upload() = default;
    Upload(const Upload &) = delete;
    Upload &operator=(const Upload &) = delete;
    ~Upload() {
        if (src && src->transfer.is_valid()) quietly([&] { src->transfer.attr("close")(); });
    }

    // Part size and count, the shared view and the pooled client. False when
    // the payload cannot be sent within the part limit.
    bool prepare(nb::handle cargo, nb::handle serialized, nb::handle size_obj, nb::handle upload_timeout) {
        src = std::make_shared<PartSource>();
        src->size = nb::cast<int64_t>(size_obj);
        int64_t max_parts = module_int(cargo, "_DATA_MULTIPART_MAX_PARTS");
        src->part_size =
            choose_part_size(src->size, module_int(cargo, "_DATA_MULTIPART_PART_SIZE"), max_parts);
        // A non-positive part size cannot slice anything: no part count fits.
        if (src->part_size <= 0) return false;
        nparts = std::max<int64_t>(1, (src->size + src->part_size - 1) / src->part_size);
        if (nparts > max_parts) return false;

        int64_t concurrency = module_int(cargo, "_DATA_UPLOAD_CONCURRENCY");
        max_inflight = std::max<int64_t>(1, concurrency);
        // Every part is sent at least once, even when retries are configured off.
        src->attempts = std::max<int64_t>(1, module_int(cargo, "_DATA_UPLOAD_MAX_RETRIES"));
        src->view = nb::steal(check(PyMemoryView_FromObject(serialized.ptr()))).attr("cast")("B");
        src->avail = static_cast<int64_t>(nb::len(src->view));
        src->httpx = httpx;
        src->md5 = nb::module_::import_("hashlib").attr("md5");
        src->module = nb::borrow(cargo);
        futures = nb::module_::import_("concurrent.futures");
        int64_t pool = std::max<int64_t>(8, concurrency + 4);
        nb::object limits = httpx.attr("Limits")("max_connections"_a = pool,
                                                 "max_keepalive_connections"_a = pool,
                                                 "keepalive_expiry"_a = 30.0);
        src->transfer = httpx.attr("Client")("timeout"_a = upload_timeout, "limits"_a = limits);
        return true;
    }

    nb::object url(const char *path) const { return api_url + nb::str(path); }

    // Presign and complete go through the pooled client too: a one-off
    // request would build (and load certificates for) a client of its own.
    nb::object post(const char *path, nb::handle body, double timeout) const {
        nb::object resp = call_blocking(src->transfer.attr("post"), {url(path)},
                                        {{"json", body}, {"headers", auth}, {"timeout", nb::float_(timeout)}});
        resp.attr("raise_for_status")();
        return resp;
    }

    void note_progress(int64_t pn) {
        if (progress.is_none()) return;
        int64_t off = (pn - 1) * src->part_size;
        sent += std::min(off + src->part_size, src->size) - off;
        try {
            progress.attr("update")(sent);
        } catch (nb::python_error &e) {
            if (!is_ordinary(e)) throw;
        }
    }

    // Waits for at least one in-flight part and collects every finished one;
    // a part's error is raised here, on the calling thread.
    void reap(nb::dict &inflight, std::vector<nb::object> &completed) {
        nb::object res = call_blocking(futures.attr("wait"), {inflight},
                                       {{"return_when", futures.attr("FIRST_COMPLETED")}});
        nb::object done = res[0];
        for (nb::handle fut : done) {
            check(PyObject_DelItem(inflight.ptr(), fut.ptr()));
            nb::object out = fut.attr("result")();
            int64_t pn = nb::cast<int64_t>(out[0]);
            if (pn < 1 || pn > nparts) throw nb::value_error("part number out of range");
            completed[static_cast<size_t>(pn)] = out[1];
            note_progress(pn);
        }
    }

    // Presign a batch while the previous batch's parts are still uploading,
    // keeping at most max_inflight parts submitted.
    std::vector<nb::object> send_parts() {
        nb::object put_fn = nb::cpp_function(
            [src = src](int64_t pn, nb::handle part_url) { return src->put_part(pn, part_url); });
        nb::object ex = futures.attr("ThreadPoolExecutor")(
            "max_workers"_a = max_inflight, "thread_name_prefix"_a = "corvid-multipart");
        nb::dict inflight;
        std::vector<nb::object> completed(static_cast<size_t>(nparts + 1));
        try {
            for (int64_t first = 1; first <= nparts; first += kPresignBatch) {
                int64_t last = std::min(first + kPresignBatch - 1, nparts);
                nb::list batch;
                for (int64_t pn = first; pn <= last; ++pn) batch.append(pn);
                nb::dict body;
                body["data_key"] = data_key;
                body["upload_id"] = upload_id;
                body["part_numbers"] = batch;
                nb::object answer = post("/v1/data/upload-presign-parts", body, kApiTimeout).attr("json")();
                if (!nb::bool_(answer)) answer = nb::dict();
                nb::object urls = answer.attr("get")("urls", nb::dict());
                for (int64_t pn = first; pn <= last; ++pn) {
                    while (static_cast<int64_t>(nb::len(inflight)) >= max_inflight) reap(inflight, completed);
                    nb::object part_url = urls[nb::str(std::to_string(pn).c_str())];
                    nb::object fut = ex.attr("submit")(put_fn, pn, part_url);
                    inflight[fut] = pn;
                }
            }
            while (nb::len(inflight) > 0) reap(inflight, completed);
        } catch (...) {
            // Every submitted part runs to its end before the caller aborts.
            quietly([&] { ex.attr("shutdown")("wait"_a = true); });
            throw;
        }
        ex.attr("shutdown")("wait"_a = true);
        return completed;
    }

    nb::object complete(const std::vector<nb::object> &completed) {
        nb::list parts;
        for (int64_t pn = 1; pn <= nparts; ++pn) {
            nb::dict part;
            part["PartNumber"] = pn;
            part["ETag"] = completed[static_cast<size_t>(pn)];
            parts.append(part);
        }
        nb::dict body;
        body["data_key"] = data_key;
        body["upload_id"] = upload_id;
        body["parts"] = parts;
        body["size"] = src->size;
        post("/v1/data/upload-complete-multipart", body, kCompleteTimeout);
        return data_key;
    }

    void abort() const {
        self.attr("_abort_multipart")(data_key, upload_id, auth);
    }
};

nb::object upload_multipart_to_r2(nb::handle self, nb::object serialized, nb::object size_obj,
                                  nb::object upload_timeout, nb::object progress) {
    nb::module_ httpx = nb::module_::import_("httpx");
    nb::module_ cargo = nb::module_::import_("corvid.cargo");
    nb::object api_url = self.attr("api_url");
    nb::dict auth;
    auth["Authorization"] = nb::str("Bearer ") + self.attr("api_key");

    nb::object resp;
    try {
        resp = call_blocking(httpx.attr("post"), {api_url + nb::str("/v1/data/upload-init-multipart")},
                             {{"headers", auth}, {"timeout", nb::float_(kApiTimeout)}});
    } catch (nb::python_error &e) {
        if (!is_ordinary(e)) throw;
        log_event(LogLevel::Debug, "multipart init failed (%s); using single-PUT path", error_text(self, e.value()));
        return nb::none();
    }
    long status = status_of(resp);
    if (status == 404) return nb::none();
    if (status != 200) {
        log_event(LogLevel::Debug, "multipart init returned %d; using single-PUT", status);
        return nb::none();
    }
    // An unreadable init answer leaves this route as an error (nothing was
    // opened that could be aborted); _upload reports it and ships in place.
    nb::object init = resp.attr("json")();
    nb::object data_key = init.attr("get")("data_key");
    nb::object upload_id = init.attr("get")("upload_id");
    if (!nb::bool_(data_key) || !nb::bool_(upload_id)) return nb::none();

    Upload up;
    up.self = self;
    up.httpx = httpx;
    up.api_url = api_url;
    up.auth = auth;
    up.data_key = data_key;
    up.upload_id = upload_id;
    up.progress = progress;

    // From here on the upload exists on the service: every way out that does
    // not complete it aborts it, and the pooled client is closed last.
    try {
        if (!up.prepare(cargo, serialized, size_obj, upload_timeout)) {
            up.abort();
            return nb::none();
        }
        std::vector<nb::object> completed = up.send_parts();
        return up.complete(completed);
    } catch (nb::python_error &e) {
        if (!is_ordinary(e)) {
            quietly([&] { up.abort(); });
            throw;
        }
        quietly([&] {
            log_event(LogLevel::Debug, "multipart data upload failed (%s); aborting + falling back",
                      error_text(self, e.value()));
        });
    } catch (std::exception &e) {
        quietly([&] {
            log_event(LogLevel::Debug, "multipart data upload failed (%s); aborting + falling back",
                      error_text(self, nb::str(e.what())));
        });
    }
    up.abort();
    return nb::none();
}

void abort_multipart(nb::handle self, nb::object data_key, nb::object upload_id, nb::object auth) {
    try {
        nb::module_ httpx = nb::module_::import_("httpx");
        nb::dict body;
        body["data_key"] = data_key;
        body["upload_id"] = upload_id;
        call_blocking(httpx.attr("post"), {self.attr("api_url") + nb::str("/v1/data/upload-abort-multipart")},
                      {{"json", body}, {"headers", auth}, {"timeout", nb::float_(kAbortTimeout)}});
    } catch (nb::python_error &e) {
        if (!is_ordinary(e)) throw;
    }
}

}  // namespace

void register_multipart(nb::module_ &m) {
    // Back-off between part attempts; a module attribute so callers can
    // shorten or observe the waits.
    m.attr("_retry_sleep") = nb::module_::import_("time").attr("sleep");
    def_offloader_method(m, "_upload_multipart_to_r2", &upload_multipart_to_r2, "serialized"_a.none(),
                         "size"_a.none(), "upload_timeout"_a.none(), "progress"_a.none());
    def_offloader_method(m, "_abort_multipart", &abort_multipart, "data_key"_a.none(), "upload_id"_a.none(),
                         "auth"_a.none());
}

}  // namespace corvid::cargo
