// What became of each wrapped function's calls: kept here (by reason),
// offloaded, or fallen back (by cause), with the seconds spent on each side.
// Counting rides on the dispatch the monitor does anyway; `report()` hands
// it out as plain data, and a table is logged at stop on request.
#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "overflow/config.hpp"

namespace corvid::overflow {

// Why an offload ended in a local run after all.
enum class Fallback : int { WriteBack, NotSubmitted, Serialization, RemoteError, Count };

struct CallRecord {
    // Index ReasonId::Count: a replaced gate answered with something that is
    // not a Reason member.
    std::array<uint64_t, static_cast<size_t>(ReasonId::Count) + 1> local{};
    std::array<uint64_t, static_cast<size_t>(Fallback::Count)> fallbacks{};
    uint64_t offloaded = 0;
    double local_seconds = 0.0, remote_seconds = 0.0;
};

// The records of one monitor, filed by signature key. A call finds its record
// through a small cache on the identity of the key object (each wrapper keeps
// one), and through equality of keys only when that misses.
class CallReport {
public:
    CallRecord &record(nb::handle sig);
    nb::object as_data() const;
    void clear();

private:
    struct Slot {
        nb::object sig;
        uint32_t index = 0;
    };
    std::array<Slot, 64> recent_{};
    nb::object index_of_;  // dict: key -> position in records_
    std::vector<nb::object> keys_;
    std::vector<CallRecord> records_;
};

struct CallReportDeleter {
    void operator()(CallReport *report) const noexcept;
};
using CallReportPtr = std::unique_ptr<CallReport, CallReportDeleter>;

// The monitor's report, made on first use; null for an object that is not a
// constructed monitor (a stand-in passed to the module functions).
CallReport *call_report(nb::handle mon);

// The reason index of a decision's reason object (ReasonId::Count when it is
// not a member of Reason).
size_t reason_index(nb::handle reason);

// Logs the report as a table when CORVID_OVERFLOW_REPORT is set (at stop).
void log_report_if_asked(nb::handle mon);

void register_report(nb::module_ &m);

}  // namespace corvid::overflow
