#include "overflow/report.hpp"

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <string>

namespace corvid::overflow {
namespace {

constexpr std::array<const char *, static_cast<size_t>(Fallback::Count)> kFallbackNames{
    "write-back", "not-submitted", "serialization", "remote-error"};

uint64_t local_total(const CallRecord &r) { return std::accumulate(r.local.begin(), r.local.end(), uint64_t{0}); }

uint64_t fallback_total(const CallRecord &r) {
    return std::accumulate(r.fallbacks.begin(), r.fallbacks.end(), uint64_t{0});
}

// name -> count for the non-zero entries.
template <size_t N, typename Name>
nb::dict counts(const std::array<uint64_t, N> &values, Name &&name) {
    nb::dict out;
    for (size_t i = 0; i < N; ++i)
        if (values[i]) out[name(i)] = values[i];
    return out;
}

nb::object reason_label(size_t i) {
    if (i >= static_cast<size_t>(ReasonId::Count)) return nb::str("OTHER");
    return reason(static_cast<ReasonId>(i)).attr("name");
}

std::string text_of(nb::handle value) {
    nb::object s = nb::steal(check(PyObject_Str(value.ptr())));
    Py_ssize_t n = 0;
    const char *data = PyUnicode_AsUTF8AndSize(s.ptr(), &n);
    if (!data) {
        PyErr_Clear();
        return "?";
    }
    return std::string(data, static_cast<size_t>(n));
}

// "NAME 3, OTHER 1" from a {name: count} dict.
std::string joined(nb::handle counts) {
    std::string out;
    for (auto [name, count] : nb::borrow<nb::dict>(counts)) {
        if (!out.empty()) out += ", ";
        out += text_of(name) + " " + text_of(count);
    }
    return out.empty() ? "-" : out;
}

std::string table(nb::handle rows) {
    std::string out = "overflow report\n";
    char line[160];
    std::snprintf(line, sizeof line, "%-28s %7s %9s %9s %9s  %s; %s\n", "function", "calls", "offloaded",
                  "local s", "remote s", "kept local (reason count)", "fallbacks");
    out += line;
    for (nb::handle row : rows) {
        nb::object function = nb::steal(check(PyObject_Str(nb::object(row["function"]).ptr())));
        if (PyUnicode_GET_LENGTH(function.ptr()) > 28)  // cut by characters, not bytes
            function = nb::steal(check(PyUnicode_FromFormat("%.25U...", function.ptr())));
        std::string name = text_of(function);
        name.resize(std::max<size_t>(name.size(), 28), ' ');
        std::snprintf(line, sizeof line, " %7lld %9lld %9.2f %9.2f  ", nb::cast<long long>(row["calls"]),
                      nb::cast<long long>(row["offloaded"]), nb::cast<double>(row["local_seconds"]),
                      nb::cast<double>(row["remote_seconds"]));
        out += name + line + joined(row["local"]) + "; " + joined(row["fallbacks"]) + "\n";
    }
    return out;
}

}  // namespace

void CallReportDeleter::operator()(CallReport *report) const noexcept { delete report; }

CallRecord &CallReport::record(nb::handle sig) {
    Slot &slot = recent_[(reinterpret_cast<uintptr_t>(sig.ptr()) >> 4) % recent_.size()];
    if (slot.sig.ptr() == sig.ptr()) return records_[slot.index];
    if (!index_of_.is_valid()) index_of_ = nb::steal(check(PyDict_New()));
    nb::object known = mapping_get(index_of_, sig);
    uint32_t index;
    if (known.is_valid()) {
        index = static_cast<uint32_t>(PyLong_AsUnsignedLong(known.ptr()));
    } else {
        index = static_cast<uint32_t>(records_.size());
        nb::object position = nb::steal(check(PyLong_FromUnsignedLong(index)));
        check(PyDict_SetItem(index_of_.ptr(), sig.ptr(), position.ptr()));
        keys_.push_back(nb::borrow(sig));
        records_.emplace_back();
    }
    slot.sig = nb::borrow(sig);  // held, so no other object can take its address
    slot.index = index;
    return records_[index];
}

nb::object CallReport::as_data() const {
    std::vector<size_t> order(records_.size());
    std::iota(order.begin(), order.end(), size_t{0});
    auto calls = [&](size_t i) { return local_total(records_[i]) + records_[i].offloaded + fallback_total(records_[i]); };
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return calls(a) > calls(b); });
    nb::list out;
    for (size_t i : order) {
        // Copies: str() of an unusual key runs Python code, which may file
        // new records and move these.
        const CallRecord r = records_[i];
        nb::object key = keys_[i];
        nb::dict row;
        bool keyed = PyTuple_Check(key.ptr()) && PyTuple_GET_SIZE(key.ptr()) == 3;
        row["function"] = keyed ? nb::borrow(PyTuple_GET_ITEM(key.ptr(), 1)) : nb::str(nb::handle(key));
        row["file"] = keyed ? nb::borrow(PyTuple_GET_ITEM(key.ptr(), 0)) : nb::none();
        row["line"] = keyed ? nb::borrow(PyTuple_GET_ITEM(key.ptr(), 2)) : nb::none();
        row["calls"] = calls(i);
        row["local"] = counts(r.local, reason_label);
        row["offloaded"] = r.offloaded;
        row["fallbacks"] = counts(r.fallbacks, [](size_t c) { return nb::str(kFallbackNames[c]); });
        row["local_seconds"] = r.local_seconds;
        row["remote_seconds"] = r.remote_seconds;
        out.append(row);
    }
    return out;
}

void CallReport::clear() {
    recent_ = {};
    index_of_ = nb::object();
    keys_.clear();
    records_.clear();
}

size_t reason_index(nb::handle why) {
    for (size_t i = 0; i < static_cast<size_t>(ReasonId::Count); ++i)
        if (why.is(reason(static_cast<ReasonId>(i)))) return i;
    return static_cast<size_t>(ReasonId::Count);
}

void log_report_if_asked(nb::handle mon) {
    if (!truthy(env_bool(nb::str("CORVID_OVERFLOW_REPORT"), nb::bool_(false)))) return;
    CallReport *report = call_report(mon);
    if (!report) return;
    std::string body = table(report->as_data());
    nb::object text = nb::steal(check(PyUnicode_DecodeUTF8(body.data(), static_cast<Py_ssize_t>(body.size()), "replace")));
    // Asked for by name, so shown even where logging was never configured.
    nb::object logger = nb::borrow(module_logger());
    if (truthy(logger.attr("isEnabledFor")(20)))
        logger.attr("info")("%s", text);
    else
        nb::module_::import_("sys").attr("stderr").attr("write")(text);
}

void register_report(nb::module_ &m) {
    def_monitor_method(
        m, "report",
        [](nb::handle self) {
            CallReport *report = call_report(self);
            return report ? report->as_data() : nb::object(nb::list());
        },
        "What became of each wrapped function's calls: one dict per function (function, file, line,\n"
        "calls, local: {reason: count}, offloaded, fallbacks: {cause: count}, local_seconds,\n"
        "remote_seconds), most called first.");
}

}  // namespace corvid::overflow
